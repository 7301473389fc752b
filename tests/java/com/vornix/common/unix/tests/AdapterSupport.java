package com.vornix.common.unix.tests;

import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.function.LongSupplier;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

/**
 * What the adapters' tests share. Each test runs as {@code varnok}, where the adapter must
 * read Varnok's clocks, or as {@code fallback}, where Varnok cannot be used and the adapter
 * must read the framework's default clock and say so once. A test never touches Varnok's
 * classes in the fallback, where they may be missing from the class path.
 */
final class AdapterSupport {
  /** How far an epoch stamp may be from the JDK's clock: Varnok's corrections are µs. */
  static final long NEAR_NANOS = 1_000_000L;

  /** The reports of java.util.logging under the adapters' packages. */
  static final class JulNotices extends Handler {
    // Kept: a logger held by nobody may be collected, and its handler with it.
    private final Logger logger = Logger.getLogger("com.vornix.common.unix");
    final List<String> messages = new ArrayList<>();

    JulNotices() {
      logger.addHandler(this);
    }

    @Override
    public synchronized void publish(LogRecord record) {
      if (record.getLevel().intValue() >= Level.WARNING.intValue()) {
        messages.add(record.getMessage());
      }
    }

    @Override
    public void flush() {}

    @Override
    public void close() {}
  }

  private AdapterSupport() {}

  /** True for {@code varnok}, false for {@code fallback}; anything else is a usage error. */
  static boolean expectsVarnok(String[] args) {
    if (args.length == 1 && (args[0].equals("varnok") || args[0].equals("fallback"))) {
      return args[0].equals("varnok");
    }
    throw new IllegalArgumentException("usage: varnok|fallback; got " + Arrays.toString(args));
  }

  static long epochNanosNow() {
    Instant now = Instant.now();
    return now.getEpochSecond() * 1_000_000_000L + now.getNano();
  }

  /**
   * Stamps taken between BEFORE and AFTER (the JDK's clock): each near that span, and all
   * in Varnok's 256 ns grain, or, from the JDK's clock, not all of them (its grain is 1 ns
   * or 1 µs, so a dozen stamps all on the grain by chance is out of the question).
   */
  static void checkStamps(Checks checks, String what, boolean varnok, long[] stamps,
      long before, long after) {
    boolean near = Arrays.stream(stamps)
        .allMatch(s -> s >= before - NEAR_NANOS && s <= after + NEAR_NANOS);
    checks.check(what + " lie within 1 ms of Instant.now()", near,
        "between " + before + " and " + after + ": " + Arrays.toString(stamps));
    boolean grained = Arrays.stream(stamps).allMatch(s -> s % 256 == 0);
    checks.check(what + (varnok ? " are all multiples of 256 ns (Varnok's)"
            : " are not all multiples of 256 ns (the JDK's)"),
        grained == varnok, Arrays.toString(stamps));
  }

  /** A relative clock reads SOURCE: its reading lies between two of SOURCE's. */
  static void checkRelative(Checks checks, String what, LongSupplier clock, LongSupplier source) {
    long before = source.getAsLong();
    long reading = clock.getAsLong();
    long after = source.getAsLong();
    checks.check(what + " reads the expected relative clock", before <= reading && reading <= after,
        reading + " not between " + before + " and " + after);
  }

  /** No notice where Varnok is read; where it is not, one that gives the reason. */
  static void checkNotices(Checks checks, boolean varnok, List<String> notices) {
    if (varnok) {
      checks.check("no fallback notice", notices.isEmpty(), notices.toString());
    } else {
      checks.check("one fallback notice, however many clocks were made",
          notices.size() == 1 && notices.get(0).startsWith("Varnok's clock cannot be used"),
          notices.toString());
    }
  }
}
