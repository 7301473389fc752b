package com.vornix.common.unix.bench;

import com.vornix.common.unix.VarnokTime;
import com.vornix.common.unix.bench.AccuracyProbes.Probe;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;

/**
 * How far each epoch clock of the benchmarks is from {@link Instant#now()}, by closest pairs:
 * every reading is bracketed by two reference reads, brackets wider than {@code --wide-ns}
 * (a preemption, a safepoint) are dropped, and the error of a kept reading is the reading
 * minus the bracket's midpoint, known to within half the bracket. The clocks take turns, one
 * reading each per round, so that all of them see the same stretch of time.
 *
 * <p>Usage: {@code ClockAccuracy [--seconds S] [--warmup-seconds S] [--interval-us N]
 * [--wide-ns N] [--json FILE]}. The table goes to standard output, the figures also to the
 * JSON file when one is named.
 */
public final class ClockAccuracy {
  private double seconds = 10;
  private double warmupSeconds = 1;
  private long intervalNs = 20_000;
  private long wideNs = 1_000;
  private String json;

  private ClockAccuracy() {}

  /** The kept errors of one clock, in half nanoseconds, and how many readings were dropped. */
  private static final class Errors {
    long[] error2 = new long[1 << 16];
    long[] bracket = new long[1 << 16];
    int kept;
    long dropped;

    void add(long e2, long width) {
      if (kept == error2.length) {
        error2 = Arrays.copyOf(error2, kept * 2);
        bracket = Arrays.copyOf(bracket, kept * 2);
      }
      error2[kept] = e2;
      bracket[kept++] = width;
    }
  }

  public static void main(String[] args) throws IOException {
    ClockAccuracy run = new ClockAccuracy();
    if (!run.parse(args)) {
      System.err.println("usage: ClockAccuracy [--seconds S] [--warmup-seconds S]"
          + " [--interval-us N] [--wide-ns N] [--json FILE]");
      System.exit(2);
    }
    List<Probe> probes = AccuracyProbes.all();
    run.sample(probes, run.warmupSeconds);
    List<Errors> errors = run.sample(probes, run.seconds);
    run.report(probes, errors);
  }

  private boolean parse(String[] args) {
    for (int i = 0; i + 1 < args.length; i += 2) {
      String value = args[i + 1];
      try {
        switch (args[i]) {
          case "--seconds": seconds = within(Double.parseDouble(value), 0.001, 86400); break;
          case "--warmup-seconds": warmupSeconds = within(Double.parseDouble(value), 0, 3600); break;
          case "--interval-us": intervalNs = 1000 * (long) within(Long.parseLong(value), 0, 1e7); break;
          case "--wide-ns": wideNs = (long) within(Long.parseLong(value), 1, 1e12); break;
          case "--json": json = value; break;
          default: return false;
        }
      } catch (IllegalArgumentException e) {
        return false;
      }
    }
    return args.length % 2 == 0;
  }

  private static double within(double value, double low, double high) {
    if (!(value >= low && value <= high)) {
      throw new IllegalArgumentException(value + " outside [" + low + ", " + high + "]");
    }
    return value;
  }

  private List<Errors> sample(List<Probe> probes, double forSeconds) {
    List<Errors> errors = new ArrayList<>();
    for (int i = 0; i < probes.size(); i++) {
      errors.add(new Errors());
    }
    long end = System.nanoTime() + (long) (forSeconds * 1e9);
    for (long next = System.nanoTime(); next < end; next += intervalNs) {
      while (System.nanoTime() < next) {
        Thread.onSpinWait();
      }
      for (int i = 0; i < probes.size(); i++) {
        Probe probe = probes.get(i);
        probe.prepare();
        long before = AccuracyProbes.nanos(Instant.now());
        long reading = probe.read();
        long after = AccuracyProbes.nanos(Instant.now());
        Errors e = errors.get(i);
        if (after - before > wideNs) {
          e.dropped++;
        } else {
          e.add(2 * reading - (before + after), after - before);
        }
      }
    }
    return errors;
  }

  private void report(List<Probe> probes, List<Errors> errors) throws IOException {
    PrintStream out = System.out;
    out.printf(Locale.ROOT, "Error against Instant.now() over %.1f s, Java %s (%s), VarnokTime binding %s,"
        + " brackets up to %d ns%n%-58s %9s %9s %9s %11s %11s %11s%n", seconds, System.getProperty("java.version"),
        System.getProperty("java.vm.name"), VarnokTime.binding(), wideNs, "clock", "kept", "dropped", "bracket",
        "mean us", "p99 |e| us", "max |e| us");
    StringBuilder rows = new StringBuilder();
    for (int i = 0; i < probes.size(); i++) {
      Errors e = errors.get(i);
      long[] abs = new long[e.kept];
      long sum = 0;
      for (int k = 0; k < e.kept; k++) {
        abs[k] = Math.abs(e.error2[k]);
        sum += e.error2[k];
      }
      Arrays.sort(abs);
      long[] widths = Arrays.copyOf(e.bracket, e.kept);
      Arrays.sort(widths);
      double mean = e.kept == 0 ? Double.NaN : sum / 2e3 / e.kept;
      double p99 = percentile(abs, 0.99) / 2e3;
      double max = e.kept == 0 ? Double.NaN : abs[e.kept - 1] / 2e3;
      long bracket = e.kept == 0 ? -1 : widths[e.kept / 2];
      out.printf(Locale.ROOT, "%-58s %9d %9d %9d %11.3f %11.3f %11.3f%n", probes.get(i).name,
          e.kept, e.dropped, bracket, mean, p99, max);
      rows.append(String.format(Locale.ROOT, "%s    {\"clock\": \"%s\", \"kept\": %d, \"dropped\": %d,"
          + " \"medianBracketNs\": %d, \"meanErrorUs\": %s, \"p99AbsErrorUs\": %s,"
          + " \"maxAbsErrorUs\": %s}", i == 0 ? "" : ",\n", probes.get(i).name, e.kept,
          e.dropped, bracket, number(mean), number(p99), number(max)));
    }
    if (json != null) {
      String text = String.format(Locale.ROOT, "{\n  \"javaVersion\": \"%s\",\n  \"vmName\": \"%s\","
          + "\n  \"binding\": \"%s\",\n  \"seconds\": %s,\n  \"intervalUs\": %d,\n  \"wideNs\": %d,\n  \"clocks\": [\n%s\n  ]\n}\n",
          System.getProperty("java.version"), System.getProperty("java.vm.name"),
          VarnokTime.binding(), number(seconds),
          intervalNs / 1000, wideNs, rows);
      Files.write(Paths.get(json), text.getBytes(StandardCharsets.UTF_8));
    }
  }

  /** The smallest value that at least the fraction q of a sorted array is at or below. */
  private static double percentile(long[] sorted, double q) {
    if (sorted.length == 0) {
      return Double.NaN;
    }
    int index = (int) Math.ceil(q * sorted.length) - 1;
    return sorted[Math.max(0, Math.min(sorted.length - 1, index))];
  }

  /** A JSON number, or null where there is none. */
  private static String number(double value) {
    return Double.isNaN(value) ? "null" : String.format(Locale.ROOT, "%.4f", value);
  }
}
