package com.vornix.common.unix.bench;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokClock;
import com.vornix.common.unix.VarnokTime;
import java.time.Clock;
import java.time.Instant;
import java.util.Arrays;
import java.util.List;
import java.util.function.LongSupplier;
import net.openhft.chronicle.core.time.SystemTimeProvider;
import net.openhft.chronicle.core.time.TimeProvider;
import org.agrona.concurrent.EpochNanoClock;
import org.agrona.concurrent.OffsetEpochNanoClock;
import org.agrona.concurrent.SystemEpochNanoClock;

/** The epoch clocks whose error {@link ClockAccuracy} measures, each read as its users read it. */
final class AccuracyProbes {
  /** One clock: read in nanoseconds since the Unix epoch, between two reference reads. */
  static class Probe {
    final String name;
    private final LongSupplier reading;

    Probe(String name, LongSupplier reading) {
      this.name = name;
      this.reading = reading;
    }

    /** Work that belongs outside the bracket, done before each reading. */
    void prepare() {}

    long read() {
      return reading.getAsLong();
    }
  }

  /** Agrona's offset clock made anew before every reading, outside the bracket. */
  private static final class FreshOffsetClock extends Probe {
    private EpochNanoClock fresh = new OffsetEpochNanoClock();

    FreshOffsetClock(String name) {
      super(name, null);
    }

    @Override
    void prepare() {
      fresh = new OffsetEpochNanoClock();
    }

    @Override
    long read() {
      return fresh.nanoTime();
    }
  }

  private AccuracyProbes() {}

  static long nanos(Instant instant) {
    return instant.getEpochSecond() * 1_000_000_000L + instant.getNano();
  }

  static List<Probe> all() {
    Clock varnokClock = VarnokClock.systemUTC();
    EpochNanoClock agronaSystem = new SystemEpochNanoClock();
    EpochNanoClock agronaOffset = new OffsetEpochNanoClock();
    TimeProvider chronicle = SystemTimeProvider.INSTANCE;
    return Arrays.asList(
        new Probe("Varnok.nanoTimeEpoch1() (JNI)", Varnok::nanoTimeEpoch1),
        new Probe("VarnokTime.currentTimeNanos()", VarnokTime::currentTimeNanos),
        new Probe("VarnokClock instant()", () -> nanos(varnokClock.instant())),
        new Probe("Agrona SystemEpochNanoClock", agronaSystem::nanoTime),
        new Probe("Agrona OffsetEpochNanoClock, one instance", agronaOffset::nanoTime),
        // Where the offset lands depends on where in its millisecond currentTimeMillis was
        // when it was sampled: a new instance for every reading shows the whole spread.
        new FreshOffsetClock("Agrona OffsetEpochNanoClock, a new instance per reading"),
        new Probe("Chronicle SystemTimeProvider", chronicle::currentTimeNanos),
        new Probe("System.currentTimeMillis() x 10^6", () -> System.currentTimeMillis() * 1_000_000L));
  }
}
