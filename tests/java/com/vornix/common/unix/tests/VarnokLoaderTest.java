package com.vornix.common.unix.tests;

import com.vornix.common.unix.Varnok;
import com.vornix.common.unix.VarnokClock;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Clock;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Stream;

/**
 * How Varnok finds its native library. Each case needs a fresh JVM (a library loads once
 * per process, a class initialises once), so CTest runs this once per case:
 *
 * <pre>
 *   VarnokLoaderTest loads FILE      the class initialises, FILE is the one library mapped
 *   VarnokLoaderTest extracts DIR    the jar's copy was loaded from a directory under DIR,
 *                                    and both are gone again
 *   VarnokLoaderTest fails THREW     initialisation fails and says everything it tried,
 *                                    with one failure attached for each of the THREW
 *                                    attempts that threw
 *   VarnokLoaderTest denied FLAG     the JVM denies native access: initialisation fails
 *                                    naming FLAG, the flag that grants it
 *   VarnokLoaderTest unsupported     initialisation fails naming the platform
 * </pre>
 *
 * In every case the directory the jar's copy would be extracted into must hold the same
 * entries afterwards as before: a copy is deleted whether it loaded or not; Varnok is in
 * the module com.vornix.common.unix exactly when the JVM has a module path; and {@link
 * VarnokClock} says whether the clock is available, without throwing.
 *
 * <p>The property names are written out rather than taken from Varnok's constants: users
 * type them on command lines, so renaming one must fail here.
 */
public final class VarnokLoaderTest {
  private static final String PROPERTY = "com.vornix.common.unix.varnok.library";
  private static final String TMPDIR_PROPERTY = "com.vornix.common.unix.varnok.tmpdir";
  private static final String CLASS = "com.vornix.common.unix.Varnok";
  private static final String MODULE = "com.vornix.common.unix";
  private static final String FILE_NAME = "libvarnok_jni.so";
  private static final String RESOURCE = "META-INF/native/linux/amd64/" + FILE_NAME;

  private static final Checks checks = new Checks();

  /** A mapped copy of the library: its path, and whether the file was deleted since. */
  private record Mapping(String path, boolean deleted) {}

  public static void main(String[] args) throws IOException {
    String mode = args.length > 0 ? args[0] : "";
    Path extractionDir = extractionDir();
    List<String> before = entries(extractionDir);
    boolean modulePath = System.getProperty("jdk.module.path") != null;
    checks.check("Varnok's module is " + (modulePath ? MODULE : "unnamed"),
        modulePath ? MODULE.equals(Varnok.class.getModule().getName())
            : !Varnok.class.getModule().isNamed(),
        "module: " + Varnok.class.getModule());
    if (mode.equals("loads") && args.length == 2) {
      checks.group("library loads from " + args[1], () -> loads(args[1]));
    } else if (mode.equals("extracts") && args.length == 2) {
      checks.group("the jar's library loads from under " + args[1], () -> extracts(args[1]));
    } else if (mode.equals("fails") && args.length == 2) {
      int threw = Integer.parseInt(args[1]);
      checks.group("loading fails with a useful message", () -> fails(threw));
    } else if (mode.equals("denied") && args.length == 2) {
      checks.group("native access denied: the error names " + args[1], () -> denied(args[1]));
    } else if (mode.equals("unsupported") && args.length == 1) {
      checks.group("an unsupported platform is refused", VarnokLoaderTest::unsupported);
    } else {
      checks.check("arguments", false, "usage: loads FILE | extracts DIR | fails THREW"
          + " | denied FLAG | unsupported; got " + Arrays.toString(args));
    }
    List<String> after = entries(extractionDir);
    checks.check("no extracted copy left behind in " + extractionDir, before.equals(after),
        "before " + before + ", after " + after);
    checks.finish();
  }

  private static void loads(String expectedFile) throws Exception {
    clockWorks();
    String expected = new File(expectedFile).getCanonicalPath();
    List<Mapping> mapped = mapped();
    checks.check("exactly " + expected + " is mapped",
        mapped.equals(List.of(new Mapping(expected, false))), "mapped: " + mapped);
  }

