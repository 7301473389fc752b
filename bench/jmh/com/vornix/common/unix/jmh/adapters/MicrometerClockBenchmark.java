package com.vornix.common.unix.jmh.adapters;

import com.vornix.common.unix.micrometer.VarnokMicrometerClock;
import io.micrometer.core.instrument.Clock;
import io.micrometer.core.instrument.Timer;
import io.micrometer.core.instrument.simple.SimpleConfig;
import io.micrometer.core.instrument.simple.SimpleMeterRegistry;
import java.util.concurrent.TimeUnit;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Param;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;

/**
 * A timer sample started and stopped (two monotonicTime() readings and a record) on a
 * SimpleMeterRegistry, with Clock.SYSTEM against the adapter.
 */
@State(Scope.Benchmark)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@Fork(value = 2, jvmArgsAppend = "--enable-native-access=ALL-UNNAMED")
public class MicrometerClockBenchmark {
  @Param({"system", "varnok"})
  public String clock;

  private SimpleMeterRegistry registry;
  private Timer timer;

  @Setup
  public void setUp() {
    Clock chosen = clock.equals("varnok") ? new VarnokMicrometerClock() : Clock.SYSTEM;
    registry = new SimpleMeterRegistry(SimpleConfig.DEFAULT, chosen);
    timer = registry.timer("benchmark");
  }

  @Benchmark
  public long timerSample() {
    return Timer.start(registry).stop(timer);
  }
}
