# An executable jar, run as a user would: java -jar finds varnok.jar beside it
# through its manifest, which also grants the class path native access.
if(VARNOK_BUILD_DEMO)
  set(CMAKE_JAVA_COMPILE_FLAGS ${VARNOK_JAVA_RELEASE_FLAGS})
  add_jar(varnok-demo
    SOURCES demo/com/vornix/common/unix/demo/VarnokDemo.java
    INCLUDE_JARS varnok
    MANIFEST "${PROJECT_SOURCE_DIR}/demo/MANIFEST.MF")
  unset(CMAKE_JAVA_COMPILE_FLAGS)
  get_target_property(_varnok_demo_jar varnok-demo JAR_FILE)
  add_custom_target(demo
    COMMAND "${Java_JAVA_EXECUTABLE}" -jar "${_varnok_demo_jar}"
    DEPENDS varnok varnok-demo
    USES_TERMINAL
    COMMENT "Running the Varnok demo")
endif()
