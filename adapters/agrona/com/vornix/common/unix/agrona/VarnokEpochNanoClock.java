package com.vornix.common.unix.agrona;

import com.vornix.common.unix.VarnokTime;
import org.agrona.concurrent.EpochNanoClock;
import org.agrona.concurrent.SystemEpochNanoClock;

/**
 * Agrona's epoch clock, read from {@link VarnokTime#currentTimeNanos()}: nanoseconds since
 * the Unix epoch, in multiples of 256 ns, for what Aeron and Artio stamp, for example:
 *
 * <pre>{@code
 * EpochNanoClock clock = new VarnokEpochNanoClock();
 * }</pre>
 *
 * <p>Where Varnok cannot be used, this clock reads {@link SystemEpochNanoClock} instead and
 * says so once, as a {@code java.util.logging} warning (Agrona has no logging of its own);
 * it never throws. {@link #readsVarnok()} tells which clock is read.
 */
public final class VarnokEpochNanoClock implements EpochNanoClock {
  /** A clock; all instances read the same clock. */
  public VarnokEpochNanoClock() {}

  /**
   * Whether this adapter's clocks read Varnok (true) or, where Varnok cannot be used,
   * Agrona's system clocks (false). Decided once per class loader.
   *
   * @return true when the readings are Varnok's
   */
  public static boolean readsVarnok() {
    return VarnokProbe.VARNOK;
  }

  /**
   * Nanoseconds since the Unix epoch.
   *
   * @return the current time in nanoseconds since 1970-01-01T00:00:00Z
   */
  @Override
  public long nanoTime() {
    return VarnokProbe.VARNOK
        ? VarnokTime.currentTimeNanos() : SystemEpochNanoClock.INSTANCE.nanoTime();
  }

  /**
   * Names the clock read.
   *
   * @return a description of this clock
   */
  @Override
  public String toString() {
    return "VarnokEpochNanoClock[" + (VarnokProbe.VARNOK ? "Varnok" : "SystemEpochNanoClock") + "]";
  }
}
