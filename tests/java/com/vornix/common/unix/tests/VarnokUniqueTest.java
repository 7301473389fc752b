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
 * {@code VarnokUniqueTest varnok|fallback}: unique stamps, from {@code
 * VarnokTime.uniqueTimeNanos()} and {@code VarnokClock.uniqueUTC()} where Varnok can be
 * used, from {@code VarnokClock.uniqueUTCOrFallback()} on the JDK's clock where it cannot.
 * Unique, strictly increasing on each thread, never behind the clock, and causal; the
 * counts and leads they print are figures, not bounds: no check depends on the machine's
 * speed.
 */
public final class VarnokUniqueTest {
  private static final Checks checks = new Checks();
  private static final int THREADS = 4;
  private static final long SECOND = 1_000_000_000L;

  public static void main(String[] args) {
    String mode = args.length == 1 ? args[0] : "";
    if (mode.equals("varnok")) {
      checks.group("uniqueness and order across threads", () -> acrossThreads(checks, 3,
          VarnokTime::uniqueTimeNanos, VarnokTime::currentTimeNanos, VarnokTime::nanoTime));
      checks.group("causality: two threads stamp in turn", VarnokUniqueTest::causality);
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
   * THREADS threads stamp at once, in rounds, for SECONDS: each thread's stamps strictly
   * increase, no two of the round's are equal, and no stamp is behind a reading of CLOCK
   * taken before it. The clock may step back between that reading and the stamp's own (a
   * re-measurement); the bracket shows it, as a later reading below the earlier one, or as
   * at least the shortfall spent inside the bracket by RELATIVE, less a grain.
   */
  static void acrossThreads(Checks checks, long seconds, LongSupplier stamp, LongSupplier clock,
      LongSupplier relative) throws InterruptedException {
    final int perRound = 200_000;
    long[][] stamps = new long[THREADS][perRound];
    String[] behind = new String[THREADS];
    long checked = 0;
    String firstTie = null;
    long end = System.nanoTime() + seconds * SECOND;
    int rounds = 0;
    boolean failed = false;
    for (; !failed && (rounds < 2 || System.nanoTime() < end); rounds++) {
      Thread[] threads = new Thread[THREADS];
      for (int t = 0; t < THREADS; t++) {
        final long[] mine = stamps[t];
        final int id = t;
        threads[t] = new Thread(() -> {
          try {
            stampRound(mine, stamp, clock, relative);
          } catch (Throwable e) {
            behind[id] = "threw " + e;
          }
        });
        threads[t].start();
      }
      for (Thread thread : threads) thread.join();
      long[] all = new long[THREADS * perRound];
      for (int t = 0; t < THREADS; t++) {
        for (int i = 1; i < perRound && behind[t] == null; i++) {
          if (stamps[t][i] <= stamps[t][i - 1]) {
            behind[t] = "stamp " + stamps[t][i] + " after " + stamps[t][i - 1];
          }
        }
        System.arraycopy(stamps[t], 0, all, t * perRound, perRound);
      }
      Arrays.sort(all);
      for (int i = 1; i < all.length && firstTie == null; i++) {
        if (all[i] == all[i - 1]) firstTie = "round " + rounds + ": " + all[i] + " twice";
      }
      checked += all.length;
      failed = firstTie != null || Arrays.stream(behind).anyMatch(b -> b != null);
    }
    for (int t = 0; t < THREADS; t++) {
      checks.check("thread " + t + ": each stamp past its last and not behind the clock",
          behind[t] == null, behind[t]);
    }
    checks.check("no two of " + checked + " stamps in " + rounds + " rounds are equal",
        firstTie == null, firstTie);
  }

  /** Fills STAMPS; throws where a stamp is behind a reading before it that no step explains. */
  private static void stampRound(long[] stamps, LongSupplier stamp, LongSupplier clock,
      LongSupplier relative) {
    for (int i = 0; i < stamps.length; i++) {
      long r0 = relative.getAsLong();
      long c = clock.getAsLong();
      long u = stamp.getAsLong();
      long c2 = clock.getAsLong();
      long r1 = relative.getAsLong();
      stamps[i] = u;
      if (u < c && c2 >= c && r1 - r0 + 512 < c - u) {
        throw new IllegalStateException("stamp " + u + " behind the clock's " + c
            + ", read " + (r1 - r0) + " ns before it");
      }
    }
  }

  /**
   * Two threads hand a stamp back and forth; each, once it has seen the other's, takes its
   * own. Counted: stamps earlier than the one just seen, and equal to it.
   */
  private static final class PingPong {
    final LongSupplier clock;
    final long handoffs;
    final long deadline = System.nanoTime() + 3 * SECOND;
    /** How many stamps were taken: player N % 2 takes stamp N. */
    final AtomicLong baton = new AtomicLong();
    final AtomicBoolean stop = new AtomicBoolean();
    final Throwable[] thrown = new Throwable[2];
    final long[] earlier = new long[2];
    final long[] equal = new long[2];
    /** Written before the baton is passed, read after it is taken. */
    long seen = Long.MIN_VALUE;

    PingPong(LongSupplier clock, long handoffs) throws Exception {
      this.clock = clock;
      this.handoffs = handoffs;
      Thread[] players = {new Thread(() -> play(0)), new Thread(() -> play(1))};
      for (Thread player : players) player.start();
      for (Thread player : players) player.join();
      for (Throwable e : thrown) {
        if (e != null) throw new IllegalStateException("a player threw", e);
      }
    }

    private void play(int id) {
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
          // Past a floor, so that a slow machine runs longer rather than checks less.
          boolean late = n > 20_000 && n % 1024 < 2 && System.nanoTime() > deadline;
          if (n + 1 >= handoffs || late) stop.set(true);
          baton.set(n + 1);
        }
      } catch (Throwable e) {
        thrown[id] = e;
        stop.set(true);
      }
    }

