package com.vornix.common.unix.tests;

import com.sun.management.ThreadMXBean;
import com.vornix.common.unix.log4j2.VarnokPreciseClock;
import java.lang.management.ManagementFactory;
import java.time.Instant;
import java.util.ArrayList;
import java.util.List;
import org.apache.logging.log4j.Level;
import org.apache.logging.log4j.LogManager;
import org.apache.logging.log4j.Logger;
import org.apache.logging.log4j.core.LogEvent;
import org.apache.logging.log4j.core.LoggerContext;
import org.apache.logging.log4j.core.appender.AbstractAppender;
import org.apache.logging.log4j.core.config.Configuration;
import org.apache.logging.log4j.core.config.LoggerConfig;
import org.apache.logging.log4j.core.config.Property;
import org.apache.logging.log4j.core.time.MutableInstant;
import org.apache.logging.log4j.core.util.ClockFactory;
import org.apache.logging.log4j.status.StatusData;
import org.apache.logging.log4j.status.StatusListener;
import org.apache.logging.log4j.status.StatusLogger;

/**
 * Log4j 2 with {@code -Dlog4j2.clock=com.vornix.common.unix.log4j2.VarnokPreciseClock}, as a
 * user configures it: {@code Log4jAdapterTest varnok|fallback} (see AdapterSupport). Real
 * events are stamped by the clock; with Varnok, a log call allocates nothing.
 */
public final class Log4jAdapterTest {
  private static final Checks checks = new Checks();
  private static final int EVENTS = 16;

  /** An appender that keeps each event's instant, allocating nothing. */
  private static final class Stamps extends AbstractAppender {
    final long[] nanos = new long[EVENTS];
    int count;

    Stamps() {
      super("stamps", null, null, true, Property.EMPTY_ARRAY);
    }

    @Override
    public void append(LogEvent event) {
      org.apache.logging.log4j.core.time.Instant instant = event.getInstant();
      nanos[count++ % EVENTS] = instant.getEpochSecond() * 1_000_000_000L
          + instant.getNanoOfSecond();
    }
  }

  /** The status logger's warnings about the clock. */
  private static final class Notices implements StatusListener {
    final List<String> messages = new ArrayList<>();

    @Override
    public void log(StatusData data) {
      String message = data.getMessage().getFormattedMessage();
      if (data.getLevel().isMoreSpecificThan(Level.WARN) && message.contains("Varnok")) {
        messages.add(message);
      }
    }

    @Override
    public Level getStatusLevel() {
      return Level.WARN;
    }

    @Override
    public void close() {}
  }

  public static void main(String[] args) {
    boolean varnok = AdapterSupport.expectsVarnok(args);
    Notices notices = new Notices();
    StatusLogger.getLogger().registerListener(notices);
    Stamps stamps = new Stamps();
    Logger logger = configure(stamps);

    checks.group("the clock log4j2.clock names", () -> {
      checks.check("Log4j made a VarnokPreciseClock",
          ClockFactory.getClock() instanceof VarnokPreciseClock, "" + ClockFactory.getClock());
      checks.check("it reads " + (varnok ? "Varnok" : "Log4j's SystemClock"),
          VarnokPreciseClock.readsVarnok() == varnok, "readsVarnok() is not " + varnok);
    });
    checks.group("events' instants", () -> {
      long before = AdapterSupport.epochNanosNow();
      for (int i = 0; i < EVENTS; i++) logger.info("stamped");
      long after = AdapterSupport.epochNanosNow();
      checks.check(EVENTS + " events reached the appender", stamps.count == EVENTS,
          stamps.count + " did");
      AdapterSupport.checkStamps(checks, "their instants", varnok, stamps.nanos, before, after);
      long millis = new VarnokPreciseClock().currentTimeMillis();
      checks.check("currentTimeMillis() is the same clock in ms",
          Math.abs(millis * 1_000_000L - AdapterSupport.epochNanosNow()) < 2_000_000L,
          millis + " ms");
    });
    if (varnok) {
      VarnokPreciseClock clock = new VarnokPreciseClock();
      MutableInstant instant = new MutableInstant();
      checks.group("each method against Varnok's readings", () ->
          AdapterSupport.checkReadsVarnokEpoch(checks,
              AdapterSupport.nanos("init(MutableInstant)", () -> {
                clock.init(instant);
                return instant.getEpochSecond() * 1_000_000_000L + instant.getNanoOfSecond();
              }),
              AdapterSupport.millis("currentTimeMillis()", clock::currentTimeMillis)));
      checks.group("allocation", () -> allocation(logger));
    }
    checks.group("the fallback notice", () -> {
      new VarnokPreciseClock().init(new MutableInstant());
      AdapterSupport.checkNotices(checks, varnok, notices.messages);
    });
    checks.finish();
  }

  /** The root logger at INFO, its only appender STAMPS. */
  private static Logger configure(Stamps stamps) {
    LoggerContext context = (LoggerContext) LogManager.getContext(false);
    Configuration config = context.getConfiguration();
    stamps.start();
    config.addAppender(stamps);
    LoggerConfig root = config.getRootLogger();
    for (String name : new ArrayList<>(root.getAppenders().keySet())) root.removeAppender(name);
    root.addAppender(stamps, null, null);
    root.setLevel(Level.INFO);
    context.updateLoggers();
    return LogManager.getLogger(Log4jAdapterTest.class);
  }

  /**
   * Counted in bytes the thread allocated, not timed: Log4j's garbage-free path, stamped by
   * this clock, allocates nothing once warmed up, where an Instant per event would show.
   */
  private static void allocation(Logger logger) {
    ThreadMXBean threads = (ThreadMXBean) ManagementFactory.getThreadMXBean();
    Object[] sink = new Object[1000];
    long start = threads.getCurrentThreadAllocatedBytes();
    for (int i = 0; i < sink.length; i++) sink[i] = Instant.now();
    long instants = threads.getCurrentThreadAllocatedBytes() - start;
    checks.check("the count sees 1000 Instants made", instants >= 16_000, instants + " bytes");

    VarnokPreciseClock clock = new VarnokPreciseClock();
    MutableInstant instant = new MutableInstant();
    for (int i = 0; i < 100_000; i++) {
      clock.init(instant);
      logger.info("warming up");
    }
    start = threads.getCurrentThreadAllocatedBytes();
    for (int i = 0; i < 100_000; i++) clock.init(instant);
    long inits = threads.getCurrentThreadAllocatedBytes() - start;
    checks.check("100000 init(MutableInstant) calls allocate nothing", inits == 0, inits + " bytes");
    start = threads.getCurrentThreadAllocatedBytes();
    for (int i = 0; i < 10_000; i++) logger.info("stamped");
    long calls = threads.getCurrentThreadAllocatedBytes() - start;
    checks.check("10000 log calls allocate nothing", calls == 0, calls + " bytes");
  }
}
