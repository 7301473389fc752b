package com.vornix.common.unix;

/**
 * Cheap time stamps from the processor's counter: the x86-64 time-stamp counter, or the
 * aarch64 generic timer.
 *
 * <p>{@link #nanoTimeEpoch1()} is a wall clock in nanoseconds since the Unix epoch that
 * costs, on almost every call, one counter read instead of a system call. {@link
 * #nanoTimeRelative1()} is the counter scaled to nanoseconds, for measuring intervals.
 * {@link VarnokClock} offers the wall clock as a {@link java.time.Clock}, and says whether
 * the clocks can be used here without anything being thrown.
 *
 * <p>The native library {@code libvarnok_jni.so} is loaded, and the clock calibrated, when
 * this class is initialised, so no clock can be read before calibration. The library is
 * taken from the first of these that works:
 *
 * <ol>
 *   <li>the file named by {@value #LIBRARY_PROPERTY}; when that property is set, nothing
 *       else is tried;
 *   <li>{@code libvarnok_jni.so} by name from {@code java.library.path};
 *   <li>the copy inside this class's jar, written to a private directory under {@value
 *       #TMPDIR_PROPERTY} (or {@code java.io.tmpdir}), loaded, and deleted again.
 * </ol>
 *
 * <p>If none works, initialisation fails with an {@link UnsatisfiedLinkError} that lists
 * each attempt and carries each attempt's failure as a suppressed exception. On JDK 22 and
 * later the library's loading is a restricted operation: grant it with {@code
 * --enable-native-access=com.vornix.common.unix} on the module path, or {@code
 * --enable-native-access=ALL-UNNAMED} on the class path. Where access is denied, the error
 * names that flag, with the JVM's refusal as its cause.
 *
 * <p>Linux on x86-64 and Linux on aarch64 are supported, each with its own library in the
 * jar; anywhere else initialisation fails with an {@link UnsatisfiedLinkError} before any
 * native code is touched.
 */
public final class Varnok {
  /** System property naming the library file to load; when set, the only place tried. */
  public static final String LIBRARY_PROPERTY = VarnokNames.LIBRARY_PROPERTY;

  /**
   * System property naming the directory to extract the jar's library into, in place of
   * {@code java.io.tmpdir}: needed where that is mounted noexec or is not writable.
   */
  public static final String TMPDIR_PROPERTY = VarnokNames.TMPDIR_PROPERTY;

  /** The library's name for {@link System#loadLibrary}: {@code libvarnok_jni.so}. */
  public static final String LIBRARY_NAME = VarnokNames.LIBRARY_NAME;

  /** The version of this build of Varnok, the same as its jar manifest's. */
  public static final String VERSION = VarnokBuild.version();

  static {
    UnsatisfiedLinkError failure = VarnokLoader.failure();
    if (failure != null) throw failure;
    // Calibrates once, here: a second calibration racing with readers is not safe,
    // which is why init is not public.
    init();
  }

  private Varnok() {}

  /** Does nothing; calling it initialises the class, which calibrates the clocks. */
  static void calibrate() {}

  /** Discovers the counter's rate and takes the base reading of both clocks. */
  private static native void init();

  /**
   * Nanoseconds since the Unix epoch (1970-01-01T00:00:00Z).
   *
   * <p>Present-day values are multiples of 256 ns. The value is corrected against the
   * system's clock once per 2^32 counter ticks (about 1.4 s at 3 GHz), or every 2^21
   * (about 1 ms) where a daemon steers the system's clock, and may then step by the
   * correction, forwards or backwards: use it for time stamps, not for intervals. Where the
   * kernel slews its clock fast (by more than 1000 ppm), and where reads come further
   * apart than 2^21 ticks while a daemon steers the clock, a read is the system's clock
   * itself.
   *
   * @return the current time in nanoseconds since the Unix epoch
   */
  public static native long nanoTimeEpoch1();

  /**
   * The time-stamp counter in nanoseconds, with an arbitrary origin. Only differences
   * between two values mean anything.
   *
   * <p>It runs at the rate of the kernel's {@code CLOCK_MONOTONIC} (the clock of {@code
   * System.nanoTime()}), which a time daemon moves: its slope follows the kernel's, read a
   * few times a second, and changes only from a few milliseconds ahead, so the value never
   * jumps and never goes back. Before the first calibration it reads 0.
   *
   * @return the counter's reading, scaled to nanoseconds
   */
  public static native long nanoTimeRelative1();
}
