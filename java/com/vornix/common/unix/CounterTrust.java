package com.vornix.common.unix;

import java.io.BufferedReader;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.time.Clock;
import java.time.Instant;

/**
 * Whether the kernel trusts the processor's counter, decided once, when {@link ClockBinding}
 * is initialised, and the JDK's clocks that {@link VarnokTime} reads where it does not.
 *
 * <p>The kernel checks the counter at boot and keeps checking it against its other clocks;
 * a counter that fails is dropped from the clocksources it offers, and on x86-64 one whose
 * rate follows the core's frequency, or that stops in deep idle states, lacks the {@code
 * constant_tsc} or {@code nonstop_tsc} flag. A clock built on such a counter can be wrong by
 * any amount, without a word, so it is not read: the counter is untrusted where
 *
 * <ul>
 *   <li>on x86-64, {@code tsc} is not among the available clocksources, or the first {@code
 *       flags} line of {@code /proc/cpuinfo} lacks {@code constant_tsc} or {@code
 *       nonstop_tsc};
 *   <li>on aarch64, {@code arch_sys_counter} is not among the available clocksources.
 * </ul>
 *
 * <p>A file that cannot be read (a sandbox without {@code /sys}, say) also makes the counter
 * untrusted. The JDK's clocks are never wrong, only slower, while a counter the kernel may
 * have rejected can be wrong by any amount: a clock that must never mislead its host does
 * not read what it could not check. {@link Varnok}'s natives read the counter whatever this
 * says, for who knows better.
 *
 * <p>varnok_accuracy (tools/accuracy/host.cc) applies the same rules and reports its findings
 * in the same words, but for how it tells why a file could not be read.
 */
final class CounterTrust {
  static final String CLOCKSOURCES =
      "/sys/devices/system/clocksource/clocksource0/available_clocksource";
  static final String CPUINFO = "/proc/cpuinfo";

  /** Null where the kernel trusts the counter; otherwise what it said, or what was unread. */
  static final String DISTRUST =
      distrust(System.getProperty("os.name"), System.getProperty("os.arch"));

  private CounterTrust() {}

  /**
   * Why {@link VarnokTime} reads the JDK's clocks, for {@link VarnokTime#bindingReason()}.
   * The binding property is named when it is set: nothing it says brings the counter back.
   */
  static String reason() {
    String chosen = System.getProperty(VarnokTime.BINDING_PROPERTY);
    return "the counter is untrusted: " + DISTRUST + "; the JDK's clocks are read instead"
        + (chosen == null ? "" : " (-D" + VarnokTime.BINDING_PROPERTY + "=" + chosen
            + " cannot override that)");
  }

  /** Nanoseconds since the Unix epoch from the JDK's wall clock. */
  static long epoch() {
    Instant now = Clock.systemUTC().instant();
    return now.getEpochSecond() * 1_000_000_000L + now.getNano();
  }

  /** The JDK's clock for intervals. */
  static long relative() {
    return System.nanoTime();
  }

  /**
   * The finding, or null where the counter is trusted. On another system or processor the
   * library refuses to load at all, and that error is the one to give: null there too.
   */
  private static String distrust(String os, String arch) {
    if (!"Linux".equals(os)) return null;
    if ("amd64".equals(arch) || "x86_64".equals(arch)) {
      String missing = missingClocksource("tsc");
      return missing != null ? missing : missingFlags();
    }
    return "aarch64".equals(arch) ? missingClocksource("arch_sys_counter") : null;
  }

  private static String missingClocksource(String wanted) {
    String line;
    try (BufferedReader in = open(CLOCKSOURCES)) {
      line = in.readLine();
    } catch (IOException | RuntimeException e) {
      return CLOCKSOURCES + " could not be read (" + e + ")";
    }
    String listed = line == null ? "" : line.trim();
    for (String name : listed.split("\\s+")) {
      if (name.equals(wanted)) return null;
    }
    return wanted + " is not in " + CLOCKSOURCES
        + (listed.isEmpty() ? ", which is empty" : ", which lists " + listed);
  }

  private static String missingFlags() {
    String flags = "";
    try (BufferedReader in = open(CPUINFO)) {
      for (String line = in.readLine(); line != null; line = in.readLine()) {
        int colon = line.indexOf(':');
        if (colon >= 0 && line.substring(0, colon).trim().equals("flags")) {
          flags = " " + line.substring(colon + 1).trim().replaceAll("\\s+", " ") + " ";
          break;
        }
      }
    } catch (IOException | RuntimeException e) {
      return CPUINFO + " could not be read (" + e + ")";
    }
    boolean constant = flags.contains(" constant_tsc ");
    boolean nonstop = flags.contains(" nonstop_tsc ");
    if (constant && nonstop) return null;
    return "the flags in " + CPUINFO + " lack "
        + (constant ? "nonstop_tsc" : nonstop ? "constant_tsc" : "constant_tsc and nonstop_tsc");
  }

  private static BufferedReader open(String file) throws IOException {
    return Files.newBufferedReader(Paths.get(file), StandardCharsets.ISO_8859_1);
  }
}
