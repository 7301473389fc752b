package com.vornix.common.unix.tests;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokTime;
import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;

/**
 * Several threads read both clocks, through Varnok's JNI methods and through VarnokTime,
 * while others allocate and force collections, so that native calls meet safepoints,
 * moving collections and deoptimisation. A critical downcall holds off safepoints while
 * it runs, so every forced full collection must still complete between the calls. Run with
 * -Xcheck:jni and a small heap: every value must stay within its bounds and the JVM must
 * say nothing.
 *
 * <p>Argument: how long to run, in milliseconds (long enough to cross re-measurements).
 */
public final class VarnokGcStressTest {
  private static final long NANOS_PER_MILLI = 1_000_000L;

  private static final Checks checks = new Checks();
  private static final AtomicBoolean stop = new AtomicBoolean();
  private static final AtomicLong reads = new AtomicLong();
  private static final AtomicLong collections = new AtomicLong();
  private static final AtomicReference<String> firstMiss = new AtomicReference<>();
  /**
   * Keeps the allocations alive for a while, so some reach the old generation: at most
   * 128 arrays of up to 64 KB, 8 MB in all, well inside the test's 64 MB heap.
   */
  private static volatile Object[] retained = new Object[128];

  public static void main(String[] args) throws Exception {
    long millis = args.length > 0 ? Long.parseLong(args[0]) : 4_000;
    checks.group("clocks under allocation and collection", () -> run(millis));
    checks.finish();
  }

  private static void run(long millis) throws Exception {
    List<Thread> threads = new ArrayList<>();
    for (int i = 0; i < 4; i++) {
      boolean jni = i % 2 == 0;
      threads.add(new Thread(() -> read(jni), (jni ? "jni-reader-" : "varnok-time-reader-") + i));
    }
    long counted = gcCount();
    for (int i = 0; i < 2; i++) {
      final int seed = i;
      threads.add(new Thread(() -> allocate(seed), "allocator-" + i));
    }
    threads.add(new Thread(VarnokGcStressTest::collect, "collector"));
    for (Thread t : threads) t.start();
    Thread.sleep(millis);
    stop.set(true);
    for (Thread t : threads) t.join();

    checks.check("every value within its bounds", firstMiss.get() == null, firstMiss.get());
    checks.check("the readers ran", reads.get() > 0, "no read");
    checks.check("collections ran meanwhile", collections.get() > 0, "no collection");
    long seen = gcCount() - counted;
    checks.check("the JVM counted every forced collection", seen >= collections.get(),
        seen + " counted, " + collections.get() + " forced");
    System.out.println(reads.get() + " reads, " + collections.get() + " forced collections");
  }

  private static void miss(String what) {
    firstMiss.compareAndSet(null, Thread.currentThread().getName() + ": " + what);
  }

  private static long gcCount() {
    long count = 0;
    for (GarbageCollectorMXBean gc : ManagementFactory.getGarbageCollectorMXBeans()) {
      count += Math.max(0, gc.getCollectionCount());
    }
    return count;
  }

  private static void read(boolean jni) {
    long lastRelative = Long.MIN_VALUE;
    long n = 0;
    while (!stop.get()) {
      long before = System.currentTimeMillis();
      long epoch = jni ? Varnok.nanoTimeEpoch1() : VarnokTime.currentTimeNanos();
      long relative = jni ? Varnok.nanoTimeRelative1() : VarnokTime.nanoTime();
      long after = System.currentTimeMillis();
      // currentTimeMillis truncates; 1 ms of slack either side.
      if (epoch < (before - 1) * NANOS_PER_MILLI || epoch > (after + 2) * NANOS_PER_MILLI) {
        miss("epoch " + epoch + " outside [" + before + ", " + after + "] ms");
      }
      if (epoch % 256 != 0) miss("epoch " + epoch + " not a multiple of 256");
      // The counter may differ a little between cores, never by a millisecond.
      if (n > 0 && relative < lastRelative - NANOS_PER_MILLI) {
        miss("relative clock went back from " + lastRelative + " to " + relative);
      }
      lastRelative = relative;
      n++;
    }
    reads.addAndGet(n);
  }

  private static void allocate(int seed) {
    long x = 0x9E3779B97F4A7C15L * (seed + 1);
    while (!stop.get()) {
      x ^= x << 13;
      x ^= x >>> 7;
      x ^= x << 17;
      int size = (int) ((x >>> 40) & 0x1FFF);
      Object[] keep = retained;
      keep[(int) ((x >>> 20) & (keep.length - 1))] = new long[size];
    }
  }

  private static void collect() {
    while (!stop.get()) {
      System.gc();
      collections.incrementAndGet();
      try {
        Thread.sleep(50);
      } catch (InterruptedException e) {
        return;
      }
    }
  }
}
