package com.vornix.common.unix.demo;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokClock;
import com.vornix.common.unix.VarnokTime;
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
    System.out.println("Binding: " + VarnokTime.binding() + " (" + VarnokTime.bindingReason() + ")");
    Clock clock = VarnokClock.systemUTC();
    warmUp(clock);
    printWallClocks(clock);
    printRelativeClocks();
    printCosts(clock, calls);
    if (sink == 42) System.out.println();  // consumes sink
  }

  /**
   * The first calls load classes (Instant.now's above all) and run interpreted: a
   * back-to-back pair read cold is tens of microseconds apart for that reason alone.
   */
  private static void warmUp(Clock clock) {
    for (int i = 0; i < WARM_UP_CALLS; i++) {
      sink += Varnok.nanoTimeEpoch1() + Varnok.nanoTimeRelative1() + System.nanoTime()
          + VarnokTime.currentTimeNanos() + VarnokTime.nanoTime()
          + Instant.now().getNano() + clock.instant().getNano();
    }
  }

  private static void printWallClocks(Clock clock) {
    long epoch = Varnok.nanoTimeEpoch1();
    Instant instant = Instant.now();
    Instant fromClock = clock.instant();
    System.out.println();
    System.out.println("Wall clocks, read one right after the other in this order:");
    System.out.printf("  %-32s %27s  %s%n", "clock", "ns since 1970-01-01 UTC", "as a UTC time");
    System.out.printf("  %-32s %,27d  %s%n",
        "Varnok.nanoTimeEpoch1()", epoch, Instant.ofEpochSecond(0, epoch));
    System.out.printf("  %-32s %,27d  %s%n", "Instant.now()", nanos(instant), instant);
    System.out.printf("  %-32s %,27d  %s%n", "VarnokClock instant()", nanos(fromClock), fromClock);
    System.out.printf("  Varnok.nanoTimeEpoch1() minus Instant.now(): %,d ns%n",
        epoch - nanos(instant));
    System.out.println("  (negative when Varnok's reading is the earlier: it was read first, and");
    System.out.println("  it is rounded down to a multiple of 256 ns)");
  }

  private static void printRelativeClocks() {
    long relative = Varnok.nanoTimeRelative1();
    long nano = System.nanoTime();
    System.out.println();
    System.out.println("Relative clocks, for intervals: only the difference of two readings of");
    System.out.println("one clock means anything; the two count from different origins:");
    System.out.printf("  %-32s %27s  %s%n", "clock", "ns since its origin", "origin");
    System.out.printf("  %-32s %,27d  %s%n", "Varnok.nanoTimeRelative1()", relative,
        "the processor counter's start, usually at boot");
    System.out.printf("  %-32s %,27d  %s%n", "System.nanoTime()", nano, "a point the JVM chose");
  }

  private static void printCosts(Clock clock, int calls) {
    Clock system = Clock.systemUTC();
    System.out.println();
    System.out.printf("Cost of one call (the best of %d rounds of %,d calls each):%n",
        ROUNDS, calls);
    System.out.printf("  %-32s %11s%n", "clock", "ns per call");
    report("VarnokTime.currentTimeNanos()", VarnokTime::currentTimeNanos, calls);
    report("Varnok.nanoTimeEpoch1() (JNI)", Varnok::nanoTimeEpoch1, calls);
    report("Instant.now()", () -> Instant.now().getNano(), calls);
    report("VarnokClock instant()", () -> clock.instant().getNano(), calls);
    report("Clock.systemUTC() instant()", () -> system.instant().getNano(), calls);
    report("VarnokTime.nanoTime()", VarnokTime::nanoTime, calls);
    report("Varnok.nanoTimeRelative1() (JNI)", Varnok::nanoTimeRelative1, calls);
    report("System.nanoTime()", System::nanoTime, calls);
  }

  private static long nanos(Instant instant) {
    return instant.getEpochSecond() * 1_000_000_000L + instant.getNano();
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
    System.out.printf("  %-32s %11.1f%n", name, best);
  }
}
