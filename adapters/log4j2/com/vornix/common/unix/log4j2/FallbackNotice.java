package com.vornix.common.unix.log4j2;

import org.apache.logging.log4j.status.StatusLogger;

/**
 * Says that the clock falls back, where Log4j says what happens to its configuration: its
 * status logger. A warning, not an error: the events are stamped all the same, only less
 * cheaply (shown with {@code log4j2.statusLoggerLevel=WARN} or {@code status="warn"}).
 */
final class FallbackNotice {
  private FallbackNotice() {}

  static void say(String message) {
    // As a parameter: the reason may hold braces of its own.
    StatusLogger.getLogger().warn("{}", message);
  }
}
