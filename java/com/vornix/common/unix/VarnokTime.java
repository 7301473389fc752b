package com.vornix.common.unix;

/**
 * The way to read Varnok's clocks: the fastest binding this JVM allows.
 *
 * <pre>{@code
 * long stamp = VarnokTime.currentTimeNanos();  // ns since 1970-01-01T00:00:00Z
 * long t0 = VarnokTime.nanoTime();             // for intervals
 * long elapsed = VarnokTime.nanoTime() - t0;
 * long unique = VarnokTime.uniqueTimeNanos(); // never repeats, never goes back, on any thread
 * }</pre>
 *
 * <p>These return exactly what {@link Varnok#nanoTimeEpoch1()} and {@link
 * Varnok#nanoTimeRelative1()} return, and reach the same native functions. On JDK 22 and
 * later, with native access granted, they reach them through critical downcalls of the
 * Foreign Function and Memory API, which skip the thread-state transition and memory fence
 * that every JNI call pays (about 10 ns on Intel cores, more than the clock itself).
 * Elsewhere, and wherever that cannot be used, they call {@code Varnok}'s JNI methods.
 * {@link #binding()} tells which is in use, and {@link #bindingReason()} why.
 *
 * <p>Where the kernel does not trust the processor's counter, they read the JDK's clocks
 * instead ({@link Binding#JDK}): on x86-64 where {@code tsc} is not among the kernel's
 * available clocksources ({@code
 * /sys/devices/system/clocksource/clocksource0/available_clocksource}) or the flags in
 * {@code /proc/cpuinfo} lack {@code constant_tsc} or {@code nonstop_tsc}, on aarch64 where
 * {@code arch_sys_counter} is not among those clocksources, and wherever those files cannot
 * be read. {@link #bindingReason()} then says what the kernel said. {@link Varnok}'s natives
 * read the counter all the same.
 *
 * <p>Setting {@value #BINDING_PROPERTY} to {@code jni} forces the JNI binding, for
 * measurements and as an escape hatch, where the counter is trusted; it never brings back an
 * untrusted counter. The property is read once, when this class is first used; any value but
 * {@code jni} and {@code critical} also gives JNI, and {@link #bindingReason()} names the
 * value.
 *
 * <p>The first use decides the binding once for the life of the JVM. Unless it is {@code JDK},
 * it loads the library and calibrates the clocks, as {@link Varnok}'s does, and fails in the
 * same way where the library cannot be used (see {@link VarnokClock#isAvailable()} to ask
 * without an error); with {@code JDK} no library is loaded.
 */
public final class VarnokTime {
  /** System property that chooses the binding: {@code jni}, or {@code critical} (the default). */
  public static final String BINDING_PROPERTY = VarnokNames.BINDING_PROPERTY;

  /** How the clocks are reached. */
  public enum Binding {
    /** Through {@link Varnok}'s JNI methods. */
    JNI,
    /** Through critical downcalls of the Foreign Function and Memory API (JDK 22 and later). */
    CRITICAL,
    /**
     * The JDK's clocks, {@code Clock.systemUTC()} and {@code System.nanoTime()}: the kernel
     * does not trust the counter here.
     */
    JDK
  }

  private VarnokTime() {}

  /**
   * Nanoseconds since the Unix epoch (1970-01-01T00:00:00Z): {@link Varnok#nanoTimeEpoch1()}.
   *
   * <p>Present-day values are multiples of 256 ns. The clock is corrected against the
   * system's clock once per 2^32 counter ticks, or every 2^21 (about 1 ms) where a daemon
   * steers the system's clock, and may then step by the correction, forwards or backwards:
   * use it for time stamps, and {@link #nanoTime()} for intervals. With the
   * {@link Binding#JDK} binding it is the JDK's {@code Clock.systemUTC()} in nanoseconds.
   *
   * @return the current time in nanoseconds since the Unix epoch
   */
  public static long currentTimeNanos() {
    return ClockBinding.epoch();
  }

  /**
   * A unique time stamp in nanoseconds since the Unix epoch: greater than every value this
   * method has returned in this JVM, on any thread, and never less than the epoch clock
   * ({@link #currentTimeNanos()}) read inside the call.
   *
   * <pre>{@code
   * long a = VarnokTime.uniqueTimeNanos();
   * long b = VarnokTime.uniqueTimeNanos();   // b > a, on this thread or any other
   * }</pre>
   *
   * <p>It is the epoch clock's reading where that is past the last stamp, and otherwise the
   * last stamp plus one: calls that land in one grain of the clock (256 ns) take the
   * nanoseconds after it. Stamps are installed by one compare-and-set of a shared last
   * value, so they are totally ordered, and causal: a thread that has seen another's stamp
   * (through a volatile field, a lock, a queue) and then calls this gets a greater one. The
   * sequence is shared with {@link VarnokClock#uniqueUTC()}.
   *
   * <p>Its lead over the clock's reading stays under R &times; 256 ns at R calls per
   * nanosecond, the whole JVM's rate; one compare-and-set per call keeps R far below 1, so
   * the lead stays under one grain. Two things add to it, neither growing with the rate:
   * where the epoch clock steps back when it corrects itself (by about a microsecond), the
   * stamps go on from the last one and lead the stepped-back clock by that step until it
   * catches up; and a thread's reading may lag another thread's, made on another core, by a
   * few grains, which a stamp made from the other's reading leads it by. A {@code
   * currentTimeNanos()} read on the same thread before the call is never greater than the
   * stamp but across such a step, and then by at most the step.
   *
   * <p>With the {@link Binding#JDK} binding the stamps follow the JDK's clock in the same way.
   * It costs one compare-and-set more than {@link #currentTimeNanos()}, which one thread's
   * counter read mostly hides; threads that stamp at once take turns on the shared value.
   *
   * @return a stamp in nanoseconds since the Unix epoch, unique in this JVM
   */
  public static long uniqueTimeNanos() {
    return UniqueStamps.next(ClockBinding.epoch());
  }

  /**
   * The processor's counter in nanoseconds, with an arbitrary origin: {@link
   * Varnok#nanoTimeRelative1()}, or {@code System.nanoTime()} with the {@link Binding#JDK}
   * binding. Only differences between two values mean anything. It keeps {@code
   * System.nanoTime()}'s rate, which a time daemon moves, and never goes back.
   *
   * @return the counter's reading, scaled to nanoseconds
   */
  public static long nanoTime() {
    return ClockBinding.relative();
  }

  /**
   * The binding in use, chosen once for the life of the JVM.
   *
   * @return how {@link #currentTimeNanos()} and {@link #nanoTime()} reach their clocks
   */
  public static Binding binding() {
    // The binding says what it does; which constant of the public enum that is, is said here.
    if (ClockBinding.JDK) return Binding.JDK;
    return ClockBinding.CRITICAL ? Binding.CRITICAL : Binding.JNI;
  }

  /**
   * Why that binding is in use, in a sentence, for logs and diagnostics.
   *
   * @return the reason
   */
  public static String bindingReason() {
    return ClockBinding.REASON;
  }
}
