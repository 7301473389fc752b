package com.vornix.common.unix.tests;

import java.io.File;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Set;
import java.util.TreeSet;

/**
 * How Varnok finds its native library. Each case needs a fresh JVM (a library loads once
 * per process, a class initialises once), so CTest runs this once per case:
 *
 * <pre>
 *   VarnokLoaderTest loads FILE   the class initialises, FILE is the one library mapped
 *   VarnokLoaderTest fails        initialisation fails and says everything it tried
 * </pre>
 *
 * The property name is written out rather than taken from Varnok.LIBRARY_PROPERTY: users
 * type it on command lines, so renaming it must fail here.
 */
public final class VarnokLoaderTest {
  private static final String PROPERTY = "com.vornix.common.unix.varnok.library";
  private static final String CLASS = "com.vornix.common.unix.Varnok";
  private static final String FILE_NAME = "libvarnok_jni.so";

  private static final Checks checks = new Checks();

  public static void main(String[] args) {
    if (args.length == 2 && args[0].equals("loads")) {
      checks.group("library loads from " + args[1], () -> loads(args[1]));
    } else if (args.length == 1 && args[0].equals("fails")) {
      checks.group("loading fails with a useful message", VarnokLoaderTest::fails);
    } else {
      checks.check("arguments", false, "usage: loads FILE | fails");
    }
    checks.finish();
  }

  private static void loads(String expectedFile) throws Exception {
    long before = System.currentTimeMillis();
    long epoch = com.vornix.common.unix.Varnok.nanoTimeEpoch1();
    long after = System.currentTimeMillis();
    checks.check("class initialised and calibrated: epoch clock within 1 ms",
        epoch >= (before - 1) * 1_000_000L && epoch <= (after + 2) * 1_000_000L,
        "epoch " + epoch + " ns, currentTimeMillis " + before + ".." + after);

    // Which file was loaded is visible only in the process's mappings.
    Set<String> mapped = new TreeSet<>();
    for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
      int slash = line.indexOf('/');
      if (slash >= 0 && line.endsWith("/" + FILE_NAME)) mapped.add(line.substring(slash));
    }
    String expected = new File(expectedFile).getCanonicalPath();
    checks.check("exactly " + expected + " is mapped", mapped.equals(Set.of(expected)),
        "mapped: " + mapped);
  }

  private static void fails() {
    Throwable first = initialise();
    checks.check("class initialisation fails", first != null, "Varnok initialised");
    if (first == null) return;
    String message = messages(first);
    String property = System.getProperty(PROPERTY);
    if (property != null) {
      checks.check("message names the property's file " + property,
          message.contains(PROPERTY + "=" + property), message);
    } else {
      checks.check("message suggests the property", message.contains("-D" + PROPERTY + "="),
          message);
    }
    String libraryPath = "java.library.path=" + System.getProperty("java.library.path");
    checks.check("message names " + libraryPath, message.contains(libraryPath), message);
    checks.check("message names " + FILE_NAME, message.contains(FILE_NAME), message);

    // A class that failed to initialise stays unusable: no clock is read uncalibrated.
    Throwable second = initialise();
    checks.check("a second use fails too", second instanceof NoClassDefFoundError,
        String.valueOf(second));
  }

  /** Initialises Varnok; returns what that threw, or null. */
  private static Throwable initialise() {
    try {
      Class.forName(CLASS, true, VarnokLoaderTest.class.getClassLoader());
      return null;
    } catch (UnsatisfiedLinkError | ExceptionInInitializerError | NoClassDefFoundError e) {
      return e;
    } catch (ClassNotFoundException e) {
      throw new AssertionError("Varnok is not on the class path", e);
    }
  }

  /** The messages of a throwable and its causes, since the JVM may wrap the original. */
  private static String messages(Throwable t) {
    StringBuilder all = new StringBuilder();
    for (; t != null; t = t.getCause()) all.append(t).append('\n');
    return all.toString();
  }
}
