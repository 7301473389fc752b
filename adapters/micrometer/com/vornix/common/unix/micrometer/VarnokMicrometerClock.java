package com.vornix.common.unix.micrometer;

import com.vornix.common.unix.VarnokTime;
import io.micrometer.core.instrument.Clock;

/**
 * Micrometer's clock, read from Varnok: {@link #wallTime()} from {@link
 * VarnokTime#currentTimeNanos()} in milliseconds, {@link #monotonicTime()} from {@link
 * VarnokTime#nanoTime()}, which a timer reads twice per sample. Every registry takes a clock
 * in its constructor; Spring Boot takes a {@code Clock} bean of the application's own:
 *
 * <pre>{@code
 * MeterRegistry registry = new SimpleMeterRegistry(SimpleConfig.DEFAULT, new VarnokMicrometerClock());
 * }</pre>
 *
 * <p>Where Varnok cannot be used, this clock reads {@link Clock#SYSTEM} instead and says so
 * once, as a warning of Micrometer's own logger (SLF4J where present, else {@code
 * java.util.logging}) under this class's name; it never throws. {@link #readsVarnok()} tells
 * which clock is read.
 */
public final class VarnokMicrometerClock implements Clock {
  private static final long NANOS_PER_MILLI = 1_000_000L;

  /** A clock; all instances read the same clocks. */
  public VarnokMicrometerClock() {}

  /**
   * Whether this clock reads Varnok (true) or, where Varnok cannot be used, {@link
   * Clock#SYSTEM} (false). Decided once per class loader.
   *
   * @return true when the readings are Varnok's
   */
  public static boolean readsVarnok() {
    return VarnokProbe.VARNOK;
  }

  /**
   * Milliseconds since the Unix epoch, rounded down.
   *
   * @return the current time in milliseconds since 1970-01-01T00:00:00Z
   */
  @Override
  public long wallTime() {
    if (VarnokProbe.VARNOK) {
      return Math.floorDiv(VarnokTime.currentTimeNanos(), NANOS_PER_MILLI);
    }
    return Clock.SYSTEM.wallTime();
  }

  /**
   * The processor's counter in nanoseconds, for intervals; arbitrary origin.
   *
   * @return the counter's reading, scaled to nanoseconds
   */
  @Override
  public long monotonicTime() {
    return VarnokProbe.VARNOK ? VarnokTime.nanoTime() : Clock.SYSTEM.monotonicTime();
  }

  /**
   * Names the clock read.
   *
   * @return a description of this clock
   */
  @Override
  public String toString() {
    return "VarnokMicrometerClock[" + (VarnokProbe.VARNOK ? "Varnok" : "Clock.SYSTEM") + "]";
  }
}
