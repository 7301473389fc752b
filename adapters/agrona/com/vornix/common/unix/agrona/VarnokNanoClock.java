package com.vornix.common.unix.agrona;

import com.vornix.common.unix.VarnokTime;
import org.agrona.concurrent.NanoClock;
import org.agrona.concurrent.SystemNanoClock;

/**
 * Agrona's relative clock, read from {@link VarnokTime#nanoTime()}: the processor's counter
 * in nanoseconds, for intervals and timeouts.
 *
 * <pre>{@code
 * NanoClock clock = new VarnokNanoClock();
 * }</pre>
 *
 * <p>Where Varnok cannot be used, this clock reads {@link SystemNanoClock} instead, as
 * {@link VarnokEpochNanoClock} does, and one warning says so for both.
 */
public final class VarnokNanoClock implements NanoClock {
  /** A clock; all instances read the same clock. */
  public VarnokNanoClock() {}

  /**
   * The processor's counter in nanoseconds; arbitrary origin.
   *
   * @return the counter's reading, scaled to nanoseconds
   */
  @Override
  public long nanoTime() {
    return VarnokProbe.VARNOK ? VarnokTime.nanoTime() : SystemNanoClock.INSTANCE.nanoTime();
  }

  /**
   * Names the clock read.
   *
   * @return a description of this clock
   */
  @Override
  public String toString() {
    return "VarnokNanoClock[" + (VarnokProbe.VARNOK ? "Varnok" : "SystemNanoClock") + "]";
  }
}
