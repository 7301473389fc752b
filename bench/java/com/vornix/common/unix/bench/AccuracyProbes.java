package com.vornix.common.unix.bench;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokClock;
import com.vornix.common.unix.VarnokTime;
import java.time.Clock;
import java.time.Instant;
import java.util.Arrays;
import java.util.List;
import net.openhft.chronicle.core.time.SystemTimeProvider;
import net.openhft.chronicle.core.time.TimeProvider;
import org.agrona.concurrent.EpochNanoClock;
import org.agrona.concurrent.OffsetEpochNanoClock;
import org.agrona.concurrent.SystemEpochNanoClock;

/** The epoch clocks whose error {@link ClockAccuracy} measures, each read as its users read it. */
final class AccuracyProbes {
  /** One clock: read in nanoseconds since the Unix epoch, between two reference reads. */
  abstract static class Probe {
    final String name;

    Probe(String name) {
      this.name = name;
    }

    /** Work that belongs outside the bracket, done before each reading. */
    void prepare() {}

    abstract long read();
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
        new Probe("Varnok.nanoTimeEpoch1() (JNI)") {
          @Override
          long read() {
            return Varnok.nanoTimeEpoch1();
          }
        },
        new Probe("VarnokTime.currentTimeNanos()") {
          @Override
          long read() {
            return VarnokTime.currentTimeNanos();
          }
        },
        new Probe("VarnokClock instant()") {
          @Override
          long read() {
            return nanos(varnokClock.instant());
          }
        },
        new Probe("Agrona SystemEpochNanoClock") {
          @Override
          long read() {
            return agronaSystem.nanoTime();
          }
        },
        new Probe("Agrona OffsetEpochNanoClock, one instance") {
          @Override
          long read() {
            return agronaOffset.nanoTime();
          }
        },
        // Where the offset lands depends on where in its millisecond currentTimeMillis was
        // when it was sampled: a new instance for every reading shows the whole spread.
        new Probe("Agrona OffsetEpochNanoClock, a new instance per reading") {
          private EpochNanoClock fresh;

          @Override
          void prepare() {
            fresh = new OffsetEpochNanoClock();
          }

          @Override
          long read() {
            return fresh.nanoTime();
          }
        },
        new Probe("Chronicle SystemTimeProvider") {
          @Override
          long read() {
            return chronicle.currentTimeNanos();
          }
        },
        new Probe("System.currentTimeMillis() x 10^6") {
          @Override
          long read() {
            return System.currentTimeMillis() * 1_000_000L;
          }
        });
  }
}
