package com.vornix.common.unix.bench;

import java.io.File;

/**
 * The cheapest clock a JNI method can be: the raw time-stamp counter, returned by a native
 * method that does nothing else. What a Varnok clock costs beyond this is its own work; what
 * this costs is the JNI call itself plus one counter read.
 *
 * <p>The library {@code libvarnok_bench_jni.so} is loaded from the file named by the system
 * property {@value #LIBRARY_PROPERTY} when it is set, and otherwise by name from {@code
 * java.library.path}.
 */
public final class CounterFloor {
  /** System property naming the floor library's file. */
  public static final String LIBRARY_PROPERTY = "com.vornix.common.unix.bench.floor.library";

  /** The floor library's name for {@link System#loadLibrary}. */
  public static final String LIBRARY_NAME = "varnok_bench_jni";

  static {
    String path = System.getProperty(LIBRARY_PROPERTY);
    if (path != null) {
      System.load(new File(path).getAbsolutePath());
    } else {
      System.loadLibrary(LIBRARY_NAME);
    }
  }

  private CounterFloor() {}

  /** The time-stamp counter, read with a bare rdtsc (no fence, like the library's read). */
  public static native long rdtsc();
}
