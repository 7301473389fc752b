package com.vornix.common.unix.jmh;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokClock;
import com.vornix.common.unix.VarnokTime;
import java.io.IOException;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.VarHandle;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.time.Clock;
import java.time.Instant;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.infra.BenchmarkParams;

/**
 * Varnok's clocks: the JNI methods themselves, {@link VarnokTime} in the binding this JVM
 * chooses and with JNI forced, and {@link VarnokClock} as a {@link Clock}; the unique stamps
 * of {@link VarnokTime#uniqueTimeNanos()} and {@link VarnokClock#uniqueUTC()}, and the same
 * stamp taken another way, for the choice between them.
 *
 * <p>Every fork writes the binding it measured, and why, to the file named by {@value
 * #BINDINGS_PROPERTY} (when set), one line per benchmark, so that the report says which
 * binding each figure is of rather than which one was hoped for.
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@State(Scope.Benchmark)
public class VarnokClocks {
  /** System property naming the file the forks append their bindings to. */
  public static final String BINDINGS_PROPERTY = "com.vornix.common.unix.jmh.bindings";

  /** The fork option that forces the JNI binding. */
  static final String FORCE_JNI = "-D" + VarnokTime.BINDING_PROPERTY + "=jni";

  private static final Clock VARNOK_CLOCK = VarnokClock.systemUTC();
  private static final Clock UNIQUE_CLOCK = VarnokClock.uniqueUTC();

  /**
   * The other way to take the stamp: a VarHandle's compareAndExchange of the middle of a
   * long[32] (padded as the library's cell is), which returns the value that won instead of
   * reading it again. The library keeps Java 8 bytecode, whose AtomicLongArray has only
   * compareAndSet; this case measures what that costs.
   */
  private static final VarHandle SLOTS = MethodHandles.arrayElementVarHandle(long[].class);
  private static final long[] CELL = new long[32];

  static {
    CELL[16] = Long.MIN_VALUE;
  }

  @Setup(Level.Trial)
  public void recordBinding(BenchmarkParams params) throws IOException {
    appendBinding(params);
  }

  /** Checks a forced binding and appends the one measured; other classes' cases use it too. */
  static void appendBinding(BenchmarkParams params) throws IOException {
    boolean forced = params.getJvmArgs().contains(FORCE_JNI);
    if (forced && VarnokTime.binding() != VarnokTime.Binding.JNI) {
      throw new IllegalStateException(FORCE_JNI + " gave " + VarnokTime.binding());
    }
    String file = System.getProperty(BINDINGS_PROPERTY);
    if (file == null) {
      return;
    }
    String line = params.getBenchmark() + "\t" + VarnokTime.binding() + "\t"
        + VarnokTime.bindingReason().replace('\t', ' ').replace('\n', ' ') + "\n";
    Files.write(Paths.get(file), line.getBytes(StandardCharsets.UTF_8),
        StandardOpenOption.CREATE, StandardOpenOption.APPEND);
  }

  @Benchmark
  public long jniEpoch() {
    return Varnok.nanoTimeEpoch1();
  }

  @Benchmark
  public long jniRelative() {
    return Varnok.nanoTimeRelative1();
  }

  @Benchmark
  public long timeEpoch() {
    return VarnokTime.currentTimeNanos();
  }

  @Benchmark
  public long timeRelative() {
    return VarnokTime.nanoTime();
  }

  @Benchmark
  @Fork(jvmArgsAppend = FORCE_JNI)
  public long timeEpochForcedJni() {
    return VarnokTime.currentTimeNanos();
  }

  @Benchmark
  @Fork(jvmArgsAppend = FORCE_JNI)
  public long timeRelativeForcedJni() {
    return VarnokTime.nanoTime();
  }

  @Benchmark
  public long timeUnique() {
    return VarnokTime.uniqueTimeNanos();
  }

  @Benchmark
  @Fork(jvmArgsAppend = FORCE_JNI)
  public long timeUniqueForcedJni() {
    return VarnokTime.uniqueTimeNanos();
  }

  @Benchmark
  public long timeUniqueVarHandle() {
    long now = VarnokTime.currentTimeNanos();
    long last = (long) SLOTS.getVolatile(CELL, 16);
    while (true) {
      long next = now > last ? now : last + 1;
      long witness = (long) SLOTS.compareAndExchange(CELL, 16, last, next);
      if (witness == last) return next;
      last = witness;
    }
  }

  @Benchmark
  public Instant clockUniqueInstant() {
    return UNIQUE_CLOCK.instant();
  }

  @Benchmark
  public Instant clockInstant() {
    return VARNOK_CLOCK.instant();
  }

  @Benchmark
  public long clockMillis() {
    return VARNOK_CLOCK.millis();
  }
}
