package com.vornix.common.unix.tests;

import com.sun.management.ThreadMXBean;
import com.vornix.common.unix.log4j2.VarnokPreciseClock;
import com.vornix.common.unix.log4j2.VarnokUniquePreciseClock;
import java.lang.management.ManagementFactory;
import java.time.Instant;
import java.util.ArrayList;
import java.util.List;
import java.util.function.LongSupplier;
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
 * Log4j 2 with {@code -Dlog4j2.clock=} {@code VarnokPreciseClock} or {@code
 * VarnokUniquePreciseClock}, as a user configures it: {@code Log4jAdapterTest
 * varnok|fallback} (see AdapterSupport). Real events are stamped by the clock named, in
 * order with the unique one; with Varnok, a log call allocates nothing. Both clocks are
 * also read directly.
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
    String named = System.getProperty("log4j2.clock", "");
    boolean uniqueEvents = named.equals(VarnokUniquePreciseClock.class.getName());
    Notices notices = new Notices();
    StatusLogger.getLogger().registerListener(notices);
    Stamps stamps = new Stamps();
    Logger logger = configure(stamps);

    checks.group("the clock log4j2.clock names", () -> {
      checks.check("Log4j made the " + named,
          ClockFactory.getClock().getClass().getName().equals(named), "" + ClockFactory.getClock());
      checks.check("both clocks read " + (varnok ? "Varnok" : "the JDK's clock"),
          VarnokPreciseClock.readsVarnok() == varnok
              && VarnokUniquePreciseClock.readsVarnok() == varnok,
          "readsVarnok() is not " + varnok);
    });
    checks.group("events' instants", () -> {
      long before = AdapterSupport.epochNanosNow();
      for (int i = 0; i < EVENTS; i++) logger.info("stamped");
      long after = AdapterSupport.epochNanosNow();
      checks.check(EVENTS + " events reached the appender", stamps.count == EVENTS,
          stamps.count + " did");
      if (uniqueEvents) {
        AdapterSupport.checkIncreasing(checks, "their instants", stamps.nanos);
        AdapterSupport.checkNear(checks, "their instants", stamps.nanos, before, after);
      } else {
        AdapterSupport.checkStamps(checks, "their instants", varnok, stamps.nanos, before, after);
      }
      AdapterSupport.checkNearNow(checks, "currentTimeMillis()", 1_000_000L,
          new VarnokPreciseClock()::currentTimeMillis);
      AdapterSupport.checkNearNow(checks, "the unique clock's currentTimeMillis()", 1_000_000L,
          new VarnokUniquePreciseClock()::currentTimeMillis);
    });
    VarnokUniquePreciseClock unique = new VarnokUniquePreciseClock();
    ThreadLocal<MutableInstant> instants = ThreadLocal.withInitial(MutableInstant::new);
    LongSupplier uniqueInit = () -> {
      MutableInstant instant = instants.get();
      unique.init(instant);
      return instant.getEpochSecond() * 1_000_000_000L + instant.getNanoOfSecond();
    };
    checks.group("the unique clock's stamps",
        () -> AdapterSupport.checkUnique(checks, varnok, "its instants", uniqueInit));
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
      new VarnokUniquePreciseClock().init(new MutableInstant());
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
    VarnokUniquePreciseClock unique = new VarnokUniquePreciseClock();
    MutableInstant instant = new MutableInstant();
    for (int i = 0; i < 100_000; i++) {
      clock.init(instant);
      unique.init(instant);
      logger.info("warming up");
    }
    start = threads.getCurrentThreadAllocatedBytes();
    for (int i = 0; i < 100_000; i++) {
      clock.init(instant);
      unique.init(instant);
    }
    long inits = threads.getCurrentThreadAllocatedBytes() - start;
    checks.check("100000 init(MutableInstant) calls of each clock allocate nothing", inits == 0,
        inits + " bytes");
    start = threads.getCurrentThreadAllocatedBytes();
    for (int i = 0; i < 10_000; i++) logger.info("stamped");
    long calls = threads.getCurrentThreadAllocatedBytes() - start;
    checks.check("10000 log calls allocate nothing", calls == 0, calls + " bytes");
  }
}
