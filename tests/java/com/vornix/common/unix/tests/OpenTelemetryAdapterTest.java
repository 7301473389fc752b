package com.vornix.common.unix.tests;

import com.vornix.common.unix.VarnokTime;
import com.vornix.common.unix.opentelemetry.VarnokOpenTelemetryClock;
import io.opentelemetry.api.trace.Tracer;
import io.opentelemetry.sdk.common.Clock;
import io.opentelemetry.context.Context;
import io.opentelemetry.sdk.trace.ReadWriteSpan;
import io.opentelemetry.sdk.trace.ReadableSpan;
import io.opentelemetry.sdk.trace.SdkTracerProvider;
import io.opentelemetry.sdk.trace.SpanProcessor;
import io.opentelemetry.sdk.trace.data.SpanData;
import io.opentelemetry.sdk.trace.samplers.Sampler;

/**
 * The OpenTelemetry SDK's tracer with the adapter as its clock: {@code
 * OpenTelemetryAdapterTest varnok|fallback} (see AdapterSupport).
 */
public final class OpenTelemetryAdapterTest {
  private static final Checks checks = new Checks();
  private static final int SPANS = 16;

  /** Keeps each ended span's start. */
  private static final class Ended implements SpanProcessor {
    final long[] starts = new long[SPANS];
    boolean ordered = true;
    int count;

    @Override
    public void onStart(Context parent, ReadWriteSpan span) {}

    @Override
    public boolean isStartRequired() {
      return false;
    }

    @Override
    public void onEnd(ReadableSpan span) {
      SpanData data = span.toSpanData();
      starts[count++ % SPANS] = data.getStartEpochNanos();
      ordered &= data.getEndEpochNanos() >= data.getStartEpochNanos();
    }

    @Override
    public boolean isEndRequired() {
      return true;
    }
  }

  public static void main(String[] args) {
    boolean varnok = AdapterSupport.expectsVarnok(args);
    AdapterSupport.JulNotices notices = new AdapterSupport.JulNotices();
    Clock clock = new VarnokOpenTelemetryClock();
    checks.check("it reads " + (varnok ? "Varnok" : "the SDK's clock"),
        VarnokOpenTelemetryClock.readsVarnok() == varnok, "readsVarnok() is not " + varnok);

    checks.group("root spans", () -> {
      Ended ended = new Ended();
      SdkTracerProvider provider = SdkTracerProvider.builder().setClock(clock)
          .setSampler(Sampler.alwaysOn()).addSpanProcessor(ended).build();
      Tracer tracer = provider.get("adapter-test");
      long before = AdapterSupport.epochNanosNow();
      for (int i = 0; i < SPANS; i++) tracer.spanBuilder("root").setNoParent().startSpan().end();
      long after = AdapterSupport.epochNanosNow();
      checks.check(SPANS + " spans ended", ended.count == SPANS, ended.count + " did");
      AdapterSupport.checkStamps(checks, "their start epoch ns", varnok, ended.starts, before,
          after);
      checks.check("each ends at or after its start", ended.ordered, "one ended before it began");
      provider.close();
    });
    checks.group("the clock's readings", () -> {
      long before = AdapterSupport.epochNanosNow();
      long[] stamps = {clock.now(), clock.now(true), clock.now(), clock.now(true),
          clock.now(), clock.now(true), clock.now(), clock.now(true)};
      long after = AdapterSupport.epochNanosNow();
      AdapterSupport.checkStamps(checks, "now() and now(true)", varnok, stamps, before, after);
      long low = clock.now(false);
      checks.check("now(false) is the epoch clock too",
          Math.abs(low - AdapterSupport.epochNanosNow()) < 2 * AdapterSupport.NEAR_NANOS,
          low + " ns");
      AdapterSupport.checkRelative(checks, "nanoTime()", clock::nanoTime,
          varnok ? VarnokTime::nanoTime : System::nanoTime);
    });
    if (varnok) {
      checks.group("each method against Varnok's readings", () ->
          AdapterSupport.checkReadsVarnokEpoch(checks,
              AdapterSupport.nanos("now()", clock::now),
              AdapterSupport.nanos("now(true)", () -> clock.now(true)),
              AdapterSupport.nanos("now(false)", () -> clock.now(false))));
    }
    AdapterSupport.checkNotices(checks, varnok, notices.messages);
    checks.finish();
  }
}
