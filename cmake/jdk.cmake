# The JDK: its javac, java and jar, and its jni.h and jni_md.h.
# Nothing sets JAVA_HOME on a plain machine, so the JDK's home is taken from
# the javac on the PATH (through its symlinks); JAVA_HOME, when set, wins.
find_package(Java 17 REQUIRED COMPONENTS Development Runtime)
include(UseJava)
if(DEFINED ENV{JAVA_HOME} AND EXISTS "$ENV{JAVA_HOME}/include/jni.h")
  set(_varnok_jdk_home "$ENV{JAVA_HOME}")
else()
  file(REAL_PATH "${Java_JAVAC_EXECUTABLE}" _varnok_javac)
  cmake_path(GET _varnok_javac PARENT_PATH _varnok_jdk_bin)
  cmake_path(GET _varnok_jdk_bin PARENT_PATH _varnok_jdk_home)
endif()
set(VARNOK_JDK_HOME "${_varnok_jdk_home}" CACHE PATH "Home of the JDK whose jni.h is used")
# Only the headers: the library is loaded by a JVM and must not link libjvm.
find_path(VARNOK_JNI_INCLUDE_DIR jni.h
  PATHS "${VARNOK_JDK_HOME}/include" NO_DEFAULT_PATH REQUIRED)
find_path(VARNOK_JNI_MD_INCLUDE_DIR jni_md.h
  PATHS "${VARNOK_JDK_HOME}/include/linux" NO_DEFAULT_PATH REQUIRED)
# The JDK's jni.h and jni_md.h, for the library and for the programs that
# call JNI functions directly.
add_library(varnok_jni_headers INTERFACE)
target_include_directories(varnok_jni_headers INTERFACE
  "${VARNOK_JNI_INCLUDE_DIR}" "${VARNOK_JNI_MD_INCLUDE_DIR}")

# A JDK newer than the one on the PATH, for the JDK 22 binding and its tests.
include(cmake/newer_jdk.cmake)
