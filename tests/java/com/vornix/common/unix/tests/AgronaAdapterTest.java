package com.vornix.common.unix.tests;

import com.vornix.common.unix.VarnokTime;
import com.vornix.common.unix.agrona.VarnokEpochNanoClock;
import com.vornix.common.unix.agrona.VarnokNanoClock;
import org.agrona.concurrent.EpochNanoClock;
import org.agrona.concurrent.NanoClock;

/** Agrona's two clocks from the adapter: {@code AgronaAdapterTest varnok|fallback}. */
public final class AgronaAdapterTest {
  private static final Checks checks = new Checks();

  public static void main(String[] args) {
    boolean varnok = AdapterSupport.expectsVarnok(args);
    AdapterSupport.JulNotices notices = new AdapterSupport.JulNotices();
    EpochNanoClock epoch = new VarnokEpochNanoClock();
    NanoClock relative = new VarnokNanoClock();
    checks.check("they read " + (varnok ? "Varnok" : "Agrona's system clocks"),
        VarnokEpochNanoClock.readsVarnok() == varnok, "readsVarnok() is not " + varnok);

    checks.group("EpochNanoClock", () -> {
      long[] stamps = new long[16];
      long before = AdapterSupport.epochNanosNow();
      for (int i = 0; i < stamps.length; i++) stamps[i] = epoch.nanoTime();
      long after = AdapterSupport.epochNanosNow();
      AdapterSupport.checkStamps(checks, "its stamps", varnok, stamps, before, after);
      if (varnok) {
        AdapterSupport.checkReadsVarnokEpoch(checks,
            AdapterSupport.nanos("EpochNanoClock.nanoTime()", epoch::nanoTime));
      }
    });
    checks.group("NanoClock", () -> AdapterSupport.checkRelative(checks, "nanoTime()",
        relative::nanoTime, varnok ? VarnokTime::nanoTime : System::nanoTime));
    AdapterSupport.checkNotices(checks, varnok, notices.messages);
    checks.finish();
  }
}
