package com.vornix.common.unix.tests;

import com.vornix.common.unix.VarnokClock;
import com.vornix.common.unix.VarnokTime;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.time.Clock;
import java.time.Instant;
import java.time.ZoneId;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.function.LongSupplier;

/**
 * {@code VarnokUniqueTest varnok|fallback}: unique stamps, from {@code uniqueTimeNanos()} and
 * {@code VarnokClock.uniqueUTC()}, or where Varnok cannot be used from {@code
 * uniqueUTCOrFallback()} on the JDK's clock: unique, increasing on each thread, not behind
 * the clock, causal. The counts and leads printed are figures; no check depends on speed.
 */
public final class VarnokUniqueTest {
  private static final Checks checks = new Checks();
  private static final int THREADS = 4;
  private static final long SECOND = 1_000_000_000L;

  public static void main(String[] args) throws Exception {
    String mode = args.length == 1 ? args[0] : "";
    if (mode.equals("varnok")) {
      checks.group("four threads at once", () -> acrossThreads(checks, 3,
          VarnokTime::uniqueTimeNanos, VarnokTime::currentTimeNanos, VarnokTime::nanoTime));
      checks.group("two threads in turn", VarnokUniqueTest::causality);
      checks.group("a burst faster than the grain", VarnokUniqueTest::burst);
      checks.group("VarnokClock.uniqueUTC()", VarnokUniqueTest::clock);
    } else if (mode.equals("fallback")) {
      checks.group("where Varnok cannot be used", VarnokUniqueTest::fallback);
    } else {
      checks.check("usage: VarnokUniqueTest varnok|fallback", false, Arrays.toString(args));
    }
    checks.finish();
  }

  /**
   * THREADS threads stamp at once, in rounds, for SECONDS: no two stamps equal, each
   * thread's increasing, none behind a reading of CLOCK before it. The clock may step back
   * between that reading and the stamp's own; the bracket then shows it, as a later reading
   * below the earlier, or as the shortfall (less a grain) spent inside it by RELATIVE.
   */
  static void acrossThreads(Checks checks, long seconds, LongSupplier stamp, LongSupplier clock,
      LongSupplier relative) throws InterruptedException {
    long[][] stamps = new long[THREADS][200_000];
    String[] fault = new String[THREADS];
    long[] lead = new long[THREADS];
    String failure = null;
    long end = System.nanoTime() + seconds * SECOND;
    int rounds = 0;
    for (; failure == null && (rounds < 2 || System.nanoTime() < end); rounds++) {
      Thread[] threads = new Thread[THREADS];
      for (int t = 0; t < THREADS; t++) {
        final int id = t;
        threads[t] = new Thread(() -> {
          long last = Long.MIN_VALUE;
          for (int i = 0; i < stamps[id].length && fault[id] == null; i++) {
            long r0 = relative.getAsLong();
            long c = clock.getAsLong();
            long u = stamp.getAsLong();
            long c2 = clock.getAsLong();
            long r1 = relative.getAsLong();
            if (u <= last || (u < c && c2 >= c && r1 - r0 + 512 < c - u)) {
              fault[id] = "stamp " + u + " after " + last + ", the clock at " + c + ".." + c2;
            }
            lead[id] = Math.max(lead[id], u - c2);
            stamps[id][i] = last = u;
          }
        });
        threads[t].start();
      }
      for (Thread thread : threads) thread.join();
      failure = Arrays.stream(fault).filter(f -> f != null).findFirst().orElse(null);
      long[] all = Arrays.stream(stamps).flatMapToLong(Arrays::stream).sorted().toArray();
      for (int i = 1; i < all.length && failure == null; i++) {
        if (all[i] == all[i - 1]) failure = "round " + rounds + ": " + all[i] + " twice";
      }
    }
    checks.check(THREADS + " threads, " + rounds + " rounds of " + THREADS * stamps[0].length
        + " stamps: none equal, each past its last and not behind the clock (largest lead over"
        + " it " + Arrays.stream(lead).max().getAsLong() + " ns)", failure == null, failure);
  }

  /**
   * Two threads take stamps in turn, each once it has seen the other's. Counted: stamps
   * equal to the one seen, and earlier.
   */
  private static final class PingPong {
    final AtomicLong baton = new AtomicLong();
    final AtomicBoolean stop = new AtomicBoolean();
    final long[] earlier = new long[2];
    final long[] equal = new long[2];
    final long deadline = System.nanoTime() + 3 * SECOND;
    Throwable thrown;
    /** Written before the baton is passed, read after it is taken. */
    long seen = Long.MIN_VALUE;

    PingPong(LongSupplier clock, long handoffs) throws InterruptedException {
      Thread[] players = new Thread[2];
      for (int p = 0; p < 2; p++) {
        final int id = p;
        players[p] = new Thread(() -> {
          try {
            for (long n = id;; n += 2) {
              for (int spins = 0; baton.get() != n; spins++) {
                if (stop.get()) return;
                if (spins > 1000) Thread.yield();
              }
              if (stop.get()) return;
              long mine = clock.getAsLong();
              if (mine < seen) earlier[id]++;
              if (mine == seen) equal[id]++;
              seen = mine;
              // A slow machine runs longer rather than checks fewer.
              boolean late = n > 20_000 && n % 1024 < 2 && System.nanoTime() > deadline;
              if (n + 1 >= handoffs || late) stop.set(true);
              baton.set(n + 1);
            }
          } catch (Throwable e) {
            thrown = e;
            stop.set(true);
          }
        });
        players[p].start();
      }
      for (Thread player : players) player.join();
      if (thrown != null) throw new IllegalStateException("a player threw", thrown);
    }

