package com.vornix.common.unix.opentelemetry;

import java.util.logging.Level;
import java.util.logging.Logger;

/** Says that the clock falls back, as the SDK reports its own problems: java.util.logging. */
final class FallbackNotice {
  private FallbackNotice() {}

  static void say(String message) {
    Logger.getLogger(VarnokOpenTelemetryClock.class.getName()).log(Level.WARNING, message);
  }
}
