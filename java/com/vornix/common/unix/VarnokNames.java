package com.vornix.common.unix;

/**
 * The names Varnok's classes share: the system properties they read and the library's name.
 * Only compile-time constants, so that reading one initialises nothing: the loader, the
 * bindings and the counter's trust take them from here, and the public classes publish the
 * same values ({@link Varnok#LIBRARY_PROPERTY}, {@link VarnokTime#BINDING_PROPERTY}) as
 * constants of their own.
 */
final class VarnokNames {
  /** Names the library file to load; when set, the only place tried. */
  static final String LIBRARY_PROPERTY = "com.vornix.common.unix.varnok.library";

  /** Names the directory to extract the jar's library into, in place of java.io.tmpdir. */
  static final String TMPDIR_PROPERTY = "com.vornix.common.unix.varnok.tmpdir";

  /** Chooses VarnokTime's binding: jni, or critical (the default). */
  static final String BINDING_PROPERTY = "com.vornix.common.unix.varnok.binding";

  /** The library's name for System.loadLibrary: libvarnok_jni.so. */
  static final String LIBRARY_NAME = "varnok_jni";

  private VarnokNames() {}
}
