package com.vornix.common.unix;

import java.util.concurrent.atomic.AtomicLongArray;

/**
 * The last unique stamp handed out in this JVM, and the rule for the next one: the clock's
 * reading, or one nanosecond past the last stamp where the clock has not passed it. One
 * sequence serves {@link VarnokTime#uniqueTimeNanos()} and both kinds of unique {@link
 * VarnokClock}, Varnok's and the JDK's fallback, so their stamps never tie with each other.
 *
 * <p>Each stamp is installed by a compare-and-set of the last one, so stamps are totally
 * ordered, and a stamp made after another was seen (by any thread, through any
 * happens-before edge) is greater: the reader's load of the last stamp cannot miss it.
 *
 * <p>How far ahead of the clock the sequence can run: every stamp it takes past the clock's
 * reading is one nanosecond, and the clock's reading moves on by its grain (256 ns) every
 * 256 ns, so at R stamps per nanosecond the lead over the clock's reading stays under R
 * times 256 ns. Every stamp is one compare-and-set on one cache line, which all threads take
 * one at a time, a few nanoseconds each at the very least, so R stays well below 1 and the
 * lead below one grain. Where the clock itself steps back (a re-measurement, by about a
 * microsecond), the sequence goes on from its last stamp, and leads the stepped-back clock
 * by that step until the clock catches up; and where one core's reading lags another's, a
 * stamp made from the later one leads the earlier by the difference.
 */
final class UniqueStamps {
  /**
   * The last stamp is the middle element of 32 longs, so that 128 bytes of the array lie on
   * either side of it (two cache lines, for the prefetchers that fetch lines in pairs): no
   * other field shares its line, and its contention slows no one else.
   */
  private static final int SLOT = 16;

  private static final AtomicLongArray CELL = new AtomicLongArray(2 * SLOT);

  static {
    // Any clock's first reading is greater, even a system clock set before 1970.
    CELL.set(SLOT, Long.MIN_VALUE);
  }

  private UniqueStamps() {}

  /**
   * The next stamp after a clock reading: {@code now} where it is past the last stamp,
   * otherwise the last stamp plus one.
   */
  static long next(long now) {
    long last = CELL.get(SLOT);
    while (true) {
      long next = now > last ? now : last + 1;
      if (CELL.compareAndSet(SLOT, last, next)) return next;
      last = CELL.get(SLOT);
    }
  }

  /** The JDK's wall clock in nanoseconds, where Varnok cannot be used at all. */
  static long nextOnJdkClock() {
    return next(CounterTrust.epoch());
  }
}
