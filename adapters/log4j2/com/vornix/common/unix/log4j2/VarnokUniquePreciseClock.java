package com.vornix.common.unix.log4j2;

import com.vornix.common.unix.VarnokTime;
import java.time.Instant;
import org.apache.logging.log4j.core.time.MutableInstant;
import org.apache.logging.log4j.core.time.PreciseClock;

/**
 * Log4j 2's clock with a unique instant for every event: each is {@link
 * VarnokTime#uniqueTimeNanos()}, later than every event's before it on any thread, so that
 * the events' order is the order of their stamps, even for events logged within one grain
 * of the clock (256 ns). Configured as {@link VarnokPreciseClock} is:
 *
 * <pre>
 * log4j2.clock=com.vornix.common.unix.log4j2.VarnokUniquePreciseClock
 * </pre>
 *
 * <p>Where Varnok cannot be used, it reads the JDK's clock (as Log4j's default clock does,
 * through {@link Instant#now()}) and keeps the instants unique and increasing all the same,
 * and says once, as a warning of Log4j's status logger, that it falls back; it never throws.
 */
public final class VarnokUniquePreciseClock implements PreciseClock {
  private static final long NANOS_PER_SECOND = 1_000_000_000L;
  private static final long NANOS_PER_MILLI = 1_000_000L;

  /** Made by Log4j from {@code log4j2.clock}; all instances share one sequence of stamps. */
  public VarnokUniquePreciseClock() {}

  /**
   * Whether the stamps are Varnok's (true) or, where Varnok cannot be used, the JDK's clock
   * made unique (false). Decided once per class loader.
   *
   * @return true when the stamps are Varnok's
   */
  public static boolean readsVarnok() {
    return VarnokProbe.VARNOK;
  }

  private static long stamp() {
    if (VarnokProbe.VARNOK) return VarnokTime.uniqueTimeNanos();
    Instant now = Instant.now();
    return FallbackSequence.next(now.getEpochSecond() * NANOS_PER_SECOND + now.getNano());
  }

  /**
   * Fills the event's instant with a unique stamp, creating nothing where Varnok is read.
   *
   * @param instant the instant to set
   */
  @Override
  public void init(MutableInstant instant) {
    long nanos = stamp();
    instant.initFromEpochSecond(Math.floorDiv(nanos, NANOS_PER_SECOND),
        (int) Math.floorMod(nanos, NANOS_PER_SECOND));
  }

  /**
   * A stamp of the same sequence in milliseconds, rounded down: never before an instant
   * given earlier.
   *
   * @return milliseconds since 1970-01-01T00:00:00Z
   */
  @Override
  public long currentTimeMillis() {
    return Math.floorDiv(stamp(), NANOS_PER_MILLI);
  }

  /**
   * Names the clock read, for Log4j's status output.
   *
   * @return a description of this clock
   */
  @Override
  public String toString() {
    return "VarnokUniquePreciseClock["
        + (VarnokProbe.VARNOK ? "Varnok" : "the JDK's clock, made unique") + "]";
  }
}
