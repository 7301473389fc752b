package com.vornix.common.unix;

import java.time.Clock;
import java.time.Instant;
import java.time.ZoneId;
import java.time.ZoneOffset;
import java.util.Objects;
import java.util.Optional;

/**
 * {@link Varnok#nanoTimeEpoch1()} as a {@link Clock}, for code that takes one: {@code
 * Instant.now(clock)}, {@code LocalDateTime.now(clock)}, a scheduler, a test seam.
 *
 * <pre>{@code
 * Clock clock = VarnokClock.systemUTCOrFallback();   // runs everywhere
 * Instant stamp = clock.instant();
 * }</pre>
 *
 * <p>It reads through {@link VarnokTime#currentTimeNanos()}, so where the kernel does not
 * trust the counter it reads the JDK's clock ({@link VarnokTime#binding()} is {@code JDK}).
 * {@link #instant()} keeps the clock's whole precision: its nanoseconds are those of
 * {@code nanoTimeEpoch1()}, multiples of 256 ns, where {@code Clock.systemUTC()} gives
 * microseconds. {@link #millis()} is the same reading in milliseconds, rounded down. Like
 * {@code nanoTimeEpoch1()}, the clock may step by up to a microsecond or so, forwards or
 * backwards, when it corrects itself against the system clock: use it for time stamps, not
 * for measuring intervals.
 *
 * <p>{@link #isAvailable()} and {@link #unavailabilityReason()} tell whether the clock can be
 * used here, without throwing: they load the library if nothing has yet (so JDK 24 and
 * later warn then, unless native access is granted), but do not calibrate the clock.
 * Where it cannot be used, {@link #systemUTC()} throws and {@link #systemUTCOrFallback()}
 * returns {@code Clock.systemUTC()}.
 *
 * <p>{@link #uniqueUTC()} and {@link #uniqueUTCOrFallback()} give the same clock with unique
 * readings: no two instants it gives, on any thread, are equal, and each is later than all
 * before it.
 *
 * <p>Instances are immutable and thread-safe; two are equal when their zones are.
 */
public final class VarnokClock extends Clock {
  private static final VarnokClock UTC = new VarnokClock(ZoneOffset.UTC);

  private final ZoneId zone;

  private VarnokClock(ZoneId zone) {
    this.zone = zone;
  }

  /**
   * The clock in UTC. The first call chooses {@link VarnokTime}'s binding, which calibrates
   * the clock where it reads the counter (on a host whose kernel publishes no counter rate,
   * that takes a second); where the kernel does not trust the counter, the clock reads the
   * JDK's, as {@link VarnokTime} does.
   *
   * @return the clock, in the zone UTC
   * @throws UnsatisfiedLinkError where the clock is not available, with the reason as its
   *     message and the loader's own error as its cause
   */
  public static Clock systemUTC() {
    UnsatisfiedLinkError failure = VarnokLoader.failure();
    if (failure != null) {
      UnsatisfiedLinkError error = new UnsatisfiedLinkError(failure.getMessage());
      error.initCause(failure);
      throw error;
    }
    VarnokTime.binding();
    return UTC;
  }

  /**
   * The clock in UTC where it is available, and {@link Clock#systemUTC()} where it is not,
   * for code that must run everywhere, on any platform and whatever the JVM's options.
   *
   * @return this clock in UTC, or the JDK's system clock in UTC
   */
  public static Clock systemUTCOrFallback() {
    return isAvailable() ? systemUTC() : Clock.systemUTC();
  }

  /**
   * A clock in UTC whose every reading is a unique stamp: {@link Clock#instant()} gives
   * {@link VarnokTime#uniqueTimeNanos()}, strictly later than every instant it, or that
   * method, gave before on any thread, and {@link Clock#millis()} is a stamp of the same
   * sequence in milliseconds, rounded down. {@code withZone} keeps it unique. It is not a
   * {@code VarnokClock}; two such clocks are equal when their zones are.
   *
   * @return the unique clock, in the zone UTC
   * @throws UnsatisfiedLinkError where Varnok's clock is not available, as {@link
   *     #systemUTC()} does
   */
  public static Clock uniqueUTC() {
    systemUTC();
    return UniqueClock.VARNOK_UTC;
  }

  /**
   * {@link #uniqueUTC()} where Varnok's clock is available, and where it is not, a clock
   * whose readings are unique stamps on the JDK's clock: each is {@code
   * Clock.systemUTC()}'s reading where that is past the last one, or the last plus one
   * nanosecond, so they too strictly increase across the JVM.
   *
   * @return the unique clock in UTC, on Varnok's clock or the JDK's
   */
  public static Clock uniqueUTCOrFallback() {
    return isAvailable() ? uniqueUTC() : UniqueClock.JDK_UTC;
  }

  /**
   * Whether the clock, and {@link Varnok}'s clocks, can be used in this JVM. Never throws.
   *
   * @return true when the library is loaded (this loads it if nothing has yet), false
   *     when it cannot be
   */
  public static boolean isAvailable() {
    return VarnokLoader.failure() == null;
  }

  /**
   * Why the clock cannot be used in this JVM (what {@link Varnok}'s initialisation would
   * fail with), or empty when it can.
   *
   * @return the reason, or empty
   */
  public static Optional<String> unavailabilityReason() {
    UnsatisfiedLinkError failure = VarnokLoader.failure();
    return failure == null ? Optional.<String>empty() : Optional.of(failure.getMessage());
  }

  /**
   * The zone this clock converts instants with; it does not change the instants.
   *
   * @return the zone, UTC for {@link #systemUTC()}'s clock
   */
  @Override
  public ZoneId getZone() {
    return zone;
  }

  /**
   * The same clock in another zone: still read from {@link Varnok#nanoTimeEpoch1()}.
   *
   * @param zone the zone of the clock returned
   * @return a Varnok clock in that zone; this one when it is in that zone already
   */
  @Override
  public Clock withZone(ZoneId zone) {
    Objects.requireNonNull(zone, "zone");
    return zone.equals(this.zone) ? this : new VarnokClock(zone);
  }

  /**
   * The current instant, from {@link VarnokTime#currentTimeNanos()}: with the counter, its
   * nanoseconds are multiples of 256.
   *
   * @return the current instant
   */
  @Override
  public Instant instant() {
    return Instant.ofEpochSecond(0, VarnokTime.currentTimeNanos());
  }

  /**
   * The current instant in milliseconds since the Unix epoch, rounded down: the clock of
   * {@link #instant()}, read without creating an {@code Instant}.
   *
   * @return milliseconds since 1970-01-01T00:00:00Z
   */
  @Override
  public long millis() {
    return Math.floorDiv(VarnokTime.currentTimeNanos(), 1_000_000L);
  }

  /**
   * Whether {@code other} is a Varnok clock in the same zone: all of them read the same
   * clock.
   *
   * @param other the object to compare with
   * @return true for a {@code VarnokClock} in an equal zone
   */
  @Override
  public boolean equals(Object other) {
    return other instanceof VarnokClock && zone.equals(((VarnokClock) other).zone);
  }

  /**
   * A hash code consistent with {@link #equals(Object)}: from the zone.
   *
   * @return the hash code
   */
  @Override
  public int hashCode() {
    return zone.hashCode() + 1;
  }

  /**
   * The clock's name and zone, for example {@code VarnokClock[Z]}.
   *
   * @return a description of this clock
   */
  @Override
  public String toString() {
    return "VarnokClock[" + zone + "]";
  }
}
