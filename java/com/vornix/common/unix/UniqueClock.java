package com.vornix.common.unix;

import java.time.Clock;
import java.time.Instant;
import java.time.ZoneId;
import java.time.ZoneOffset;
import java.util.Objects;

/**
 * {@link VarnokClock#uniqueUTC()}'s clock, and where Varnok cannot be used {@link
 * VarnokClock#uniqueUTCOrFallback()}'s: every reading, by any thread, is a stamp of {@link
 * UniqueStamps}, over Varnok's epoch clock or over the JDK's. Not a {@code VarnokClock}, so
 * that the plain clock's readings test nothing on the way.
 */
final class UniqueClock extends Clock {
  static final UniqueClock VARNOK_UTC = new UniqueClock(ZoneOffset.UTC, true);
  static final UniqueClock JDK_UTC = new UniqueClock(ZoneOffset.UTC, false);

  private final ZoneId zone;
  /** False: Varnok cannot be used in this JVM, and the JDK's clock is read. */
  private final boolean varnok;

  private UniqueClock(ZoneId zone, boolean varnok) {
    this.zone = zone;
    this.varnok = varnok;
  }

  private long stamp() {
    return varnok ? VarnokTime.uniqueTimeNanos() : UniqueStamps.nextOnJdkClock();
  }

  @Override
  public ZoneId getZone() {
    return zone;
  }

  @Override
  public Clock withZone(ZoneId zone) {
    Objects.requireNonNull(zone, "zone");
    return zone.equals(this.zone) ? this : new UniqueClock(zone, varnok);
  }

  @Override
  public Instant instant() {
    return Instant.ofEpochSecond(0, stamp());
  }

  /** A stamp too, in milliseconds: no later instant() is in an earlier millisecond. */
  @Override
  public long millis() {
    return Math.floorDiv(stamp(), 1_000_000L);
  }

  @Override
  public boolean equals(Object other) {
    return other instanceof UniqueClock && zone.equals(((UniqueClock) other).zone)
        && varnok == ((UniqueClock) other).varnok;
  }

  @Override
  public int hashCode() {
    return zone.hashCode() + (varnok ? 2 : 3);
  }

  @Override
  public String toString() {
    return "VarnokClock.unique[" + zone + (varnok ? "" : ", on the JDK's clock") + "]";
  }
}
