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
 * The OpenTelemetry SDK's tracer with each of the adapter's clocks, plain and unique, as
 * its clock: {@code OpenTelemetryAdapterTest varnok|fallback} (see AdapterSupport).
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
    Clock plain = new VarnokOpenTelemetryClock();
    Clock unique = new VarnokUniqueOpenTelemetryClock();
    checks.check("both clocks read " + (varnok ? "Varnok" : "the SDK's clock"),
        VarnokOpenTelemetryClock.readsVarnok() == varnok
            && VarnokUniqueOpenTelemetryClock.readsVarnok() == varnok,
        "readsVarnok() is not " + varnok);
    for (Clock clock : new Clock[] {plain, unique}) {
      boolean isUnique = clock == unique;
      checks.group(clock + ": root spans", () -> rootSpans(clock, varnok, isUnique));
      checks.group(clock + ": its readings", () -> {
        long before = AdapterSupport.epochNanosNow();
        long[] stamps = {clock.now(), clock.now(true), clock.now(), clock.now(true),
            clock.now(), clock.now(true), clock.now(), clock.now(true)};
        long after = AdapterSupport.epochNanosNow();
        if (isUnique) {
          AdapterSupport.checkIncreasing(checks, "now() and now(true)", stamps);
          AdapterSupport.checkNear(checks, "now() and now(true)", stamps, before, after);
        } else {
          AdapterSupport.checkStamps(checks, "now() and now(true)", varnok, stamps, before, after);
        }
        AdapterSupport.checkNearNow(checks, "now(false)", 1, () -> clock.now(false));
        AdapterSupport.checkRelative(checks, "nanoTime()", clock::nanoTime,
            varnok ? VarnokTime::nanoTime : System::nanoTime);
      });
    }
    if (varnok) {
      checks.group("each method against Varnok's readings", () ->
          AdapterSupport.checkReadsVarnokEpoch(checks,
              AdapterSupport.nanos("now()", plain::now),
              AdapterSupport.nanos("now(true)", () -> plain.now(true)),
              AdapterSupport.nanos("now(false)", () -> plain.now(false)),
              AdapterSupport.uniqueNanos("the unique clock's now()", unique::now),
              AdapterSupport.uniqueNanos("the unique clock's now(true)", () -> unique.now(true)),
              AdapterSupport.uniqueNanos("the unique clock's now(false)",
                  () -> unique.now(false))));
    }
    checks.group("the unique clock across threads",
        () -> AdapterSupport.checkUnique(checks, varnok, unique::now));
    AdapterSupport.checkNotices(checks, varnok, notices.messages);
    checks.finish();
  }

  /** Root spans one after another: with the unique clock, each starts after the last. */
  private static void rootSpans(Clock clock, boolean varnok, boolean unique) {
    Ended ended = new Ended();
    SdkTracerProvider provider = SdkTracerProvider.builder().setClock(clock)
        .setSampler(Sampler.alwaysOn()).addSpanProcessor(ended).build();
    Tracer tracer = provider.get("adapter-test");
    long before = AdapterSupport.epochNanosNow();
    for (int i = 0; i < SPANS; i++) tracer.spanBuilder("root").setNoParent().startSpan().end();
    long after = AdapterSupport.epochNanosNow();
    checks.check(SPANS + " spans ended", ended.count == SPANS, ended.count + " did");
    if (unique) {
      AdapterSupport.checkIncreasing(checks, "their start epoch ns", ended.starts);
      AdapterSupport.checkNear(checks, "their start epoch ns", ended.starts, before, after);
    } else {
      AdapterSupport.checkStamps(checks, "their start epoch ns", varnok, ended.starts, before,
          after);
    }
    checks.check("each ends at or after its start", ended.ordered, "one ended before it began");
    provider.close();
  }
}
