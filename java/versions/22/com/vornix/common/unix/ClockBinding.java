package com.vornix.common.unix;

import java.lang.foreign.FunctionDescriptor;
import java.lang.foreign.Linker;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.SymbolLookup;
import java.lang.foreign.ValueLayout;
import java.lang.invoke.MethodHandle;

/**
 * How {@link VarnokTime} reaches the library on JDK 22 and later: the same exported JNI
 * functions that back {@link Varnok}'s natives, called through critical downcalls.
 *
 * <p>A critical downcall makes no thread-state transition, no memory fence and no safepoint
 * poll, which is what a JNI call of these functions mostly costs. It is for functions that
 * are short, never block and never call back into Java, as the two clock reads are: a
 * counter read and a few floating-point operations, with a {@code gettimeofday} once per
 * cycle epoch. Calibration can sleep, so {@code init} stays a JNI call: it has run, in
 * {@link Varnok}'s initialiser, before anything here is made.
 *
 * <p>The handles are static finals, so that the JIT treats them as constants and inlines the
 * downcall. Where they cannot be had this class uses {@link Varnok}'s natives, as the base
 * version of this class does, and says why. Where the kernel does not trust the counter
 * ({@link CounterTrust}), both versions read the JDK's clocks and load no library.
 */
final class ClockBinding {
  private static final String EPOCH_SYMBOL = "Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1";
  private static final String RELATIVE_SYMBOL =
      "Java_com_vornix_common_unix_Varnok_nanoTimeRelative1";

  static final VarnokTime.Binding KIND;
  static final String REASON;
  private static final MethodHandle EPOCH;
  private static final MethodHandle RELATIVE;
  private static final boolean CRITICAL;
  /** The JDK's clocks are read, and the library is not loaded here. */
  private static final boolean JDK = CounterTrust.DISTRUST != null;

  static {
    if (JDK) {
      CRITICAL = false;
      EPOCH = null;
      RELATIVE = null;
      KIND = VarnokTime.Binding.JDK;
      REASON = CounterTrust.reason();
    } else {
      // Loads the library, or fails as Varnok does, and calibrates through JNI.
      Varnok.calibrate();
      // The relative clock fixes its factor at its first call, under a one-time
      // initialisation that may wait for another thread: made here, through JNI, so that no
      // critical call ever waits.
      Varnok.nanoTimeRelative1();
      String refusal = refusal();
      MethodHandle epoch = null;
      MethodHandle relative = null;
      if (refusal == null) {
        try {
          epoch = downcall(EPOCH_SYMBOL);
          relative = downcall(RELATIVE_SYMBOL);
        } catch (RuntimeException | LinkageError e) {
          refusal = "critical downcalls could not be made here (" + e + ")";
        }
      }
      CRITICAL = refusal == null;
      EPOCH = CRITICAL ? epoch : null;
      RELATIVE = CRITICAL ? relative : null;
      KIND = CRITICAL ? VarnokTime.Binding.CRITICAL : VarnokTime.Binding.JNI;
      REASON = CRITICAL
          ? "Java " + Runtime.version().feature() + ": critical downcalls"
          : refusal;
    }
  }

  private ClockBinding() {}

  static long epoch() {
    if (JDK) return CounterTrust.epoch();
    if (CRITICAL) {
      try {
        return (long) EPOCH.invokeExact(MemorySegment.NULL, MemorySegment.NULL);
      } catch (Throwable e) {
        throw new AssertionError("a critical downcall of " + EPOCH_SYMBOL + " threw", e);
      }
    }
    return Varnok.nanoTimeEpoch1();
  }

  static long relative() {
    if (JDK) return CounterTrust.relative();
    if (CRITICAL) {
      try {
        return (long) RELATIVE.invokeExact(MemorySegment.NULL, MemorySegment.NULL);
      } catch (Throwable e) {
        throw new AssertionError("a critical downcall of " + RELATIVE_SYMBOL + " threw", e);
      }
    }
    return Varnok.nanoTimeRelative1();
  }

  /** Why JNI must be kept, or null when critical downcalls may be used. */
  private static String refusal() {
    String chosen = System.getProperty(VarnokTime.BINDING_PROPERTY, "critical");
    if (chosen.equals("jni")) {
      return "JNI forced by -D" + VarnokTime.BINDING_PROPERTY + "=jni";
    }
    if (!chosen.equals("critical")) {
      return "-D" + VarnokTime.BINDING_PROPERTY + "=" + chosen
          + " is neither jni nor critical, so JNI is used, which works everywhere";
    }
    // Making a downcall handle is restricted. On JDK 24 and later loading the library was
    // too, so by now the module has either been granted access or been warned once, and is
    // enabled either way: nothing more is printed. On JDK 22 and 23 loading a library warns
    // of nothing, and a downcall would print the JDK's warning where JNI prints none.
    Module module = ClockBinding.class.getModule();
    if (!module.isNativeAccessEnabled()) {
      String grant = module.isNamed() ? module.getName() : "ALL-UNNAMED";
      return "Java " + Runtime.version().feature() + " without native access for "
          + (module.isNamed() ? "module " + grant : "the class path")
          + ", where a downcall would warn: grant it with --enable-native-access=" + grant;
    }
    return null;
  }

  /** The JNI function's arguments (environment, class) are passed null: it reads neither. */
  @SuppressWarnings("restricted")
  private static MethodHandle downcall(String symbol) {
    MemorySegment address = SymbolLookup.loaderLookup().find(symbol).orElseThrow(
        () -> new IllegalStateException(symbol + " is not in the loaded library"));
    return Linker.nativeLinker().downcallHandle(address,
        FunctionDescriptor.of(ValueLayout.JAVA_LONG, ValueLayout.ADDRESS, ValueLayout.ADDRESS),
        Linker.Option.critical(false));
  }
}
