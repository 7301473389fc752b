package com.vornix.common.unix;

import java.io.File;

/**
 * Cheap time stamps from the processor's time-stamp counter.
 *
 * <p>{@link #nanoTimeEpoch1()} is a wall clock in nanoseconds since the Unix epoch that
 * costs, on almost every call, one counter read instead of a system call. {@link
 * #nanoTimeRelative1()} is the counter scaled to nanoseconds, for measuring intervals.
 *
 * <p>The native library {@code libvarnok_jni.so} is loaded, and the clock calibrated, when
 * this class is initialised, so no clock can be read before calibration. The library is
 * taken from the file named by the system property {@value #LIBRARY_PROPERTY} when it is
 * set, and otherwise by name from {@code java.library.path}.
 */
public final class Varnok {
  /** System property naming the library file to load, tried before java.library.path. */
  public static final String LIBRARY_PROPERTY = "com.vornix.common.unix.varnok.library";

  /** The library's name for {@link System#loadLibrary}: {@code libvarnok_jni.so}. */
  public static final String LIBRARY_NAME = "varnok_jni";

  static {
    loadLibrary();
    // Calibrates once, here: a second calibration racing with readers is not safe,
    // which is why init is not public.
    init();
  }

  private Varnok() {}

  private static void loadLibrary() {
    StringBuilder tried = new StringBuilder();
    String path = System.getProperty(LIBRARY_PROPERTY);
    if (path != null) {
      try {
        System.load(new File(path).getAbsolutePath());
        return;
      } catch (UnsatisfiedLinkError | SecurityException e) {
        tried.append("\n  -D").append(LIBRARY_PROPERTY).append('=').append(path)
            .append(": ").append(e.getMessage());
      }
    }
    try {
      System.loadLibrary(LIBRARY_NAME);
      return;
    } catch (UnsatisfiedLinkError | SecurityException e) {
      tried.append("\n  ").append(System.mapLibraryName(LIBRARY_NAME))
          .append(" in java.library.path=").append(System.getProperty("java.library.path"))
          .append(": ").append(e.getMessage());
    }
    if (path == null) {
      tried.append("\n  (set -D").append(LIBRARY_PROPERTY).append("=/path/to/")
          .append(System.mapLibraryName(LIBRARY_NAME)).append(" to name the file)");
    }
    throw new UnsatisfiedLinkError("cannot load the Varnok native library; tried:" + tried);
  }

  /** Discovers the counter's rate and takes the base reading of both clocks. */
  private static native void init();

  /**
   * Nanoseconds since the Unix epoch (1970-01-01T00:00:00Z).
   *
   * <p>Present-day values are multiples of 256 ns. The value is corrected against the
   * system's clock once per 2^32 counter ticks (about 1.4 s at 3 GHz), and may then step
   * by the correction, forwards or backwards: use it for time stamps, not for intervals.
   */
  public static native long nanoTimeEpoch1();

  /**
   * The time-stamp counter in nanoseconds, with an arbitrary origin. Only differences
   * between two values mean anything.
   */
  public static native long nanoTimeRelative1();
}
