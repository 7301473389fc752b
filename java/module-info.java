/**
 * Cheap time stamps from the processor's counter: {@link com.vornix.common.unix.Varnok}
 * and {@link com.vornix.common.unix.VarnokClock}. The module loads a native library, so
 * JDK 22 and later want it granted native access: {@code
 * --enable-native-access=com.vornix.common.unix}.
 */
module com.vornix.common.unix {
  exports com.vornix.common.unix;
}
