package com.vornix.common.unix.tests;

import com.vornix.common.unix.VarnokClock;
import com.vornix.common.unix.VarnokTime;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.time.Clock;
import java.time.Instant;

/**
 * {@code CounterTrustTest WORDS}: on a host whose kernel does not trust the counter (fake
 * kernel files in a private mount namespace, see counter_trust.sh), VarnokTime is bound to
 * the JDK's clocks with a reason that holds WORDS, reads them, and loads no library for it;
 * VarnokClock reads through it.
 */
public final class CounterTrustTest {
  private static final Checks checks = new Checks();

  public static void main(String[] args) {
    String words = args.length == 1 ? args[0] : "(missing argument: WORDS)";
    String reason = VarnokTime.bindingReason();
    checks.check("binding is JDK (" + reason + ")",
        VarnokTime.binding() == VarnokTime.Binding.JDK, "binding " + VarnokTime.binding());
    checks.check("the reason says the counter is untrusted, and why: " + words,
        reason.startsWith("the counter is untrusted: ") && reason.contains(words), reason);
    checks.group("the JDK's clocks", CounterTrustTest::jdkClocks);
    checks.group("VarnokClock", CounterTrustTest::clock);
    checks.finish();
  }

  /**
   * Each reading lies between two of the JDK's, with no slack: the library's clock, were it
   * read, is off the JDK's by its own error and grain, and could not be, as it is not loaded.
   */
  private static void jdkClocks() throws Exception {
    String epochMiss = null;
    String relativeMiss = null;
    String uniqueMiss = null;
    long lastUnique = Long.MIN_VALUE;
    for (int i = 0; i < 100_000; i++) {
      long e1 = jdkEpochNanos();
      long e = VarnokTime.currentTimeNanos();
      long e2 = jdkEpochNanos();
      long r1 = System.nanoTime();
      long r = VarnokTime.nanoTime();
      long r2 = System.nanoTime();
      if ((e < e1 || e > e2) && epochMiss == null) epochMiss = e + " against " + e1 + ".." + e2;
      // A stamp may lead the clock by the stamps that came before it within the clock's grain.
      long u1 = jdkEpochNanos();
      long u = VarnokTime.uniqueTimeNanos();
      long u2 = jdkEpochNanos();
      if ((u < u1 || u > u2 + 1_000 || u <= lastUnique) && uniqueMiss == null) {
        uniqueMiss = u + " against " + u1 + ".." + u2 + ", after " + lastUnique;
      }
      lastUnique = u;
      if ((r < r1 || r > r2) && relativeMiss == null) {
        relativeMiss = r + " against " + r1 + ".." + r2;
      }
    }
    checks.check("currentTimeNanos() between two readings of Instant.now()", epochMiss == null,
        epochMiss);
    checks.check("nanoTime() between two System.nanoTime()", relativeMiss == null,
        relativeMiss);
    checks.check("uniqueTimeNanos() strictly increasing on the JDK's clock", uniqueMiss == null,
        uniqueMiss);
    String maps = new String(Files.readAllBytes(Paths.get("/proc/self/maps")),
        StandardCharsets.ISO_8859_1);
    checks.check("no library loaded for them", !maps.contains("libvarnok_jni"),
        "libvarnok_jni is mapped");
  }

  private static long jdkEpochNanos() {
    Instant now = Instant.now();
    return now.getEpochSecond() * 1_000_000_000L + now.getNano();
  }

  private static void clock() {
    Clock clock = VarnokClock.systemUTC();
    long before = jdkEpochNanos();
    Instant instant = clock.instant();
    long millis = clock.millis();
    long after = jdkEpochNanos();
    long nanos = instant.getEpochSecond() * 1_000_000_000L + instant.getNano();
    checks.check("instant() and millis() read the JDK's clock",
        before <= nanos && nanos <= after
            && before / 1_000_000L <= millis && millis <= after / 1_000_000L,
        nanos + " and " + millis + " ms against " + before + ".." + after);
  }
}
