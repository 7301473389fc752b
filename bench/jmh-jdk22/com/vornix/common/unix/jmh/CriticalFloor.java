package com.vornix.common.unix.jmh;

import com.vornix.common.unix.bench.CounterFloor;
import java.lang.foreign.Arena;
import java.lang.foreign.FunctionDescriptor;
import java.lang.foreign.Linker;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.SymbolLookup;
import java.lang.foreign.ValueLayout;
import java.lang.invoke.MethodHandle;
import java.nio.file.Path;

/**
 * The JNI floor's native function, called as a critical downcall: no thread-state transition
 * and no safepoint poll around it, so this is the cheapest any downcall clock can be. The
 * function ignores its two JNI arguments, so null pointers stand in for them; a binding that
 * calls the library's JNI functions the same way pays the same.
 */
final class CriticalFloor {
  private static final MethodHandle COUNTER = counterHandle();

  private CriticalFloor() {}

  static long counter() {
    try {
      return (long) COUNTER.invokeExact(MemorySegment.NULL, MemorySegment.NULL);
    } catch (Throwable t) {
      throw new AssertionError(t);
    }
  }

  private static MethodHandle counterHandle() {
    String file = System.getProperty(CounterFloor.LIBRARY_PROPERTY);
    SymbolLookup library = file != null
        ? SymbolLookup.libraryLookup(Path.of(file).toAbsolutePath(), Arena.global())
        : SymbolLookup.libraryLookup(System.mapLibraryName(CounterFloor.LIBRARY_NAME),
            Arena.global());
    MemorySegment function = library.find("Java_com_vornix_common_unix_bench_CounterFloor_rdtsc")
        .orElseThrow(() -> new UnsatisfiedLinkError("the floor library has no counter function"));
    return Linker.nativeLinker().downcallHandle(function,
        FunctionDescriptor.of(ValueLayout.JAVA_LONG, ValueLayout.ADDRESS, ValueLayout.ADDRESS),
        Linker.Option.critical(false));
  }
}
