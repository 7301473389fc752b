package com.vornix.common.unix.opentelemetry;

import com.vornix.common.unix.VarnokTime;
import io.opentelemetry.sdk.common.Clock;

/**
 * The OpenTelemetry SDK's clock whose {@link #now()} never goes back and never repeats: each
 * reading is {@link VarnokTime#uniqueTimeNanos()}, later than every reading before it on any
 * thread, so a root span, log record or metric stamped after another is stamped later.
 * {@link #nanoTime()} is Varnok's relative clock, as {@link VarnokOpenTelemetryClock}'s:
 *
 * <pre>{@code
 * SdkTracerProvider tracing = SdkTracerProvider.builder()
 *     .setClock(new VarnokUniqueOpenTelemetryClock())
 *     .build();
 * }</pre>
 *
 * <p>The tracer reads {@code now()} once per root span, and times the rest of the trace,
 * child spans and ends, from there with {@code nanoTime()}: those are not stamps of the
 * sequence, and a span's end may pass the next root span's start by what the two clocks
 * differ over the span (the epoch clock's corrections, about a microsecond).
 *
 * <p>Where Varnok cannot be used, it reads the SDK's default clock, keeps {@code now()}
 * unique and increasing all the same, and says once, as a {@code java.util.logging} warning
 * under this package, that it falls back; it never throws.
 */
public final class VarnokUniqueOpenTelemetryClock implements Clock {
  private static final Clock JDK = Clock.getDefault();

  /** A clock; all instances share one sequence of stamps. */
  public VarnokUniqueOpenTelemetryClock() {}

  /**
   * Whether the readings are Varnok's (true) or, where Varnok cannot be used, the SDK's
   * default clock's (false). Decided once per class loader.
   *
   * @return true when the readings are Varnok's
   */
  public static boolean readsVarnok() {
    return VarnokProbe.VARNOK;
  }

  /**
   * A unique stamp in nanoseconds since the Unix epoch.
   *
   * @return a stamp later than every one this clock gave before
   */
  @Override
  public long now() {
    return VarnokProbe.VARNOK ? VarnokTime.uniqueTimeNanos() : FallbackSequence.next(JDK.now());
  }

  /**
   * The same as {@link #now()} either way: a stamp of the same sequence.
   *
   * @param highPrecision whether sub-millisecond precision is wanted
   * @return a stamp later than every one this clock gave before
   */
  @Override
  public long now(boolean highPrecision) {
    return VarnokProbe.VARNOK ? VarnokTime.uniqueTimeNanos()
        : FallbackSequence.next(JDK.now(highPrecision));
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
    return "VarnokUniqueOpenTelemetryClock[" + (VarnokProbe.VARNOK ? "Varnok" : JDK) + "]";
  }
}