  private static void extracts(String parent) throws Exception {
    clockWorks();
    List<Mapping> mapped = mapped();
    checks.check("one copy of the library is mapped", mapped.size() == 1, "mapped: " + mapped);
    if (mapped.size() != 1) return;
    Path file = Paths.get(mapped.get(0).path());
    Path dir = file.getParent();
    Path expectedParent = Paths.get(new File(parent).getCanonicalPath());
    checks.check("it was loaded from a directory of its own under " + expectedParent,
        expectedParent.equals(dir.getParent())
            && dir.getFileName().toString().startsWith("varnok-"),
        "loaded " + file);
    checks.check("its file was deleted after loading",
        mapped.get(0).deleted() && !Files.exists(file), "mapped: " + mapped);
    checks.check("its directory was deleted too", !Files.exists(dir), dir + " exists");
  }

  private static void fails(int threw) {
    String message = failure();
    if (message == null) return;
    String property = System.getProperty(PROPERTY);
    if (property != null) {
      checks.check("message names the property's file " + property,
          message.contains(PROPERTY + "=" + property), message);
      checks.check("nothing but the property's file was tried",
          !message.contains("java.library.path") && !message.contains(RESOURCE), message);
    } else {
      String libraryPath = "java.library.path=" + System.getProperty("java.library.path");
      checks.check("message names " + libraryPath, message.contains(libraryPath), message);
      checks.check("message names the jar's " + RESOURCE, message.contains(RESOURCE), message);
      checks.check("message suggests the property", message.contains("-D" + PROPERTY + "="),
          message);
      if (ClassLoader.getSystemResource(RESOURCE) != null) {
        checks.check("message names the directory tried and the property to choose another",
            message.contains(extractionDir().toString())
                && message.contains("-D" + TMPDIR_PROPERTY + "="), message);
      }
    }
    checks.check("message names " + FILE_NAME, message.contains(FILE_NAME), message);
    Throwable[] attached = firstFailure.getSuppressed();
    checks.check("each of the " + threw + " attempts that threw has its failure attached,"
        + " with its stack trace", attached.length == threw
            && Arrays.stream(attached).allMatch(a -> a.getStackTrace().length > 0),
        "suppressed: " + Arrays.toString(attached));
  }

  private static void denied(String flag) {
    String message = failure();
    if (message == null) return;
    checks.check("message names " + flag, message.contains(flag), message);
    Throwable cause = firstFailure.getCause();
    checks.check("the JVM's refusal is the cause", cause instanceof IllegalCallerException,
        String.valueOf(cause));
    checks.check("nothing was extracted after the refusal", !message.contains("extracted"),
        message);
  }

  private static void unsupported() {
    String message = failure();
    if (message == null) return;
    String os = System.getProperty("os.name");
    String arch = System.getProperty("os.arch");
    checks.check("message names this platform, " + os + " on " + arch,
        message.contains(os) && message.contains(arch), message);
    checks.check("message names the supported ones",
        message.contains("Linux on x86-64") && message.contains("Linux on aarch64"), message);
  }

  /** The class initialised: the epoch clock is calibrated. */
  private static void clockWorks() {
    long before = System.currentTimeMillis();
    long epoch = Varnok.nanoTimeEpoch1();
    long after = System.currentTimeMillis();
    checks.check("class initialised and calibrated: epoch clock within 1 ms",
        epoch >= (before - 1) * 1_000_000L && epoch <= (after + 2) * 1_000_000L,
        "epoch " + epoch + " ns, currentTimeMillis " + before + ".." + after);
    checks.check("VarnokClock is available, with no reason against",
        VarnokClock.isAvailable() && !VarnokClock.unavailabilityReason().isPresent(),
        "reason: " + VarnokClock.unavailabilityReason());
    checks.check("the fallback is not taken",
        VarnokClock.systemUTCOrFallback() instanceof VarnokClock,
        VarnokClock.systemUTCOrFallback().toString());
  }

  /** What the first initialisation threw, for the cases that look further. */
  private static Throwable firstFailure;

