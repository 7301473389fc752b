package com.vornix.common.unix.demo;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokClock;
import java.time.Clock;
import java.time.Instant;

/**
 * Prints Varnok's clocks beside the JDK's, and what one call of each costs here.
 *
 * <p>Argument: how many calls each round times (default 5,000,000).
 */
public final class VarnokDemo {
  private static final int ROUNDS = 5;
  private static final int WARM_UP_CALLS = 200_000;

  /** Something that returns a time stamp; one per clock under comparison. */
  private interface Reading {
    long read();
  }

  /** Kept so that the JIT cannot drop the reads. */
  private static long sink;

  public static void main(String[] args) {
    int calls = args.length > 0 ? Integer.parseInt(args[0]) : 5_000_000;
    // Reading the version initialises Varnok: the library is loaded and the clock calibrated.
    System.out.println("Varnok " + Varnok.VERSION);
    Clock clock = VarnokClock.systemUTC();
    Clock system = Clock.systemUTC();
    // The first calls load classes (Instant.now's above all) and run interpreted: a
    // back-to-back pair read cold is tens of microseconds apart for that reason alone.
    for (int i = 0; i < WARM_UP_CALLS; i++) {
      sink += Varnok.nanoTimeEpoch1() + Varnok.nanoTimeRelative1() + System.nanoTime()
          + Instant.now().getNano() + clock.instant().getNano();
    }

    long epoch = Varnok.nanoTimeEpoch1();
    Instant instant = Instant.now();
    Instant fromClock = clock.instant();
    long relative = Varnok.nanoTimeRelative1();
    long nano = System.nanoTime();
    long instantNanos = instant.getEpochSecond() * 1_000_000_000L + instant.getNano();

    System.out.println("Wall clock, ns since 1970, read back to back:");
    System.out.printf("  %-28s %,27d  %s%n",
        "Varnok.nanoTimeEpoch1()", epoch, Instant.ofEpochSecond(0, epoch));
    System.out.printf("  %-28s %,27d  %s%n", "Instant.now()", instantNanos, instant);
    System.out.printf("  %-28s %,27d%n", "difference", epoch - instantNanos);
    System.out.printf("  %-28s %27s  %s%n", "VarnokClock instant()", "", fromClock);
    System.out.println("Relative clock, ns from an arbitrary origin:");
    System.out.printf("  %-28s %,27d  (origin: counter reset)%n",
        "Varnok.nanoTimeRelative1()", relative);
    System.out.printf("  %-28s %,27d  (origin: chosen by the JVM)%n", "System.nanoTime()", nano);

    System.out.printf("Cost of one call, ns (best of %d rounds of %,d calls):%n", ROUNDS, calls);
    report("Varnok.nanoTimeEpoch1()", Varnok::nanoTimeEpoch1, calls);
    report("Instant.now()", () -> Instant.now().getNano(), calls);
    report("VarnokClock instant()", () -> clock.instant().getNano(), calls);
    report("Clock.systemUTC() instant()", () -> system.instant().getNano(), calls);
    report("Varnok.nanoTimeRelative1()", Varnok::nanoTimeRelative1, calls);
    report("System.nanoTime()", System::nanoTime, calls);
    if (sink == 42) System.out.println();  // consumes sink
  }

  private static void report(String name, Reading reading, int calls) {
    double best = Double.MAX_VALUE;
    for (int round = 0; round < ROUNDS; round++) {
      long sum = 0;
      long start = System.nanoTime();
      for (int i = 0; i < calls; i++) {
        sum += reading.read();
      }
      long elapsed = System.nanoTime() - start;
      sink += sum;
      best = Math.min(best, (double) elapsed / calls);
    }
    System.out.printf("  %-28s %6.1f%n", name, best);
  }
}
