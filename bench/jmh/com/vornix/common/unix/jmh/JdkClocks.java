package com.vornix.common.unix.jmh;

import java.time.Clock;
import java.time.Instant;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;

/** The JDK's own clocks: what Varnok's replace. */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
public class JdkClocks {
  // Kept as an application keeps its clock: the JIT knows the constant's class.
  private static final Clock SYSTEM_UTC = Clock.systemUTC();

  @Benchmark
  public long currentTimeMillis() {
    return System.currentTimeMillis();
  }

  @Benchmark
  public long nanoTime() {
    return System.nanoTime();
  }

  @Benchmark
  public Instant instantNow() {
    return Instant.now();
  }

  @Benchmark
  public Instant systemUtcInstant() {
    return SYSTEM_UTC.instant();
  }

  @Benchmark
  public long systemUtcMillis() {
    return SYSTEM_UTC.millis();
  }
}
