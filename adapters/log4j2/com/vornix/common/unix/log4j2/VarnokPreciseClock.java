package com.vornix.common.unix.log4j2;

import com.vornix.common.unix.VarnokTime;
import org.apache.logging.log4j.core.time.MutableInstant;
import org.apache.logging.log4j.core.time.PreciseClock;
import org.apache.logging.log4j.core.util.SystemClock;

/**
 * Log4j 2's clock, read from Varnok: every event's instant comes from {@link
 * VarnokTime#currentTimeNanos()}, with its whole precision (multiples of 256 ns), and
 * without creating an object per event, where Log4j's default clock creates an {@code
 * Instant}. Log4j makes the clock itself, by its public no-argument constructor, from the
 * system property (or {@code log4j2.component.properties} line):
 *
 * <pre>
 * log4j2.clock=com.vornix.common.unix.log4j2.VarnokPreciseClock
 * </pre>
 *
 * <p>Where Varnok cannot be used, this clock reads Log4j's own default clock instead and
 * says so once, as a warning of Log4j's status logger; it never throws. {@link
 * #readsVarnok()} tells which clock is read.
 */
public final class VarnokPreciseClock implements PreciseClock {
  private static final long NANOS_PER_SECOND = 1_000_000_000L;
  private static final long NANOS_PER_MILLI = 1_000_000L;
  private static final SystemClock JDK = new SystemClock();

  /** Made by Log4j from {@code log4j2.clock}; all instances read the same clock. */
  public VarnokPreciseClock() {}

  /**
   * Whether this clock reads Varnok (true) or, where Varnok cannot be used, Log4j's
   * default clock (false). Decided once per class loader.
   *
   * @return true when the time stamps are Varnok's
   */
  public static boolean readsVarnok() {
    return VarnokProbe.VARNOK;
  }

  /**
   * Fills the event's instant with the current time, creating nothing.
   *
   * @param instant the instant to set
   */
  @Override
  public void init(MutableInstant instant) {
    if (VarnokProbe.VARNOK) {
      long nanos = VarnokTime.currentTimeNanos();
      instant.initFromEpochSecond(Math.floorDiv(nanos, NANOS_PER_SECOND),
          (int) Math.floorMod(nanos, NANOS_PER_SECOND));
    } else {
      JDK.init(instant);
    }
  }

  /**
   * The current time in milliseconds since the Unix epoch, rounded down.
   *
   * @return milliseconds since 1970-01-01T00:00:00Z
   */
  @Override
  public long currentTimeMillis() {
    if (VarnokProbe.VARNOK) {
      return Math.floorDiv(VarnokTime.currentTimeNanos(), NANOS_PER_MILLI);
    }
    return JDK.currentTimeMillis();
  }

  /**
   * Names the clock read, for Log4j's status output.
   *
   * @return a description of this clock
   */
  @Override
  public String toString() {
    return "VarnokPreciseClock[" + (VarnokProbe.VARNOK ? "Varnok" : "Log4j's SystemClock") + "]";
  }
}
