package com.vornix.common.unix.tests;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokTime;
import java.time.Instant;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicReference;

/**
 * {@code VarnokTimeTest BINDING}: VarnokTime's entries are bound as BINDING says ({@code
 * CRITICAL} or {@code JNI}) and read the same clocks as Varnok's JNI methods, from one thread
 * and from four across several cycle epochs, where the slow path runs inside the call.
 */
public final class VarnokTimeTest {
  private static final long MILLI = 1_000_000L;
  /** A reading of the other entry may differ by a drift step: bounded by the pairing window. */
  private static final long STEP = 100_000L;

  private static final Checks checks = new Checks();

  public static void main(String[] args) {
    String expected = args.length == 1 ? args[0] : "(missing argument: CRITICAL or JNI)";
    checks.check("binding is " + expected + " (" + VarnokTime.bindingReason() + ")",
        VarnokTime.binding().name().equals(expected), "binding " + VarnokTime.binding());
    checks.group("the entries read Varnok's clocks", VarnokTimeTest::agree);
    checks.group("four threads across cycle epochs", VarnokTimeTest::threads);
    checks.finish();
  }

  /**
   * Each reading sits between two of the JNI method's: a binding that reached another
   * function, or scaled or truncated differently, falls outside.
   */
  private static void agree() throws Exception {
    String epochMiss = null;
    String relativeMiss = null;
    for (int i = 0; i < 200_000; i++) {
      long e1 = Varnok.nanoTimeEpoch1();
      long e = VarnokTime.currentTimeNanos();
      long e2 = Varnok.nanoTimeEpoch1();
      long r1 = Varnok.nanoTimeRelative1();
      long r = VarnokTime.nanoTime();
      long r2 = Varnok.nanoTimeRelative1();
      if ((e < e1 - STEP || e > e2 + STEP || e % 256 != 0) && epochMiss == null) {
        epochMiss = e + " against " + e1 + ".." + e2;
      }
      if ((r < r1 || r > r2) && relativeMiss == null) {
        relativeMiss = r + " against " + r1 + ".." + r2;
      }
    }
    checks.check("currentTimeNanos() between two nanoTimeEpoch1(), multiples of 256 ns",
        epochMiss == null, epochMiss);
    checks.check("nanoTime() between two nanoTimeRelative1()", relativeMiss == null,
        relativeMiss);
    // Each reading of a clock under test sits between two of the reference's, so that a
    // preemption anywhere widens the bracket it lands in instead of failing the check.
    long i0 = nanos(Instant.now());
    long epoch = VarnokTime.currentTimeNanos();
    long i1 = nanos(Instant.now());
    checks.check("currentTimeNanos() within 1 ms of Instant.now() read around it",
        epoch >= i0 - MILLI && epoch <= i1 + MILLI,
        epoch + " ns against " + i0 + ".." + i1);
    long n0 = System.nanoTime();
    long v0 = VarnokTime.nanoTime();
    long n1 = System.nanoTime();
    Thread.sleep(200);
    long n2 = System.nanoTime();
    long v1 = VarnokTime.nanoTime();
    long n3 = System.nanoTime();
    // The interval lies between the brackets' inner and outer spans; 1% of rate either way.
    long inner = n2 - n1;
    long outer = n3 - n0;
    long measured = v1 - v0;
    checks.check("nanoTime() measures a 200 ms sleep as System.nanoTime() does, within 1%",
        measured >= inner - inner / 100 && measured <= outer + outer / 100,
        "nanoTime " + measured + " ns, System.nanoTime between " + inner + " and " + outer
            + " ns");
  }

  private static long nanos(Instant instant) {
    return instant.getEpochSecond() * 1_000_000_000L + instant.getNano();
  }

  /** Long enough to cross a re-measurement on any counter faster than about 1.5 GHz. */
  private static void threads() throws Exception {
    long end = System.nanoTime() + 3_000 * MILLI;
    List<Thread> threads = new ArrayList<>();
    List<AtomicReference<String>> errors = new ArrayList<>();
    for (int t = 0; t < 4; t++) {
      AtomicReference<String> error = new AtomicReference<>();
      errors.add(error);
      threads.add(new Thread(() -> {
        long lastRelative = Long.MIN_VALUE;
        for (long n = 1; error.get() == null && System.nanoTime() < end; n++) {
          long before = System.currentTimeMillis();
          long epoch = VarnokTime.currentTimeNanos();
          long relative = VarnokTime.nanoTime();
          long after = System.currentTimeMillis();
          // currentTimeMillis truncates: 1 ms of slack either side.
          if (epoch < (before - 1) * MILLI || epoch > (after + 2) * MILLI) {
            error.set("read " + n + ": epoch " + epoch + " outside " + before + ".." + after);
          } else if (relative < lastRelative) {
            error.set("read " + n + ": relative went back " + lastRelative + " to " + relative);
          }
          lastRelative = relative;
        }
      }));
    }
    for (Thread thread : threads) thread.start();
    for (Thread thread : threads) thread.join();
    for (int t = 0; t < 4; t++) {
      checks.check("thread " + t + ": epoch within 1 ms of currentTimeMillis, relative"
          + " non-decreasing", errors.get(t).get() == null, errors.get(t).get());
    }
  }
}
