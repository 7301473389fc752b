package com.vornix.common.unix;

/**
 * How {@link VarnokTime} reaches its clocks: in this version of the class, through {@link
 * Varnok}'s JNI methods, or the JDK's clocks where the kernel does not trust the counter
 * ({@link CounterTrust}). The multi-release jar carries another version for JDK 22 and
 * later, which uses critical downcalls where it can; both have the same members.
 */
final class ClockBinding {
  /** The JDK's clocks are read, and the library is not loaded here. */
  private static final boolean JDK = CounterTrust.DISTRUST != null;
  static final VarnokTime.Binding KIND = JDK ? VarnokTime.Binding.JDK : VarnokTime.Binding.JNI;
  static final String REASON = JDK ? CounterTrust.reason() : reason();

  private ClockBinding() {}

  static long epoch() {
    return JDK ? CounterTrust.epoch() : Varnok.nanoTimeEpoch1();
  }

  static long relative() {
    return JDK ? CounterTrust.relative() : Varnok.nanoTimeRelative1();
  }

  private static String reason() {
    // Initialises Varnok first: where the library cannot be used, this class fails to
    // initialise with the loader's error, as Varnok does.
    Varnok.calibrate();
    int feature = feature(System.getProperty("java.class.version"));
    if (feature < 22) {
      return "Java " + feature + " has no critical downcalls; JDK 22 and later do";
    }
    return "the critical binding is not on this class path: the jar was built without"
        + " it, or is not read as a multi-release jar (a jar repackaged without"
        + " Multi-Release: true in its manifest)";
  }

  /**
   * The feature release, from the newest class file version the JVM reads: 52.0 is Java 8,
   * 61.0 is 17. Java 8 has no Runtime.version() to ask.
   */
  private static int feature(String classVersion) {
    try {
      return (int) Double.parseDouble(classVersion) - 44;
    } catch (RuntimeException e) {
      return 0;
    }
  }
}
