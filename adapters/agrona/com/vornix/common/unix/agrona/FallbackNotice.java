package com.vornix.common.unix.agrona;

import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Says that the clocks fall back. Agrona has no logging of its own; java.util.logging
 * prints a warning on standard error as plainly as System.err would, and an application
 * can still route it to its own logging or silence it, which a bare System.err line would
 * not allow.
 */
final class FallbackNotice {
  private FallbackNotice() {}

  static void say(String message) {
    Logger.getLogger("com.vornix.common.unix.agrona").log(Level.WARNING, message);
  }
}
