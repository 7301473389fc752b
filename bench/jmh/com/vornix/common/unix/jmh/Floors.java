package com.vornix.common.unix.jmh;

import com.vornix.common.unix.bench.CounterFloor;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;

/**
 * The cheapest a clock can be from Java, per way of calling native code: one counter read
 * behind a JNI call, and the same native function behind a critical downcall (JDK 22 and
 * later only; the benchmark jar carries that class for them).
 */
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
public class Floors {
  @Benchmark
  public long jni() {
    return CounterFloor.rdtsc();
  }

  @Benchmark
  public long critical() {
    return CriticalFloor.counter();
  }
}
