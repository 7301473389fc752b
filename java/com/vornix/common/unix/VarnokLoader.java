package com.vornix.common.unix;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;

/**
 * Loads {@code libvarnok_jni.so} for {@link Varnok}, once per class loader, from the first
 * place that works (see Varnok's documentation for the order). The outcome is decided when
 * this class is initialised, by whichever of {@link Varnok} and {@link VarnokClock} needs it
 * first, and kept: a library loads once, and the jar's copy must not be extracted twice.
 *
 * <p>Failures come back as a value, not thrown, so that {@link VarnokClock#isAvailable()} can
 * answer without an error; {@link Varnok} throws it from its initialiser.
 *
 * <p>The names it reads are {@link VarnokNames}' constants: it uses no member of Varnok, so
 * nothing here can initialise Varnok, whose initialiser waits for this class.
 */
final class VarnokLoader {
  private static final String FILE_NAME = System.mapLibraryName(VarnokNames.LIBRARY_NAME);

  /** The platform's folder in the jar, by the JDK's names; null where none is supported. */
  private static final String PLATFORM =
      platform(System.getProperty("os.name"), System.getProperty("os.arch"));

  /**
   * Where the jar carries the library for this platform. Under META-INF because that is no
   * package: a named module owns every package its jar has a directory for, and two modules
   * that both had, say, linux/amd64/ could not be on one module path.
   */
  private static final String RESOURCE =
      VarnokBuild.NATIVE_ROOT + "/" + PLATFORM + "/" + FILE_NAME;

  /** Declared after what load() reads: static fields are initialised in order. */
  private static final UnsatisfiedLinkError FAILURE = load();

  private VarnokLoader() {}

  /** Null once the library is loaded; otherwise the error that says why it was not. */
  static UnsatisfiedLinkError failure() {
    return FAILURE;
  }

  /**
   * The library reads the x86-64 time-stamp counter or the aarch64 generic timer: on any
   * other processor it must not be reached at all.
   */
  private static String platform(String os, String arch) {
    if (!"Linux".equals(os)) return null;
    if ("amd64".equals(arch) || "x86_64".equals(arch)) return VarnokBuild.AMD64;
    return "aarch64".equals(arch) ? VarnokBuild.AARCH64 : null;
  }

  private static UnsatisfiedLinkError load() {
    if (PLATFORM == null) {
      return new UnsatisfiedLinkError("Varnok " + VarnokBuild.version() + " supports only"
          + " Linux on x86-64 (amd64) and Linux on aarch64, not "
          + System.getProperty("os.name") + " on " + System.getProperty("os.arch"));
    }
    Attempts attempts = new Attempts();
    String file = System.getProperty(VarnokNames.LIBRARY_PROPERTY);
    if (file != null) {
      // Someone who names a file means that file: loading another would hide their mistake.
      String what = "-D" + VarnokNames.LIBRARY_PROPERTY + "=" + file
          + " (nothing else is tried when it is set)";
      return attempts.load(what, () -> System.load(new File(file).getAbsolutePath()))
          ? null : attempts.failure("");
    }
    String what = FILE_NAME + " in java.library.path="
        + System.getProperty("java.library.path");
    if (attempts.load(what, () -> System.loadLibrary(VarnokNames.LIBRARY_NAME))) return null;
    // Denied native access is the JVM's answer to every place: nothing more is extracted.
    if (attempts.denied()) return attempts.failure("");
    return loadFromJar(attempts) ? null : attempts.failure(jarAdvice());
  }

  private static boolean loadFromJar(Attempts attempts) {
    URL resource = VarnokLoader.class.getResource("/" + RESOURCE);
    if (resource == null) {
      attempts.note(RESOURCE + " in Varnok's jar: not there (a jar of the classes alone?)");
      return false;
    }
    String parent = extractionParent();
    return attempts.load(RESOURCE + " from Varnok's jar, extracted under " + parent,
        () -> loadCopy(resource, Paths.get(parent)));
  }

  private static String extractionParent() {
    return System.getProperty(VarnokNames.TMPDIR_PROPERTY, System.getProperty("java.io.tmpdir"));
  }

  private static String jarAdvice() {
    String advice = "\nTo name the file, set -D" + VarnokNames.LIBRARY_PROPERTY + "=/path/to/"
        + FILE_NAME + ".";
    if (VarnokLoader.class.getResource("/" + RESOURCE) == null) return advice;
    return advice + "\nIf " + extractionParent() + " is mounted noexec or is not writable,"
        + " set -D" + VarnokNames.TMPDIR_PROPERTY
        + "=DIR to a directory that is writable and allows execution.";
  }

  /**
   * Loads a copy of the library from a fresh directory that only this user can enter, so
   * that nobody can swap the file between writing and loading it. Both are deleted once
   * loaded, or once loading failed: the loaded mapping outlives its file.
   */
  private static void loadCopy(URL resource, Path parent) throws IOException {
    Path dir = Files.createTempDirectory(parent, "varnok-",
        PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
    Path copy = dir.resolve(FILE_NAME);
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

  /**
   * How to grant this class native access, by the JVM's name for its module. Read by
   * reflection, as these classes are for Java 8; only JDK 24 and later deny access.
   */
  private static String nativeAccessAdvice() {
    String module = null;
    try {
      Object m = Class.class.getMethod("getModule").invoke(VarnokLoader.class);
      module = (String) m.getClass().getMethod("getName").invoke(m);
    } catch (ReflectiveOperationException | RuntimeException e) {
      // No modules: it is the class path's flag.
    }
    if (module != null) {
      return "\nThis JVM denies native access to module " + module
          + ": run java with --enable-native-access=" + module + ".";
    }
    return "\nThis JVM denies native access to the class path: run java with"
        + " --enable-native-access=ALL-UNNAMED, or, for java -jar, put"
        + " Enable-Native-Access: ALL-UNNAMED in the manifest of the jar it runs.";
  }

  /** One way of loading the library; throws when it does not load. */
  private interface Loading {
    void run() throws IOException;
  }

  /** What was tried, numbered, with every failure kept for the final error. */
  private static final class Attempts {
    private final StringBuilder tried = new StringBuilder();
    private final List<Throwable> failures = new ArrayList<>();
    private Throwable denial;
    private int count;

    // Not private: a private constructor would cost Java 8 bytecode a synthetic class.
    Attempts() {}

    void note(String line) {
      tried.append("\n  ").append(++count).append(". ").append(line);
    }

    /** Runs one way of loading; true if the library loaded. */
    boolean load(String what, Loading loading) {
      try {
        loading.run();
        return true;
      } catch (IOException | UnsatisfiedLinkError | RuntimeException e) {
        note(what + ": " + e);
        // IllegalCallerException, which Java 8 cannot name: JDK 24 and later refuse to load
        // libraries for a module that was not granted native access.
        if (e.getClass().getName().equals("java.lang.IllegalCallerException")) {
          denial = e;
        } else {
          failures.add(e);
        }
        return false;
      }
    }

    boolean denied() {
      return denial != null;
    }

    /** The error to throw: the numbered list, then the advice; the failures attached. */
    UnsatisfiedLinkError failure(String advice) {
      if (denial != null) advice = nativeAccessAdvice();
      UnsatisfiedLinkError error = new UnsatisfiedLinkError("cannot load the Varnok "
          + VarnokBuild.version() + " native library; tried:" + tried + advice);
      if (denial != null) error.initCause(denial);
      for (Throwable failure : failures) error.addSuppressed(failure);
      return error;
    }
  }
}