    String counts() {
      return (earlier[0] + earlier[1]) + " earlier and " + (equal[0] + equal[1]) + " equal of "
          + baton.get();
    }
  }

  private static void causality() throws Exception {
    PingPong plain = new PingPong(VarnokTime::currentTimeNanos, 4_000_000);
    PingPong unique = new PingPong(VarnokTime::uniqueTimeNanos, 4_000_000);
    System.out.println("currentTimeNanos(): " + plain.counts() + " stamps; uniqueTimeNanos(): "
        + unique.counts() + " (" + VarnokTime.binding() + ")");
    checks.check("uniqueTimeNanos(): each of " + unique.baton.get() + " stamps greater than the"
        + " one seen before it", unique.earlier[0] + unique.earlier[1] + unique.equal[0]
            + unique.equal[1] == 0, unique.counts());
  }

  /**
   * One thread stamps as fast as it can, many times per grain: every stamp is the last
   * plus one, or a reading of the clock (a multiple of 256 ns); and two stamps taken between
   * two equal readings of the clock, so within one grain, are consecutive nanoseconds. The
   * lead over the clock read after each stamp is printed, one thread's and four's.
   */
  private static void burst() throws InterruptedException {
    // The JDK's clock, where the kernel distrusts the counter, has no 256 ns grain.
    boolean grained = VarnokTime.binding() != VarnokTime.Binding.JDK;
    long last = VarnokTime.uniqueTimeNanos();
    long following = 0;
    long inOneGrain = 0;
    String odd = null;
    for (int i = 0; i < 1 << 19 && odd == null; i++) {
      long c0 = VarnokTime.currentTimeNanos();
      long u1 = VarnokTime.uniqueTimeNanos();
      long u2 = VarnokTime.uniqueTimeNanos();
      long c1 = VarnokTime.currentTimeNanos();
      for (long u : new long[] {u1, u2}) {
        if (u == last + 1) {
          following++;
        } else if (u <= last || (grained && u % 256 != 0)) {
          odd = u + " after " + last;
        }
        last = u;
      }
      if (c0 == c1) {
        inOneGrain++;
        if (u2 != u1 + 1 && odd == null) odd = u2 + " after " + u1 + ", both at " + c0;
      }
    }
    checks.check("each stamp the last plus one or a clock reading, and two in one grain"
        + " consecutive (" + following + " the last plus one, " + inOneGrain + " pairs in one"
        + " grain)", odd == null, odd);
    for (int threads : new int[] {1, THREADS}) {
      long[] leads = new long[threads];
      long[] ahead = new long[threads];
      long[] calls = new long[threads];
      Thread[] running = new Thread[threads];
      long end = System.nanoTime() + SECOND;
      for (int t = 0; t < threads; t++) {
        final int id = t;
        running[t] = new Thread(() -> {
          long n = 0;
          for (; (n & 1023) != 0 || System.nanoTime() < end; n++) {
            long lead = VarnokTime.uniqueTimeNanos() - VarnokTime.currentTimeNanos();
            if (lead > 256) ahead[id]++;
            leads[id] = Math.max(leads[id], lead);
          }
          calls[id] = n;
        });
        running[t].start();
      }
      for (Thread thread : running) thread.join();
      System.out.println(threads + " thread(s), " + Arrays.stream(calls).sum() + " stamps in 1 s:"
          + " largest lead over the clock read next " + Arrays.stream(leads).max().getAsLong()
          + " ns, " + Arrays.stream(ahead).sum() + " stamps more than one grain ahead");
    }
  }

  /** The clock's instants and millis are stamps of VarnokTime's sequence, in any zone. */
  private static void clock() {
    Clock utc = VarnokClock.uniqueUTC();
    Clock paris = utc.withZone(ZoneId.of("Europe/Paris"));
    checks.check("uniqueUTC(): in UTC, equal to the fallback's choice, zones kept by withZone",
        utc.getZone().equals(ZoneId.of("Z")) && utc.equals(VarnokClock.uniqueUTCOrFallback())
            && paris.equals(utc.withZone(ZoneId.of("Europe/Paris"))) && !paris.equals(utc)
            && paris.withZone(ZoneId.of("Z")).equals(utc) && !utc.equals(VarnokClock.systemUTC()),
        utc + ", " + paris + ", " + VarnokClock.uniqueUTCOrFallback());
    for (Clock clock : new Clock[] {utc, paris}) {
      String miss = null;
      for (int i = 0; i < 10_000 && miss == null; i++) {
        long before = VarnokTime.uniqueTimeNanos();
        long instant = nanos(clock.instant());
        long millis = clock.millis();
        long after = VarnokTime.uniqueTimeNanos();
        if (!(before < instant && instant < after)
            || millis < Math.floorDiv(instant, 1_000_000L) || millis > after / 1_000_000L) {
          miss = "instant " + instant + " ns, millis " + millis + " between " + before + " and "
              + after;
        }
      }
      checks.check(clock + ": instant() and millis() take stamps of uniqueTimeNanos()",
          miss == null, miss);
    }
  }

  private static void fallback() throws Exception {
    try {
      Clock clock = VarnokClock.uniqueUTC();
      checks.check("uniqueUTC() throws", false, "it gave " + clock);
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
