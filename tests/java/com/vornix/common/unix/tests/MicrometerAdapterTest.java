package com.vornix.common.unix.tests;

import com.vornix.common.unix.VarnokTime;
import com.vornix.common.unix.micrometer.VarnokMicrometerClock;
import io.micrometer.core.instrument.Clock;
import io.micrometer.core.instrument.Timer;
import io.micrometer.core.instrument.simple.SimpleConfig;
import io.micrometer.core.instrument.simple.SimpleMeterRegistry;
import java.util.concurrent.TimeUnit;
import java.util.function.LongSupplier;

/**
 * A Micrometer registry built with the adapter, timing a sample: {@code
 * MicrometerAdapterTest varnok|fallback} (see AdapterSupport).
 */
public final class MicrometerAdapterTest {
  private static final Checks checks = new Checks();

  public static void main(String[] args) {
    boolean varnok = AdapterSupport.expectsVarnok(args);
    AdapterSupport.JulNotices notices = new AdapterSupport.JulNotices();
    Clock clock = new VarnokMicrometerClock();
    LongSupplier relative = varnok ? VarnokTime::nanoTime : System::nanoTime;
    checks.check("it reads " + (varnok ? "Varnok" : "Clock.SYSTEM"),
        VarnokMicrometerClock.readsVarnok() == varnok, "readsVarnok() is not " + varnok);

    checks.group("a timer sample", () -> {
      SimpleMeterRegistry registry = new SimpleMeterRegistry(SimpleConfig.DEFAULT, clock);
      Timer timer = registry.timer("adapter.test");
      long t0 = relative.getAsLong();
      Timer.Sample sample = Timer.start(registry);
      long t1 = relative.getAsLong();
      Thread.sleep(1);
      long t2 = relative.getAsLong();
      long recorded = sample.stop(timer);
      long t3 = relative.getAsLong();
      checks.check("the registry's clock is the adapter", registry.config().clock() == clock,
          "" + registry.config().clock());
      checks.check("the sample's duration is the relative clock's",
          t2 - t1 <= recorded && recorded <= t3 - t0,
          recorded + " ns not within [" + (t2 - t1) + ", " + (t3 - t0) + "]");
      checks.check("the timer recorded it",
          timer.count() == 1 && (long) timer.totalTime(TimeUnit.NANOSECONDS) == recorded,
          timer.count() + " samples, " + timer.totalTime(TimeUnit.NANOSECONDS) + " ns");
    });
    checks.group("the clock's readings", () -> {
      long before = AdapterSupport.epochNanosNow() / 1_000_000L;
      long wall = clock.wallTime();
      long after = AdapterSupport.epochNanosNow() / 1_000_000L;
      checks.check("wallTime() is epoch ms within 1 ms of Instant.now()",
          before - 1 <= wall && wall <= after + 1, wall + " not near " + before + ".." + after);
      AdapterSupport.checkRelative(checks, "monotonicTime()", clock::monotonicTime, relative);
    });
    if (varnok) {
      checks.group("wallTime() against Varnok's readings", () ->
          AdapterSupport.checkReadsVarnokEpoch(checks,
              AdapterSupport.millis("wallTime()", clock::wallTime)));
    }
    AdapterSupport.checkNotices(checks, varnok, notices.messages);
    checks.finish();
  }
}