  /**
   * Initialises Varnok, which must fail, and checks what must hold after any failure.
   * Returns the messages of what was thrown, or null if nothing was.
   */
  private static String failure() {
    // Asked before anything has initialised Varnok: the answer must come without a throw.
    boolean available = VarnokClock.isAvailable();
    String reason = VarnokClock.unavailabilityReason().orElse(null);
    Throwable first = initialise();
    firstFailure = first;
    checks.check("class initialisation fails", first != null, "Varnok initialised");
    if (first == null) return null;
    checks.check("it fails with UnsatisfiedLinkError", first instanceof UnsatisfiedLinkError,
        first.toString());
    try {
      checks.check("no copy of the library is mapped", mapped().isEmpty(),
          "mapped: " + mapped());
    } catch (IOException e) {
      checks.check("/proc/self/maps readable", false, e.toString());
    }
    // A class that failed to initialise stays unusable: no clock is read uncalibrated.
    Throwable second = initialise();
    checks.check("a second use fails too", second instanceof NoClassDefFoundError,
        String.valueOf(second));
    checks.check("each failure tried is attached, and listed in the message",
        Arrays.stream(first.getSuppressed())
            .allMatch(s -> first.getMessage().contains(s.toString())),
        "suppressed: " + Arrays.toString(first.getSuppressed()));
    unavailable(available, reason, first.getMessage());
    return messages(first);
  }

  /** VarnokClock's answers where Varnok cannot initialise: the same reason, the fallback. */
  private static void unavailable(boolean available, String reason, String expected) {
    checks.check("VarnokClock is not available, and the reason is Varnok's error",
        !available && expected.equals(reason), "available " + available + ", " + reason);
    checks.check("the fallback is Clock.systemUTC()",
        Clock.systemUTC().equals(VarnokClock.systemUTCOrFallback()),
        VarnokClock.systemUTCOrFallback().toString());
    try {
      checks.check("VarnokClock.systemUTC() refuses", false, VarnokClock.systemUTC().toString());
    } catch (UnsatisfiedLinkError e) {
      checks.check("VarnokClock.systemUTC() refuses with the reason",
          expected.equals(e.getMessage()), e.getMessage());
    }
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

  /**
   * Which copies of the library are loaded, as only the process's mappings tell. Loaded
   * means its code is mapped executable: a load that failed on a noexec mount can leave
   * the file's first, read-only segment mapped behind it.
   */
  private static List<Mapping> mapped() throws IOException {
    Set<String> seen = new TreeSet<>();
    List<Mapping> mapped = new ArrayList<>();
    String deletedMark = " (deleted)";
    for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
      // address perms offset dev inode path: perms is "r-xp" for code.
      String[] fields = line.split("\\s+", 6);
      if (fields.length < 6 || fields[1].indexOf('x') < 0) continue;
      String path = fields[5];
      boolean deleted = path.endsWith(deletedMark);
      if (deleted) path = path.substring(0, path.length() - deletedMark.length());
      if (path.endsWith("/" + FILE_NAME) && seen.add(path)) {
        mapped.add(new Mapping(path, deleted));
      }
    }
    return mapped;
  }

  /** Where the loader extracts the jar's copy, as its documentation says. */
  private static Path extractionDir() {
    return Paths.get(
        System.getProperty(TMPDIR_PROPERTY, System.getProperty("java.io.tmpdir")));
  }

  /**
   * The loader's entries in a directory (it names them varnok-...), sorted; empty when the
   * directory does not exist. Other entries are not its business, nor this test's.
   */
  private static List<String> entries(Path dir) throws IOException {
    if (!Files.isDirectory(dir)) return List.of();
    try (Stream<Path> list = Files.list(dir)) {
      return list.map(p -> p.getFileName().toString()).filter(n -> n.startsWith("varnok-"))
          .sorted().toList();
    }
  }

  /** The messages of a throwable and its causes, since the JVM may wrap the original. */
  private static String messages(Throwable t) {
    StringBuilder all = new StringBuilder();
    for (; t != null; t = t.getCause()) all.append(t).append('\n');
    return all.toString();
  }
}
