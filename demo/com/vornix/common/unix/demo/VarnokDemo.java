package com.vornix.common.unix.demo;

import com.vornix.common.unix.Varnok;
import java.time.Instant;

/** Prints Varnok's two clocks beside the JDK's, and what one call of each costs here. */
public final class VarnokDemo {
  private static final int CALLS = 5_000_000;
  private static final int ROUNDS = 5;

  /** Something that returns a time stamp; one per clock under comparison. */
  private interface Clock {
    long read();
  }

  /** Kept so that the JIT cannot drop the reads. */
  private static long sink;

  public static void main(String[] args) {
    // Read back to back so that the printed values can be compared.
    long epoch = Varnok.nanoTimeEpoch1();
    Instant instant = Instant.now();
    long relative = Varnok.nanoTimeRelative1();
    long nano = System.nanoTime();
    long instantNanos = instant.getEpochSecond() * 1_000_000_000L + instant.getNano();

    System.out.printf("Varnok.nanoTimeEpoch1()     %,26d ns since 1970  %s%n",
        epoch, Instant.ofEpochSecond(0, epoch));
    System.out.printf("Instant.now()               %,26d ns since 1970  %s%n",
        instantNanos, instant);
    System.out.printf("  difference                %,26d ns%n", epoch - instantNanos);
    System.out.printf("Varnok.nanoTimeRelative1()  %,26d ns (counter origin)%n", relative);
    System.out.printf("System.nanoTime()           %,26d ns (JVM origin)%n", nano);
    System.out.println();

    System.out.printf("Cost of one call, best of %d rounds of %,d calls:%n", ROUNDS, CALLS);
    report("Varnok.nanoTimeEpoch1()", Varnok::nanoTimeEpoch1);
    report("Varnok.nanoTimeRelative1()", Varnok::nanoTimeRelative1);
    report("System.currentTimeMillis()", System::currentTimeMillis);
    report("System.nanoTime()", System::nanoTime);
    report("Instant.now()", () -> Instant.now().getNano());
    if (sink == 42) System.out.println();  // consumes sink
  }

  private static void report(String name, Clock clock) {
    double best = Double.MAX_VALUE;
    for (int round = 0; round < ROUNDS; round++) {
      long sum = 0;
      long start = System.nanoTime();
      for (int i = 0; i < CALLS; i++) {
        sum += clock.read();
      }
      long elapsed = System.nanoTime() - start;
      sink += sum;
      best = Math.min(best, (double) elapsed / CALLS);
    }
    System.out.printf("  %-28s %6.1f ns%n", name, best);
  }
}
