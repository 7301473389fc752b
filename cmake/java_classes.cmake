# The Java classes, and the JNI header generated from them.
# The JNI header is generated from the class, so a native method whose
# signature changes in Java fails to compile here. The library needs that
# header and the jar carries the library, so the classes come first, in a jar
# of their own, and the jar that is shipped is made from it (jar.cmake).
#
# The shipped classes are for Java 8, so that every JDK from 8 on loads them;
# --release also holds them to Java 8's API. Newer javacs call 8 obsolete
# (-Xlint:-options); any other warning fails the build.
set(VARNOK_JAVA_RELEASE_FLAGS --release 8 -Xlint:all -Xlint:-options -Werror)
# The licence as the jar's manifest (Bundle-License) and the POM name it: its
# SPDX identifier, and where its text is published.
set(VARNOK_LICENSE "Apache-2.0")
set(VARNOK_LICENSE_URL "https://www.apache.org/licenses/LICENSE-2.0.txt")
# Where the jar keeps each platform's library: said once, here, for the jar
# (jar.cmake) and, configured into VarnokBuild, for the loader that looks there.
set(VARNOK_JAR_NATIVE_ROOT META-INF/native)
set(VARNOK_JAR_PLATFORM_AMD64 linux/amd64)
set(VARNOK_JAR_PLATFORM_AARCH64 linux/aarch64)
set(_varnok_generated_java "${CMAKE_CURRENT_BINARY_DIR}/generated-java")
configure_file(java/com/vornix/common/unix/VarnokBuild.java.in
  "${_varnok_generated_java}/com/vornix/common/unix/VarnokBuild.java" @ONLY)
configure_file(java/MANIFEST.MF.in "${CMAKE_CURRENT_BINARY_DIR}/varnok-manifest.txt" @ONLY)
set(_varnok_java_sources
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/Varnok.java"
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/VarnokClock.java"
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/VarnokLoader.java"
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/VarnokNames.java"
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/VarnokTime.java"
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/ClockBinding.java"
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/CounterTrust.java"
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/UniqueStamps.java"
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/UniqueClock.java"
  "${_varnok_generated_java}/com/vornix/common/unix/VarnokBuild.java")
set(CMAKE_JAVA_COMPILE_FLAGS ${VARNOK_JAVA_RELEASE_FLAGS})
add_jar(varnok-classes
  SOURCES ${_varnok_java_sources}
  MANIFEST "${CMAKE_CURRENT_BINARY_DIR}/varnok-manifest.txt"
  RESOURCES NAMESPACE META-INF "${PROJECT_SOURCE_DIR}/LICENSE"
  GENERATE_NATIVE_HEADERS varnok-native-headers
    DESTINATION "${CMAKE_CURRENT_BINARY_DIR}/native-headers")
unset(CMAKE_JAVA_COMPILE_FLAGS)
