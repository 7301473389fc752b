package com.vornix.common.unix.jmh;

/**
 * The counter behind a critical downcall. This version is for JDKs before 22, which have no
 * critical downcalls; the benchmark jar's META-INF/versions/22 holds the real one, and the
 * benchmark is left out of runs on older JDKs.
 */
final class CriticalFloor {
  private CriticalFloor() {}

  static long counter() {
    throw new UnsupportedOperationException(
        "critical downcalls need JDK 22 or later; this is Java "
            + System.getProperty("java.version"));
  }
}
