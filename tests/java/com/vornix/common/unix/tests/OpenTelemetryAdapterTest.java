package com.vornix.common.unix.tests;

import com.vornix.common.unix.VarnokTime;
import com.vornix.common.unix.opentelemetry.VarnokOpenTelemetryClock;
import com.vornix.common.unix.opentelemetry.VarnokUniqueOpenTelemetryClock;
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
 * The OpenTelemetry SDK's tracer with each of the adapter's clocks, plain and unique: {@code
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
      long before = AdapterSupport.epochNanosNow();
      long[] starts = rootSpanStarts(clock);
      AdapterSupport.checkStamps(checks, "their start epoch ns", varnok, starts, before,
          AdapterSupport.epochNanosNow());
    });
    checks.group("the clock's readings", () -> {
      long before = AdapterSupport.epochNanosNow();
      long[] stamps = {clock.now(), clock.now(true), clock.now(), clock.now(true),
          clock.now(), clock.now(true), clock.now(), clock.now(true)};
      long after = AdapterSupport.epochNanosNow();
      AdapterSupport.checkStamps(checks, "now() and now(true)", varnok, stamps, before, after);
      AdapterSupport.checkNearNow(checks, "now(false)", 1, () -> clock.now(false));
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
    Clock unique = new VarnokUniqueOpenTelemetryClock();
    checks.group("the unique clock", () -> {
      checks.check("it reads " + (varnok ? "Varnok" : "the SDK's clock"),
          VarnokUniqueOpenTelemetryClock.readsVarnok() == varnok, "readsVarnok() is not " + varnok);
      long before = AdapterSupport.epochNanosNow();
      long[] starts = rootSpanStarts(unique);
      long[] stamps = {unique.now(), unique.now(true), unique.now(false), unique.now()};
      long after = AdapterSupport.epochNanosNow();
      AdapterSupport.checkIncreasing(checks, "root spans' starts", starts);
      AdapterSupport.checkIncreasing(checks, "now(), now(true), now(false)", stamps);
      AdapterSupport.checkNear(checks, "root spans' starts", starts, before, after);
      AdapterSupport.checkNear(checks, "now(), now(true), now(false)", stamps, before, after);
      AdapterSupport.checkUnique(checks, varnok, "now()'s readings", unique::now);
      AdapterSupport.checkRelative(checks, "its nanoTime()", unique::nanoTime,
          varnok ? VarnokTime::nanoTime : System::nanoTime);
    });
    AdapterSupport.checkNotices(checks, varnok, notices.messages);
    checks.finish();
  }

  /** SPANS root spans started and ended one after another with CLOCK; their starts. */
  private static long[] rootSpanStarts(Clock clock) {
    Ended ended = new Ended();
    SdkTracerProvider provider = SdkTracerProvider.builder().setClock(clock)
        .setSampler(Sampler.alwaysOn()).addSpanProcessor(ended).build();
    Tracer tracer = provider.get("adapter-test");
    for (int i = 0; i < SPANS; i++) tracer.spanBuilder("root").setNoParent().startSpan().end();
    provider.close();
    checks.check(SPANS + " spans ended, each at or after its start",
        ended.count == SPANS && ended.ordered, ended.count + " ended, in order: " + ended.ordered);
    return ended.starts;
  }
}