    long faults() {
      return earlier[0] + earlier[1] + equal[0] + equal[1];
    }

    @Override
    public String toString() {
      return (earlier[0] + earlier[1]) + " earlier and " + (equal[0] + equal[1]) + " equal of "
          + baton.get();
    }
  }

  private static void causality() throws Exception {
    PingPong plain = new PingPong(VarnokTime::currentTimeNanos, 4_000_000);
    PingPong unique = new PingPong(VarnokTime::uniqueTimeNanos, 4_000_000);
    System.out.println("currentTimeNanos(): " + plain + "; uniqueTimeNanos(): " + unique
        + " (" + VarnokTime.binding() + ")");
    checks.check("uniqueTimeNanos(): every stamp greater than the one seen before it ("
        + unique + ")", unique.faults() == 0, unique.toString());
  }

  /**
   * One thread, many stamps per grain: each the last plus one or a clock reading (on the
   * 256 ns grain); two between equal readings of the clock, so within one grain, consecutive.
   */
  private static void burst() {
    boolean grained = VarnokTime.binding() != VarnokTime.Binding.JDK;
    long last = VarnokTime.uniqueTimeNanos();
    long following = 0;
    long inOneGrain = 0;
    long lead = 0;
    String odd = null;
    for (int i = 0; i < 1 << 19 && odd == null; i++) {
      long c0 = VarnokTime.currentTimeNanos();
      long u1 = VarnokTime.uniqueTimeNanos();
      long u2 = VarnokTime.uniqueTimeNanos();
      long c1 = VarnokTime.currentTimeNanos();
      for (long u : new long[] {u1, u2}) {
        if (u == last + 1) following++;
        if (u != last + 1 && (u <= last || (grained && u % 256 != 0))) odd = u + " after " + last;
        last = u;
      }
      if (c0 == c1 && u2 != u1 + 1) odd = u2 + " after " + u1 + ", both at " + c0;
      if (c0 == c1) inOneGrain++;
      lead = Math.max(lead, u2 - c1);
    }
    checks.check("each stamp the last plus one or a clock reading, two in one grain"
        + " consecutive (" + following + " the last plus one, " + inOneGrain + " pairs in one"
        + " grain, largest lead over the clock " + lead + " ns)", odd == null, odd);
  }

  /** The clock's instants and millis are stamps of uniqueTimeNanos()'s sequence, any zone. */
  private static void clock() {
    Clock utc = VarnokClock.uniqueUTC();
    Clock paris = utc.withZone(ZoneId.of("Europe/Paris"));
    checks.check("uniqueUTC(): UTC, the fallback's choice, a zone of its own with withZone",
        utc.getZone().equals(ZoneId.of("Z")) && utc.equals(VarnokClock.uniqueUTCOrFallback())
            && !paris.equals(utc) && paris.withZone(ZoneId.of("Z")).equals(utc)
            && !utc.equals(VarnokClock.systemUTC()), utc + ", " + paris);
    for (Clock clock : new Clock[] {utc, paris}) {
      String miss = null;
      for (int i = 0; i < 10_000 && miss == null; i++) {
        long before = VarnokTime.uniqueTimeNanos();
        long instant = nanos(clock.instant());
        long millis = clock.millis();
        long after = VarnokTime.uniqueTimeNanos();
        if (!(before < instant && instant < after && instant / 1_000_000 <= millis
            && millis <= after / 1_000_000)) {
          miss = instant + " ns, " + millis + " ms, between " + before + " and " + after;
        }
      }
      checks.check(clock + ": instant() and millis() are stamps of uniqueTimeNanos()",
          miss == null, miss);
    }
  }

  private static void fallback() throws Exception {
    try {
      checks.check("uniqueUTC() throws", false, "it gave " + VarnokClock.uniqueUTC());
    } catch (UnsatisfiedLinkError e) {
      checks.check("uniqueUTC() throws, saying why", e.getMessage() != null
          && e.getMessage().equals(VarnokClock.unavailabilityReason().orElse(null)), "" + e);
    }
    Clock clock = VarnokClock.uniqueUTCOrFallback();
    long before = nanos(Instant.now());
    long stamp = nanos(clock.instant());
    long after = nanos(Instant.now());
    checks.check("uniqueUTCOrFallback(): " + clock + " reads the JDK's clock",
        before <= stamp && stamp <= after, stamp + " against " + before + ".." + after);
    acrossThreads(checks, 3, () -> nanos(clock.instant()), () -> nanos(Instant.now()),
        System::nanoTime);
    String maps = new String(Files.readAllBytes(Paths.get("/proc/self/maps")),
        StandardCharsets.ISO_8859_1);
    checks.check("no library loaded for it", !maps.contains("libvarnok_jni"),
        "libvarnok_jni is mapped");
  }

  private static long nanos(Instant instant) {
    return instant.getEpochSecond() * SECOND + instant.getNano();
  }
}
