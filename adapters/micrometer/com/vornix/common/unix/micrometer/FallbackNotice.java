package com.vornix.common.unix.micrometer;

import io.micrometer.common.util.internal.logging.InternalLoggerFactory;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Says that the clock falls back through Micrometer's own logger, which writes to SLF4J
 * where the application has it, else to java.util.logging. That logger is in
 * micrometer-commons (1.10 and later); with an older Micrometer the notice goes to
 * java.util.logging directly rather than failing the clock.
 */
final class FallbackNotice {
  private FallbackNotice() {}

  static void say(String message) {
    try {
      InternalLoggerFactory.getInstance(VarnokMicrometerClock.class).warn(message);
    } catch (LinkageError e) {
      Logger.getLogger(VarnokMicrometerClock.class.getName()).log(Level.WARNING, message);
    }
  }
}
