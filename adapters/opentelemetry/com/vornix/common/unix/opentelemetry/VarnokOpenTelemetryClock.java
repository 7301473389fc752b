package com.vornix.common.unix.opentelemetry;

import com.vornix.common.unix.VarnokTime;
import io.opentelemetry.sdk.common.Clock;

/**
 * The OpenTelemetry SDK's clock, read from Varnok: {@link #now()} from {@link
 * VarnokTime#currentTimeNanos()}, {@link #nanoTime()} from {@link VarnokTime#nanoTime()}.
 * The tracer reads {@code now()} once per root span and times the rest of the trace with
 * {@code nanoTime()}. Give it to each provider's builder:
 *
 * <pre>{@code
 * SdkTracerProvider tracing = SdkTracerProvider.builder()
 *     .setClock(new VarnokOpenTelemetryClock())
 *     .build();
 * }</pre>
 *
 * <p>Where Varnok cannot be used, this clock reads the SDK's default clock instead and says
 * so once, as a {@code java.util.logging} warning (the SDK's own logging) under this class's
 * name; it never throws. {@link #readsVarnok()} tells which clock is read.
 */
public final class VarnokOpenTelemetryClock implements Clock {
  private static final Clock JDK = Clock.getDefault();

  /** A clock; all instances read the same clocks. */
  public VarnokOpenTelemetryClock() {}

  /**
   * Whether this clock reads Varnok (true) or, where Varnok cannot be used, the SDK's
   * default clock (false). Decided once per class loader.
   *
   * @return true when the readings are Varnok's
   */
  public static boolean readsVarnok() {
    return VarnokProbe.VARNOK;
  }

  /**
   * Nanoseconds since the Unix epoch, in multiples of 256 ns.
   *
   * @return the current time in nanoseconds since 1970-01-01T00:00:00Z
   */
  @Override
  public long now() {
    return VarnokProbe.VARNOK ? VarnokTime.currentTimeNanos() : JDK.now();
  }

  /**
   * The same as {@link #now()} either way: Varnok's full precision costs no more than less
   * of it. (The fallback passes the choice on to the SDK's clock.)
   *
   * @param highPrecision whether sub-millisecond precision is wanted
   * @return the current time in nanoseconds since 1970-01-01T00:00:00Z
   */
  @Override
  public long now(boolean highPrecision) {
    return VarnokProbe.VARNOK ? VarnokTime.currentTimeNanos() : JDK.now(highPrecision);
  }

  /**
   * The processor's counter in nanoseconds, for intervals; arbitrary origin.
   *
   * @return the counter's reading, scaled to nanoseconds
   */
  @Override
  public long nanoTime() {
    return VarnokProbe.VARNOK ? VarnokTime.nanoTime() : JDK.nanoTime();
  }

  /**
   * Names the clock read.
   *
   * @return a description of this clock
   */
  @Override
  public String toString() {
    return "VarnokOpenTelemetryClock[" + (VarnokProbe.VARNOK ? "Varnok" : JDK) + "]";
  }
}
