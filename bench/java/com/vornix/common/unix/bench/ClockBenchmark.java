package com.vornix.common.unix.bench;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokClock;
import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.time.Clock;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.BrokenBarrierException;
import java.util.concurrent.CyclicBarrier;

/**
 * The cost of one call of each Java clock, per calling thread, measured from Java.
 *
 * <p>The launcher runs several child JVMs (forks) with the same java binary, JVM options,
 * system properties and class path as its own, and aggregates what they report. Each child
 * measures every case with one thread and with several threads at once: warm-up rounds
 * first (so that the loops are compiled by the optimising compiler), then measured rounds.
 * A round calls the clock in batches until its time is up; its figure is the elapsed time
 * over the calls made, averaged over the threads. A child reports the median of its rounds;
 * the launcher reports the median over the forks and their range.
 *
 * <p>Every clock value is added into an accumulator that the loop returns and that ends up
 * in a printed sink, so the compiler cannot drop a call. Each case has its own loop method,
 * so every call site stays monomorphic and no case pays for another's profile.
 *
 * <p>Usage: {@code ClockBenchmark [--forks N] [--warmup N] [--rounds N] [--round-ms N]
 * [--threads 1,2] [--cases name,...]}. {@code --forks 0} measures in this JVM alone.
 */
public final class ClockBenchmark {
  private static final String RESULT = "RESULT";
  private static final String SINK = "SINK";
  /** Calls between two looks at the round's deadline. */
  private static final int BATCH = 1 << 12;

  private enum Case {
    EPOCH("Varnok.nanoTimeEpoch1()"),
    RELATIVE("Varnok.nanoTimeRelative1()"),
    CURRENT_TIME_MILLIS("System.currentTimeMillis()"),
    NANO_TIME("System.nanoTime()"),
    INSTANT_NOW("Instant.now()"),
    CLOCK_INSTANT("VarnokClock instant()"),
    CLOCK_MILLIS("VarnokClock millis()"),
    SYSTEM_UTC_INSTANT("Clock.systemUTC() instant()"),
    SYSTEM_UTC_MILLIS("Clock.systemUTC() millis()"),
    FLOOR("CounterFloor.rdtsc() (JNI floor)");

    final String label;

    Case(String label) {
      this.label = label;
    }
  }

  // Constants, as an application would keep its clock: the JIT knows each one's class.
  private static final Clock VARNOK_CLOCK = VarnokClock.systemUTC();
  private static final Clock SYSTEM_UTC = Clock.systemUTC();

  private ClockBenchmark() {}

  // --- The measured loops: one per case, each returning what it read. -------------------
  // Written out once per case on purpose: a shared loop over a functional interface would
  // make its call site megamorphic, and measure an interface call besides the clock.

