package com.vornix.common.unix.tests;

import com.vornix.common.unix.VarnokTime;
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
  /** Readings of an adapter's epoch method against Varnok's, at least and at most. */
  static final long MIN_SAMPLES = 1_000;
  static final long MAX_SAMPLES = 20_000_000;
  /** Millisecond readings that tell Varnok's clock from the JDK's, sought. */
  static final int TELLING = 8;
  /** Readings that a step of Varnok's clock may put outside their bracket. */
  static final int STEPS = 2;

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
    checkNear(checks, what, stamps, before, after);
    boolean grained = Arrays.stream(stamps).allMatch(s -> s % 256 == 0);
    checks.check(what + (varnok ? " are all multiples of 256 ns (Varnok's)"
            : " are not all multiples of 256 ns (the JDK's)"),
        grained == varnok, Arrays.toString(stamps));
  }

  /** Stamps taken between BEFORE and AFTER (the JDK's clock) lie near that span. */
  static void checkNear(Checks checks, String what, long[] stamps, long before, long after) {
    boolean near = Arrays.stream(stamps)
        .allMatch(s -> s >= before - NEAR_NANOS && s <= after + NEAR_NANOS);
    checks.check(what + " lie within 1 ms of Instant.now()", near,
        "between " + before + " and " + after + ": " + Arrays.toString(stamps));
  }

  /** Stamps taken one after another, by a unique clock: strictly increasing. */
  static void checkIncreasing(Checks checks, String what, long[] stamps) {
    boolean increasing = true;
    for (int i = 1; i < stamps.length; i++) increasing &= stamps[i] > stamps[i - 1];
    checks.check(what + " strictly increase", increasing, Arrays.toString(stamps));
  }

  /**
   * One reading of CLOCK, in UNIT (in ns), within 1 ms of Instant.now() read before and
   * after it: a bracket, so that a preemption between the reads cannot fail it.
   */
  static void checkNearNow(Checks checks, String what, long unit, LongSupplier clock) {
    long before = epochNanosNow();
    long reading = clock.getAsLong();
    long after = epochNanosNow();
    long low = Math.floorDiv(before - NEAR_NANOS, unit);
    long high = Math.floorDiv(after + NEAR_NANOS, unit);
    checks.check(what + " is the epoch clock, within 1 ms of Instant.now()",
        low <= reading && reading <= high, reading + " outside " + low + ".." + high);
  }

  /**
   * A unique clock's stamps. With Varnok, each lies strictly between two of {@code
   * VarnokTime.uniqueTimeNanos()}: it is a stamp of that sequence, tested across threads in
   * VarnokUniqueTest (a stamp of any other clock, made unique or not, misses nearly every such
   * bracket). In the fallback, the adapter's own sequence on the JDK's clock, across threads.
   */
  static void checkUnique(Checks checks, boolean varnok, String what, LongSupplier stamp)
      throws InterruptedException {
    if (!varnok) {
      VarnokUniqueTest.acrossThreads(checks, 1, stamp, AdapterSupport::epochNanosNow,
          System::nanoTime);
      return;
    }
    String miss = null;
    for (int i = 0; i < 1000 && miss == null; i++) {
      long before = VarnokTime.uniqueTimeNanos();
      long reading = stamp.getAsLong();
      long after = VarnokTime.uniqueTimeNanos();
      if (reading <= before || reading >= after) {
        miss = reading + " not between " + before + " and " + after;
      }
    }
    checks.check(what + " are stamps of VarnokTime.uniqueTimeNanos()", miss == null, miss);
  }

  /** A method the framework may call for the epoch time, in ns or in ms (its unit in ns). */
  static final class EpochMethod {
    final String name;
    final long unit;
    final LongSupplier read;

    EpochMethod(String name, long unit, LongSupplier read) {
      this.name = name;
      this.unit = unit;
      this.read = read;
    }
  }

  static EpochMethod nanos(String name, LongSupplier read) {
    return new EpochMethod(name, 1, read);
  }

  static EpochMethod millis(String name, LongSupplier read) {
    return new EpochMethod(name, 1_000_000L, read);
  }

  /**
   * Each method reads Varnok's epoch clock: each reading, in its unit, lies between two
   * {@code VarnokTime.currentTimeNanos()} readings taken just before and after, each rounded
   * down to that unit, and a reading in ns is a multiple of 256.
   *
   * <p>The JDK's clock is within microseconds of Varnok's, so a millisecond read from it
   * mostly falls within the bracket too. The readings that tell them apart are those where
   * the two clocks stand on either side of a millisecond's edge: the JDK's, read just before
   * and after, shows one millisecond and Varnok's bracket another. Readings go on until
   * {@value #TELLING} of those were seen. Varnok's clock steps by its correction at the first
   * read of each cycle epoch, about once a second, and a step inside a bracket can put that
   * one reading outside it: up to {@value #STEPS} may be.
   */
  static void checkReadsVarnokEpoch(Checks checks, EpochMethod... methods) {
    for (EpochMethod method : methods) {
      boolean inMillis = method.unit > 1;
      long samples = 0;
      int telling = 0;
      int misses = 0;
      String miss = "";
      while (samples < MIN_SAMPLES || (inMillis && telling < TELLING && samples < MAX_SAMPLES)) {
        long before = VarnokTime.currentTimeNanos();
        long jdkBefore = System.currentTimeMillis();
        long reading = method.read.getAsLong();
        long jdkAfter = System.currentTimeMillis();
        long after = VarnokTime.currentTimeNanos();
        samples++;
        long low = Math.floorDiv(before, method.unit);
        long high = Math.floorDiv(after, method.unit);
        if (inMillis && low == high && jdkBefore == jdkAfter && jdkBefore != low) {
          telling++;
        }
        if (reading < low || reading > high || (!inMillis && reading % 256 != 0)) {
          if (misses++ < 3) {
            miss += " " + reading + " outside " + low + ".." + high + ";";
          }
        }
      }
      String unit = inMillis ? "ms" : "ns, multiples of 256";
      checks.check(method.name + " reads Varnok's epoch clock: " + samples + " readings within"
          + " Varnok's bracket in " + unit + (inMillis ? ", " + telling + " of them where the"
          + " JDK's clock stood in another ms" : ""),
          misses <= STEPS && (!inMillis || telling >= TELLING),
          misses + " outside their bracket:" + miss + " and " + telling + " of the " + TELLING
              + " readings sought where the JDK's clock stood in another ms");
    }
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
