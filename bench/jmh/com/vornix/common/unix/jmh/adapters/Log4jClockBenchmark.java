package com.vornix.common.unix.jmh.adapters;

import java.util.concurrent.TimeUnit;
import org.apache.logging.log4j.Level;
import org.apache.logging.log4j.LogManager;
import org.apache.logging.log4j.Logger;
import org.apache.logging.log4j.core.LogEvent;
import org.apache.logging.log4j.core.LoggerContext;
import org.apache.logging.log4j.core.appender.AbstractAppender;
import org.apache.logging.log4j.core.config.Configuration;
import org.apache.logging.log4j.core.config.LoggerConfig;
import org.apache.logging.log4j.core.config.Property;
import org.openjdk.jmh.annotations.Benchmark;
import org.openjdk.jmh.annotations.BenchmarkMode;
import org.openjdk.jmh.annotations.Fork;
import org.openjdk.jmh.annotations.Mode;
import org.openjdk.jmh.annotations.OutputTimeUnit;
import org.openjdk.jmh.annotations.Param;
import org.openjdk.jmh.annotations.Scope;
import org.openjdk.jmh.annotations.Setup;
import org.openjdk.jmh.annotations.State;
import org.openjdk.jmh.infra.Blackhole;

/**
 * A Log4j 2 log call through an appender that only reads the event's instant: Log4j's
 * default clock against the adapter. Log4j's clock is chosen once per JVM from log4j2.clock,
 * so each value of {@link #clock} sets it before Log4j starts, in a fork of its own.
 */
@State(Scope.Benchmark)
@BenchmarkMode(Mode.AverageTime)
@OutputTimeUnit(TimeUnit.NANOSECONDS)
@Fork(value = 2, jvmArgsAppend = "--enable-native-access=ALL-UNNAMED")
public class Log4jClockBenchmark {
  /** Log4j's own default, or one of the adapter's classes. */
  @Param({"SystemClock", "com.vornix.common.unix.log4j2.VarnokPreciseClock",
      "com.vornix.common.unix.log4j2.VarnokUniquePreciseClock"})
  public String clock;

  private Logger logger;

  /** Consumes each event's instant, so that nothing the clock does can be left out. */
  static final class InstantSink extends AbstractAppender {
    Blackhole blackhole;

    InstantSink() {
      super("instant-sink", null, null, true, Property.EMPTY_ARRAY);
    }

    @Override
    public void append(LogEvent event) {
      blackhole.consume(event.getInstant().getNanoOfSecond());
    }
  }

  @Setup
  public void setUp(Blackhole blackhole) {
    // Before anything of Log4j's core is touched, the appender included.
    System.setProperty("log4j2.clock", clock);
    InstantSink sink = new InstantSink();
    sink.blackhole = blackhole;
    LoggerContext context = (LoggerContext) LogManager.getContext(false);
    Configuration config = context.getConfiguration();
    sink.start();
    config.addAppender(sink);
    LoggerConfig root = config.getRootLogger();
    for (String name : root.getAppenders().keySet().toArray(new String[0])) {
      root.removeAppender(name);
    }
    root.addAppender(sink, null, null);
    root.setLevel(Level.INFO);
    context.updateLoggers();
    logger = LogManager.getLogger(Log4jClockBenchmark.class);
  }

  @Benchmark
  public void logCall() {
    logger.info("an event");
  }
}