  private static long epochLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      acc += Varnok.nanoTimeEpoch1();
    }
    return acc;
  }

  private static long relativeLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      acc += Varnok.nanoTimeRelative1();
    }
    return acc;
  }

  private static long currentTimeMillisLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      acc += System.currentTimeMillis();
    }
    return acc;
  }

  private static long nanoTimeLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      acc += System.nanoTime();
    }
    return acc;
  }

  private static long instantNowLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      Instant now = Instant.now();
      acc += now.getEpochSecond() + now.getNano();
    }
    return acc;
  }

  private static long clockInstantLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      Instant now = VARNOK_CLOCK.instant();
      acc += now.getEpochSecond() + now.getNano();
    }
    return acc;
  }

  private static long clockMillisLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      acc += VARNOK_CLOCK.millis();
    }
    return acc;
  }

  private static long systemUtcInstantLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      Instant now = SYSTEM_UTC.instant();
      acc += now.getEpochSecond() + now.getNano();
    }
    return acc;
  }

  private static long systemUtcMillisLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      acc += SYSTEM_UTC.millis();
    }
    return acc;
  }

  private static long floorLoop(int n) {
    long acc = 0;
    for (int i = 0; i < n; i++) {
      acc += CounterFloor.rdtsc();
    }
    return acc;
  }

  private static long batch(Case c, int n) {
    switch (c) {
      case EPOCH:
        return epochLoop(n);
      case RELATIVE:
        return relativeLoop(n);
      case CURRENT_TIME_MILLIS:
        return currentTimeMillisLoop(n);
      case NANO_TIME:
        return nanoTimeLoop(n);
      case INSTANT_NOW:
        return instantNowLoop(n);
      case CLOCK_INSTANT:
        return clockInstantLoop(n);
      case CLOCK_MILLIS:
        return clockMillisLoop(n);
      case SYSTEM_UTC_INSTANT:
        return systemUtcInstantLoop(n);
      case SYSTEM_UTC_MILLIS:
        return systemUtcMillisLoop(n);
      case FLOOR:
        return floorLoop(n);
    }
    throw new AssertionError(c);
  }

  // --- Options. ----------------------------------------------------------------------------

  private static final class Options {
    int forks = 4;
    int warmup = 5;
    int rounds = 10;
    int roundMs = 100;
    int[] threads = {1, 2};
    List<Case> cases = new ArrayList<>(Arrays.asList(Case.values()));
    int child = -1; // the fork's index in a child JVM; -1 in the launcher

    static Options parse(String[] args) {
      Options o = new Options();
      for (int i = 0; i < args.length; i++) {
        String arg = args[i];
        if (arg.equals("--help")) {
          usage(null);
        }
        if (i + 1 >= args.length) {
          usage("missing value after " + arg);
        }
        String value = args[++i];
        switch (arg) {
          case "--forks":
            o.forks = parseInt(arg, value, 0);
            break;
          case "--warmup":
            o.warmup = parseInt(arg, value, 0);
            break;
          case "--rounds":
            o.rounds = parseInt(arg, value, 1);
            break;
          case "--round-ms":
            o.roundMs = parseInt(arg, value, 1);
            break;
          case "--threads":
            String[] parts = value.split(",");
            o.threads = new int[parts.length];
            for (int k = 0; k < parts.length; k++) {
              o.threads[k] = parseInt(arg, parts[k], 1);
            }
            break;
          case "--cases":
            o.cases.clear();
            for (String name : value.split(",")) {
              try {
                o.cases.add(Case.valueOf(name.trim().toUpperCase(Locale.ROOT)));
              } catch (IllegalArgumentException e) {
                usage("unknown case " + name + "; cases: " + Arrays.toString(Case.values()));
              }
            }
            break;
          case "--child":
            o.child = parseInt(arg, value, 0);
            break;
          default:
            usage("unknown option " + arg);
        }
      }
      return o;
    }

    /** The options a child needs, without --forks and --child. */
    List<String> childArgs() {
      List<String> a = new ArrayList<>();
      a.add("--warmup");
      a.add(Integer.toString(warmup));
      a.add("--rounds");
      a.add(Integer.toString(rounds));
      a.add("--round-ms");
      a.add(Integer.toString(roundMs));
      StringBuilder t = new StringBuilder();
      for (int n : threads) {
        t.append(t.length() == 0 ? "" : ",").append(n);
      }
      a.add("--threads");
      a.add(t.toString());
      StringBuilder c = new StringBuilder();
      for (Case k : cases) {
        c.append(c.length() == 0 ? "" : ",").append(k.name());
      }
      a.add("--cases");
      a.add(c.toString());
      return a;
    }

    private static int parseInt(String option, String value, int min) {
      try {
        int n = Integer.parseInt(value.trim());
        if (n >= min) {
          return n;
        }
      } catch (NumberFormatException e) {
        // reported below
      }
      usage(option + " needs an integer of at least " + min + ", not " + value);
      return min; // not reached
    }

    private static void usage(String error) {
      if (error != null) {
        System.err.println("ClockBenchmark: " + error);
      }
      System.err.println(
          "usage: ClockBenchmark [--forks N] [--warmup N] [--rounds N] [--round-ms N]"
              + " [--threads 1,2] [--cases EPOCH,RELATIVE,CURRENT_TIME_MILLIS,NANO_TIME,"
              + "INSTANT_NOW,CLOCK_INSTANT,CLOCK_MILLIS,SYSTEM_UTC_INSTANT,SYSTEM_UTC_MILLIS,"
              + "FLOOR]");
      System.exit(error == null ? 0 : 2);
    }
  }

  // --- Measuring, in one JVM. -------------------------------------------------------------

  private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

  private static long sink;

  /**
   * One round on {@code threads} threads at once. Returns each thread's CPU time per call and
   * elapsed time per call, each averaged over the threads. On a quiet machine the two agree;
   * where they differ, the thread waited for a processor, and the CPU time is what the calls
   * cost.
   */
  private static double[] round(Case c, int threads, long roundNs) throws InterruptedException {
    CyclicBarrier start = new CyclicBarrier(threads);
    double[] cpuPerCall = new double[threads];
    double[] wallPerCall = new double[threads];
    long[] acc = new long[threads];
    Throwable[] failure = new Throwable[1];
    Thread[] workers = new Thread[threads];
    for (int t = 0; t < threads; t++) {
      final int id = t;
      workers[t] =
          new Thread(
              () -> {
                try {
                  start.await();
                } catch (InterruptedException | BrokenBarrierException e) {
                  synchronized (failure) {
                    failure[0] = e;
                  }
                  return;
                }
                long sum = 0;
                long calls = 0;
                long cpuBegin = THREADS.getCurrentThreadCpuTime();
                long begin = System.nanoTime();
                long deadline = begin + roundNs;
                long now;
                do {
                  sum += batch(c, BATCH);
                  calls += BATCH;
                  now = System.nanoTime();
                } while (now < deadline);
                long cpuEnd = THREADS.getCurrentThreadCpuTime();
                cpuPerCall[id] = (double) (cpuEnd - cpuBegin) / calls;
                wallPerCall[id] = (double) (now - begin) / calls;
                acc[id] = sum;
              },
              "clock-benchmark-" + t);
      workers[t].start();
    }
    for (Thread w : workers) {
      w.join();
    }
    if (failure[0] != null) {
      throw new IllegalStateException("a worker failed", failure[0]);
    }
    double cpu = 0;
    double wall = 0;
    for (int t = 0; t < threads; t++) {
      cpu += cpuPerCall[t];
      wall += wallPerCall[t];
      sink += acc[t];
    }
    return new double[] {cpu / threads, wall / threads};
  }

  private static double median(double[] values) {
    double[] v = values.clone();
    Arrays.sort(v);
    int n = v.length;
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  /** Checks, before any timing, that each clock answers something sensible. */
  private static void checkClocks() {
    if (!THREADS.isCurrentThreadCpuTimeSupported() || !THREADS.isThreadCpuTimeEnabled()) {
      throw new IllegalStateException("this JVM cannot measure a thread's CPU time");
    }
    long millis = System.currentTimeMillis();
    long epoch = Varnok.nanoTimeEpoch1();
    if (Math.abs(epoch / 1_000_000 - millis) > 1_000) {
      throw new IllegalStateException(
          "nanoTimeEpoch1 " + epoch + " ns is far from currentTimeMillis " + millis + " ms");
    }
    if (CounterFloor.rdtsc() == 0) {
      throw new IllegalStateException("the floor's counter reads zero");
    }
  }

  /** Where a fork's per-case medians go. */
  private interface Results {
    void add(Case c, int threads, double cpuNsPerCall, double wallNsPerCall);
  }

  /** Measures every case and thread count; returns the sink of everything read. */
  private static long measure(Options o, int forkIndex, Results results)
      throws InterruptedException {
    checkClocks();
    long roundNs = o.roundMs * 1_000_000L;
    // Each fork starts at another case, so that no case is always measured first (in
    // the coldest JVM) or last.
    int n = o.cases.size();
    for (int threads : o.threads) {
      for (int k = 0; k < n; k++) {
        Case c = o.cases.get((k + forkIndex) % n);
        for (int r = 0; r < o.warmup; r++) {
          round(c, threads, roundNs);
        }
        double[] cpu = new double[o.rounds];
        double[] wall = new double[o.rounds];
        for (int r = 0; r < o.rounds; r++) {
          double[] figures = round(c, threads, roundNs);
          cpu[r] = figures[0];
          wall[r] = figures[1];
        }
        results.add(c, threads, median(cpu), median(wall));
      }
    }
    return sink;
  }

  private static void runChild(Options o) throws InterruptedException {
    long s =
        measure(
            o,
            o.child,
            (c, threads, cpu, wall) ->
                System.out.printf(
                    Locale.ROOT, "%s %s %d %.4f %.4f%n", RESULT, c.name(), threads, cpu, wall));
    System.out.printf(Locale.ROOT, "%s %016x%n", SINK, s);
    System.out.flush();
  }

  // --- The launcher. ----------------------------------------------------------------------

  /** Each case's figures from every fork: CPU and elapsed ns per call. */
  private static final class Aggregate implements Results {
    final Map<String, List<Double>> cpu = new LinkedHashMap<>();
    final Map<String, List<Double>> wall = new LinkedHashMap<>();

    static String key(Case c, int threads) {
      return c.name() + " " + threads;
    }

    @Override
    public void add(Case c, int threads, double cpuNs, double wallNs) {
      cpu.computeIfAbsent(key(c, threads), k -> new ArrayList<>()).add(cpuNs);
      wall.computeIfAbsent(key(c, threads), k -> new ArrayList<>()).add(wallNs);
    }

    static Double median(Map<String, List<Double>> m, Case c, int threads) {
      List<Double> v = m.get(key(c, threads));
      return v == null ? null : ClockBenchmark.median(toArray(v));
    }

    static String range(Map<String, List<Double>> m, Case c, int threads) {
      double[] v = toArray(m.get(key(c, threads)));
      Arrays.sort(v);
      return fmt(v[0]) + ".." + fmt(v[v.length - 1]);
    }

    private static double[] toArray(List<Double> v) {
      return v.stream().mapToDouble(Double::doubleValue).toArray();
    }
  }

  private static String javaExecutable() {
    return ProcessHandle.current()
        .info()
        .command()
        .orElse(
            System.getProperty("java.home") + File.separator + "bin" + File.separator + "java");
  }

  /** Runs one child JVM and adds its results to {@code results}; returns its sink. */
  private static String runFork(Options o, int index, Aggregate results)
      throws IOException, InterruptedException {
    List<String> command = new ArrayList<>();
    command.add(javaExecutable());
    // The JVM options and -D properties this JVM was started with: the libraries' paths
    // among them.
    command.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
    command.add("-cp");
    command.add(System.getProperty("java.class.path"));
    command.add(ClockBenchmark.class.getName());
    command.add("--child");
    command.add(Integer.toString(index));
    command.addAll(o.childArgs());

    Process p =
        new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
    String sinkValue = null;
    try (BufferedReader out =
        new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8))) {
      for (String line; (line = out.readLine()) != null; ) {
        String[] f = line.trim().split("\\s+");
        if (f.length == 5 && f[0].equals(RESULT)) {
          results.add(
              Case.valueOf(f[1]),
              Integer.parseInt(f[2]),
              Double.parseDouble(f[3]),
              Double.parseDouble(f[4]));
        } else if (f.length == 2 && f[0].equals(SINK)) {
          sinkValue = f[1];
        } else {
          System.out.println(line);
        }
      }
    }
    int status = p.waitFor();
    if (status != 0 || sinkValue == null) {
      throw new IllegalStateException("fork " + index + " failed with status " + status);
    }
    return sinkValue;
  }

  private static String fmt(double v) {
    return String.format(Locale.ROOT, "%.2f", v);
  }

  private static String ratio(Double a, Double b) {
    if (a == null || b == null || b <= 0) {
      return "-";
    }
    return String.format(Locale.ROOT, "%.2fx", a / b);
  }

  private static void printTable(Options o, Aggregate results) {
    System.out.println();
    System.out.printf(
        Locale.ROOT,
        "Cost of one call per calling thread, ns: median over %d fork(s) of each fork's median"
            + " of %d rounds of %d ms (after %d warm-up rounds)%n",
        Math.max(o.forks, 1), o.rounds, o.roundMs, o.warmup);
    String format = "%-34s %7s %9s %15s %9s %9s %9s %9s%n";
    System.out.printf(
        Locale.ROOT, format, "case", "threads", "cpu ns", "fork range", "wall ns", "/epoch",
        "/floor", "/1 thread");
    for (int threads : o.threads) {
      Double epoch = Aggregate.median(results.cpu, Case.EPOCH, threads);
      Double floor = Aggregate.median(results.cpu, Case.FLOOR, threads);
      for (Case c : o.cases) {
        Double v = Aggregate.median(results.cpu, c, threads);
        if (v == null) {
          continue;
        }
        System.out.printf(
            Locale.ROOT,
            format,
            c.label,
            threads,
            fmt(v),
            Aggregate.range(results.cpu, c, threads),
            fmt(Aggregate.median(results.wall, c, threads)),
            ratio(v, epoch),
            ratio(v, floor),
            threads == 1 ? "" : ratio(v, Aggregate.median(results.cpu, c, 1)));
      }
    }
    System.out.println(
        "cpu ns: the calling thread's CPU time per call; wall ns: elapsed time per call"
            + " (higher when the thread waited for a processor).");
    System.out.println(
        "/epoch, /floor: cpu ns over Varnok.nanoTimeEpoch1()'s and over the JNI counter"
            + " floor's; /1 thread: over the same case's cpu ns with one thread.");
  }

  public static void main(String[] args) throws Exception {
    Options o = Options.parse(args);
    if (o.child >= 0) {
      runChild(o);
      return;
    }
    Aggregate results = new Aggregate();
    if (o.forks == 0) {
      // In this JVM: handy under a debugger, but one JVM's compilation decisions only.
      System.out.printf(Locale.ROOT, "sink: %016x%n", measure(o, 0, results));
    } else {
      StringBuilder sinks = new StringBuilder();
      for (int i = 0; i < o.forks; i++) {
        long t0 = System.nanoTime();
        String s = runFork(o, i, results);
        sinks.append(sinks.length() == 0 ? "" : " ").append(s);
        System.out.printf(
            Locale.ROOT, "fork %d/%d done in %.1f s%n", i + 1, o.forks,
            (System.nanoTime() - t0) / 1e9);
      }
      // Printed so that what every loop read is visibly used.
      System.out.println("sinks: " + sinks);
    }
    printTable(o, results);
  }
}
