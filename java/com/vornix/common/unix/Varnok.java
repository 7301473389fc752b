package com.vornix.common.unix;

import java.io.File;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;

/**
 * Cheap time stamps from the processor's time-stamp counter.
 *
 * <p>{@link #nanoTimeEpoch1()} is a wall clock in nanoseconds since the Unix epoch that
 * costs, on almost every call, one counter read instead of a system call. {@link
 * #nanoTimeRelative1()} is the counter scaled to nanoseconds, for measuring intervals.
 *
 * <p>The native library {@code libvarnok_jni.so} is loaded, and the clock calibrated, when
 * this class is initialised, so no clock can be read before calibration. The library is
 * taken from the first of these that works:
 *
 * <ol>
 *   <li>the file named by {@value #LIBRARY_PROPERTY}; when that property is set, nothing
 *       else is tried;
 *   <li>{@code libvarnok_jni.so} by name from {@code java.library.path};
 *   <li>the copy inside this class's jar, written to a private directory under {@value
 *       #TMPDIR_PROPERTY} (or {@code java.io.tmpdir}), loaded, and deleted again.
 * </ol>
 *
 * <p>Only Linux on x86-64 is supported; anywhere else initialisation fails with an {@link
 * UnsatisfiedLinkError} before any native code is touched.
 */
public final class Varnok {
  /** System property naming the library file to load; when set, the only place tried. */
  public static final String LIBRARY_PROPERTY = "com.vornix.common.unix.varnok.library";

  /**
   * System property naming the directory to extract the jar's library into, in place of
   * {@code java.io.tmpdir}: needed where that is mounted noexec or is not writable.
   */
  public static final String TMPDIR_PROPERTY = "com.vornix.common.unix.varnok.tmpdir";

  /** The library's name for {@link System#loadLibrary}: {@code libvarnok_jni.so}. */
  public static final String LIBRARY_NAME = "varnok_jni";

  /** The version of this build of Varnok, the same as its jar manifest's. */
  public static final String VERSION = VarnokBuild.version();

  /** Where the jar carries the library, by the JDK's names for the platform. */
  private static final String RESOURCE = "/linux/amd64/libvarnok_jni.so";

  static {
    loadLibrary();
    // Calibrates once, here: a second calibration racing with readers is not safe,
    // which is why init is not public.
    init();
  }

  private Varnok() {}

  private static void loadLibrary() {
    String os = System.getProperty("os.name");
    String arch = System.getProperty("os.arch");
    // The library reads the x86-64 counter: on anything else it must not be reached at all.
    if (!"Linux".equals(os) || !("amd64".equals(arch) || "x86_64".equals(arch))) {
      throw new UnsatisfiedLinkError("Varnok " + VERSION + " supports only Linux on x86-64"
          + " (amd64), not " + os + " on " + arch);
    }

    String file = System.getProperty(LIBRARY_PROPERTY);
    if (file != null) {
      // Someone who names a file means that file: loading another would hide their mistake.
      try {
        System.load(new File(file).getAbsolutePath());
        return;
      } catch (UnsatisfiedLinkError | SecurityException e) {
        throw new UnsatisfiedLinkError("cannot load the Varnok " + VERSION
            + " native library from -D" + LIBRARY_PROPERTY + "=" + file
            + " (nothing else is tried when it is set): " + e.getMessage());
      }
    }

    StringBuilder tried = new StringBuilder();
    try {
      System.loadLibrary(LIBRARY_NAME);
      return;
    } catch (UnsatisfiedLinkError | SecurityException e) {
      tried.append("\n  1. ").append(System.mapLibraryName(LIBRARY_NAME))
          .append(" in java.library.path=").append(System.getProperty("java.library.path"))
          .append(": ").append(e.getMessage());
    }

    URL resource = Varnok.class.getResource(RESOURCE);
    String parent = System.getProperty(TMPDIR_PROPERTY, System.getProperty("java.io.tmpdir"));
    tried.append("\n  2. ").append(RESOURCE.substring(1)).append(" from the class path");
    if (resource == null) {
      tried.append(": not there (a jar of the classes alone?)");
    } else {
      try {
        loadCopy(resource, Paths.get(parent));
        return;
      } catch (IOException | UnsatisfiedLinkError | SecurityException | InvalidPathException e) {
        tried.append(", extracted under ").append(parent).append(": ").append(e);
      }
    }

    tried.append("\nTo name the file, set -D").append(LIBRARY_PROPERTY).append("=/path/to/")
        .append(System.mapLibraryName(LIBRARY_NAME)).append('.');
    if (resource != null) {
      tried.append("\nIf ").append(parent).append(" is mounted noexec or is not writable,")
          .append(" set -D").append(TMPDIR_PROPERTY)
          .append("=DIR to a directory that is writable and allows execution.");
    }
    throw new UnsatisfiedLinkError(
        "cannot load the Varnok " + VERSION + " native library; tried:" + tried);
  }

  /**
   * Loads a copy of the library from a fresh directory that only this user can enter, so
   * that nobody can swap the file between writing and loading it. Both are deleted once
   * loaded, or once loading failed: the loaded mapping outlives its file.
   */
  private static void loadCopy(URL resource, Path parent) throws IOException {
    Path dir = Files.createTempDirectory(parent, "varnok-",
        PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
    Path copy = dir.resolve(System.mapLibraryName(LIBRARY_NAME));
    try {
      try (InputStream in = resource.openStream()) {
        Files.copy(in, copy);
      }
      System.load(copy.toString());
    } finally {
      deleteQuietly(copy);
      deleteQuietly(dir);
    }
  }

  /** A file left behind in a private directory costs space, not correctness: never fatal. */
  private static void deleteQuietly(Path path) {
    try {
      Files.deleteIfExists(path);
    } catch (IOException | SecurityException e) {
      // Nothing better to do during class initialisation.
    }
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
