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
 * <p>{@link #instant()} keeps the clock's whole precision: its nanoseconds are those of
 * {@code nanoTimeEpoch1()}, multiples of 256 ns, where {@code Clock.systemUTC()} gives
 * microseconds. {@link #millis()} is the same reading in milliseconds, rounded down. Like
 * {@code nanoTimeEpoch1()}, the clock may step by up to a microsecond or so, forwards or
 * backwards, when it corrects itself against the system clock: use it for time stamps, not
 * for measuring intervals.
 *
 * <p>{@link #isAvailable()} and {@link #unavailabilityReason()} tell whether the clock can be
 * used here, without throwing: they load the library if nothing has yet (so JDK 24 and
 * later warn then, unless native access is granted), but do not calibrate the clock. Where it cannot be used, {@link #systemUTC()} throws and {@link
 * #systemUTCOrFallback()} returns {@code Clock.systemUTC()}.
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
   * The clock in UTC. The first call initialises {@link Varnok}, which calibrates the clock
   * (on a host whose kernel publishes no counter rate, that takes a second).
   *
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
    Varnok.calibrate();
    return UTC;
  }

  /**
   * The clock in UTC where it is available, and {@link Clock#systemUTC()} where it is not,
   * for code that must run everywhere, on any platform and whatever the JVM's options.
   */
  public static Clock systemUTCOrFallback() {
    return isAvailable() ? systemUTC() : Clock.systemUTC();
  }

  /** Whether the clock, and {@link Varnok}'s clocks, can be used in this JVM. */
  public static boolean isAvailable() {
    return VarnokLoader.failure() == null;
  }

  /**
   * Why the clock cannot be used in this JVM (what {@link Varnok}'s initialisation would
   * fail with), or empty when it can.
   */
  public static Optional<String> unavailabilityReason() {
    UnsatisfiedLinkError failure = VarnokLoader.failure();
    return failure == null ? Optional.<String>empty() : Optional.of(failure.getMessage());
  }

  @Override
  public ZoneId getZone() {
    return zone;
  }

  /** The same clock in another zone: still read from {@link Varnok#nanoTimeEpoch1()}. */
  @Override
  public Clock withZone(ZoneId zone) {
    Objects.requireNonNull(zone, "zone");
    return zone.equals(this.zone) ? this : new VarnokClock(zone);
  }

  @Override
  public Instant instant() {
    return Instant.ofEpochSecond(0, Varnok.nanoTimeEpoch1());
  }

  @Override
  public long millis() {
    return Math.floorDiv(Varnok.nanoTimeEpoch1(), 1_000_000L);
  }

  @Override
  public boolean equals(Object other) {
    return other instanceof VarnokClock && zone.equals(((VarnokClock) other).zone);
  }

  @Override
  public int hashCode() {
    return zone.hashCode() + 1;
  }

  @Override
  public String toString() {
    return "VarnokClock[" + zone + "]";
  }
}
