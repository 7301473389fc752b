package com.vornix.common.unix.jmh;

import com.vornix.common.unix.VarnokTime;
import java.io.IOException;
import java.time.Instant;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Level;
import org.openjdk.jmh.annotations.Measurement;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Param;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.annotations.Warmup;
import org.openjdk.jmh.infra.BenchmarkParams;
import org.openjdk.jmh.infra.IterationParams;
import org.openjdk.jmh.runner.IterationType;

/**
 * One clock reading after a pause, as an application that takes a time stamp every so often
 * reads it: caches, branch predictors and the clock's own state are then cold, which a loop of
 * reads never shows. Each measured call follows an untimed park of {@code gapUs} in a
 * per-invocation setup, and sample mode times every call alone, so the percentiles come out.
 *
 * <p>What per-invocation setups cost, by JMH's own caveats, and what is done about it:
 *
 * <ul>
 *   <li>Every sample includes JMH's timer, a {@code System.nanoTime()} on each side of the
 *       call. {@link #baseline} calls nothing and is that cost; a case is worth its distance
 *       from it.
 *   <li>Between the park and the call JMH reads {@code System.nanoTime()} twice, its own
 *       bookkeeping and the sample's start. That warms the vDSO code and data that {@code
 *       System.nanoTime()}, {@code System.currentTimeMillis()} and {@code Instant.now()} read,
 *       so the JDK's clocks are measured warm here and Varnok's cold. The native program
 *       ({@code bench/sparse/}) times the call alone and is the fair comparison; this one shows
 *       what the bindings add, and the epoch clock's own work after a gap.
 *   <li>The park is not timed, but it is a lower bound: the kernel adds its timer slack (50 µs
 *       by default) to every park.
 *   <li>At one call every 2 ms the benchmark loop would take minutes to reach the JIT's
 *       thresholds, and a loop compiled while the park was never taken would be deoptimised
 *       at the first park. So warm-up iterations park too, but briefly and only before every
 *       64th call: the same code runs, profiled as it is measured, many times faster.
 *   <li>One thread only: with more, JMH's per-invocation bookkeeping and the threads' parks
 *       interleave in ways no application's reads do.
 * </ul>
 */
@BenchmarkMode(Mode.SampleTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@State(Scope.Thread)
@Fork(1)
@Warmup(iterations = 3, time = 1)
@Measurement(iterations = 5, time = 1)
public class SparseReads {
  /** The park before each measured call, in µs; 0 reads back-to-back. */
  @Param({"0", "100", "2000"})
  public long gapUs;

  private static final long WARMUP_PARK_NS = 10_000;
  private static final int WARMUP_STRIDE = 64;  // a power of two

  private long parkNs;
  private int strideMask;
  private int calls;

  /** Varnok's cases record the binding they measured; the JDK's leave Varnok unloaded. */
  @Setup(Level.Trial)
  public void recordBinding(BenchmarkParams params) throws IOException {
    if (params.getBenchmark().contains(".varnok")) {
      VarnokClocks.appendBinding(params);
    }
  }

  @Setup(Level.Iteration)
  public void choosePark(IterationParams iteration) {
    boolean measured = iteration.getType() == IterationType.MEASUREMENT;
    parkNs = gapUs == 0 ? 0 : measured ? TimeUnit.MICROSECONDS.toNanos(gapUs) : WARMUP_PARK_NS;
    strideMask = measured ? 0 : WARMUP_STRIDE - 1;
  }

  @Setup(Level.Invocation)
  public void pause() {
    if (parkNs != 0 && (++calls & strideMask) == 0) {
      LockSupport.parkNanos(parkNs);
    }
  }

  @Benchmark
  public long varnokEpoch() {
    return VarnokTime.currentTimeNanos();
  }

  @Benchmark
  public long varnokRelative() {
    return VarnokTime.nanoTime();
  }

  @Benchmark
  public Instant instantNow() {
    return Instant.now();
  }

  @Benchmark
  public long currentTimeMillis() {
    return System.currentTimeMillis();
  }

  @Benchmark
  public long nanoTime() {
    return System.nanoTime();
  }

  /** JMH's timer and nothing else: the floor of every other case. */
  @Benchmark
  public int baseline() {
    return calls;
  }
}
