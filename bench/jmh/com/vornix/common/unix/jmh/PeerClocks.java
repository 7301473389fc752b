package com.vornix.common.unix.jmh;

import java.util.concurrent.TimeUnit;
import net.openhft.chronicle.core.time.SystemTimeProvider;
import net.openhft.chronicle.core.time.TimeProvider;
import net.openhft.chronicle.core.time.UniqueMicroTimeProvider;
import org.agrona.concurrent.EpochNanoClock;
import org.agrona.concurrent.OffsetEpochNanoClock;
import org.agrona.concurrent.SystemEpochNanoClock;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;

/**
 * The epoch-nanosecond clocks of the low-latency libraries a Java user may already have, and
 * Chronicle's unique stamps: {@code UniqueMicroTimeProvider} in its two units (this version
 * of Chronicle Core has no unique nanosecond provider; its {@code currentTimeNanos()} gives
 * the unique microseconds in nanoseconds).
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
public class PeerClocks {
  // Constants, as the libraries' users keep them: each call site sees one class.
  private static final EpochNanoClock AGRONA_SYSTEM = new SystemEpochNanoClock();
  private static final EpochNanoClock AGRONA_OFFSET = new OffsetEpochNanoClock();
  private static final TimeProvider CHRONICLE = SystemTimeProvider.INSTANCE;
  private static final TimeProvider CHRONICLE_UNIQUE = UniqueMicroTimeProvider.INSTANCE;

  @Benchmark
  public long agronaSystemEpochNanoClock() {
    return AGRONA_SYSTEM.nanoTime();
  }

  @Benchmark
  public long agronaOffsetEpochNanoClock() {
    return AGRONA_OFFSET.nanoTime();
  }

  @Benchmark
  public long chronicleSystemTimeProvider() {
    return CHRONICLE.currentTimeNanos();
  }

  @Benchmark
  public long chronicleUniqueMicroTimeProvider() {
    return CHRONICLE_UNIQUE.currentTimeMicros();
  }

  @Benchmark
  public long chronicleUniqueMicroTimeProviderNanos() {
    return CHRONICLE_UNIQUE.currentTimeNanos();
  }
}
