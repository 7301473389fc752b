package com.vornix.common.unix.jmh.adapters;

import com.vornix.common.unix.opentelemetry.VarnokOpenTelemetryClock;
import com.vornix.common.unix.opentelemetry.VarnokUniqueOpenTelemetryClock;
import io.opentelemetry.api.trace.Tracer;
import io.opentelemetry.context.Context;
import io.opentelemetry.sdk.common.Clock;
import io.opentelemetry.sdk.trace.ReadWriteSpan;
import io.opentelemetry.sdk.trace.ReadableSpan;
import io.opentelemetry.sdk.trace.SdkTracerProvider;
import io.opentelemetry.sdk.trace.SpanProcessor;
import io.opentelemetry.sdk.trace.samplers.Sampler;
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
import org.openjdk.jmh.annotations.TearDown;
import org.openjdk.jmh.infra.Blackhole;

/**
 * A sampled root span's start and end, with the SDK's default clock against the adapter's
 * two (the unique clock's now() a stamp of Varnok's sequence). The
 * root span reads the clock's now() and nanoTime(), its end nanoTime() again.
 */
@State(Scope.Benchmark)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@Fork(value = 2, jvmArgsAppend = "--enable-native-access=ALL-UNNAMED")
public class OpenTelemetryClockBenchmark {
  @Param({"default", "varnok", "unique"})
  public String clock;

  private SdkTracerProvider provider;
  private Tracer tracer;

  /** Consumes each ended span's start, as an exporter would read it. */
  static final class StartSink implements SpanProcessor {
    Blackhole blackhole;

    @Override
    public void onStart(Context parent, ReadWriteSpan span) {}

    @Override
    public boolean isStartRequired() {
      return false;
    }

    @Override
    public void onEnd(ReadableSpan span) {
      blackhole.consume(span.getLatencyNanos());
    }

    @Override
    public boolean isEndRequired() {
      return true;
    }
  }

  @Setup
  public void setUp(Blackhole blackhole) {
    StartSink sink = new StartSink();
    sink.blackhole = blackhole;
    Clock chosen = clock.equals("varnok") ? new VarnokOpenTelemetryClock()
        : clock.equals("unique") ? new VarnokUniqueOpenTelemetryClock() : Clock.getDefault();
    provider = SdkTracerProvider.builder().setClock(chosen).setSampler(Sampler.alwaysOn())
        .addSpanProcessor(sink).build();
    tracer = provider.get("benchmark");
  }

  @TearDown
  public void tearDown() {
    provider.close();
  }

  @Benchmark
  public void spanStartEnd() {
    tracer.spanBuilder("root").setNoParent().startSpan().end();
  }
}
