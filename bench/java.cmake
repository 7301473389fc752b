# The Java benchmarks: JMH's cases under jmh/ (any class dropped there is
# compiled and run too) and the accuracy program under java/, each run on the
# building JDK and on the newer one when there is one, always against this
# build's varnok.jar and library. Included from bench/CMakeLists.txt.
#
#   bench-jmh            JMH on every JDK, 1 and 2 threads, then the report
#   bench-accuracy-java  the clocks' error against Instant.now(), then the report
#   bench-java           both, then the report
#
# The JSON lands in bench/java-results/ of the build tree; the report prints
# the markdown tables for bench/README.md (also results.md there) and draws
# bench/jmh.png in the source tree, as the accuracy target draws docs/.

find_package(Python3 COMPONENTS Interpreter)
foreach(_module jmh agrona chronicle ${VARNOK_ADAPTERS})
  varnok_java_classpath(${_module} _varnok_cp_${_module})
endforeach()
set(_varnok_bench_src "${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/bench")

# The floor's JNI class and the accuracy program in one jar; the floor
# library's header is generated from it like the library's.
set(CMAKE_JAVA_COMPILE_FLAGS --release 17 -Xlint:all -Xlint:-options -Werror)
add_jar(varnok-bench
  SOURCES
    "${_varnok_bench_src}/CounterFloor.java"
    "${_varnok_bench_src}/AccuracyProbes.java"
    "${_varnok_bench_src}/ClockAccuracy.java"
  INCLUDE_JARS varnok ${_varnok_cp_agrona} ${_varnok_cp_chronicle}
  GENERATE_NATIVE_HEADERS varnok-bench-native-headers
    DESTINATION "${CMAKE_CURRENT_BINARY_DIR}/native-headers")
unset(CMAKE_JAVA_COMPILE_FLAGS)

# The floor: a JNI method that returns the raw counter, built only for the
# benchmarks; the critical-downcall floor calls the same function.
add_library(varnok_bench_jni SHARED "${_varnok_bench_src}/counter_floor_jni.cc")
target_link_libraries(varnok_bench_jni PRIVATE
  varnok_warnings varnok_jni_headers varnok-bench-native-headers)
# It needs nothing from the C++ runtime; keep it from being a dependency.
target_link_options(varnok_bench_jni PRIVATE -Wl,-z,defs -Wl,--as-needed)

# --- The class path ----------------------------------------------------------
# The adapters' jars join it where they are built, so that their end-to-end
# cases in jmh/.../adapters/ compile and run; generator expressions, so that
# the order in which the directories are added does not matter.
get_target_property(_varnok_jar varnok JAR_FILE)
get_target_property(_varnok_bench_jar varnok-bench JAR_FILE)
set(_varnok_libraries ${_varnok_cp_jmh} ${_varnok_cp_agrona} ${_varnok_cp_chronicle})
foreach(_adapter IN LISTS VARNOK_ADAPTERS)
  list(APPEND _varnok_libraries ${_varnok_cp_${_adapter}})
endforeach()
list(REMOVE_DUPLICATES _varnok_libraries)
list(JOIN _varnok_cp_jmh ":" _varnok_processor_path)
list(JOIN _varnok_libraries ":" _varnok_libraries)
set(_varnok_compile_cp "${_varnok_jar}:${_varnok_bench_jar}:${_varnok_libraries}")
set(_varnok_adapter_depends)
foreach(_adapter IN LISTS VARNOK_ADAPTERS)
  set(_target varnok-${_adapter})
  string(APPEND _varnok_compile_cp
    "$<$<TARGET_EXISTS:${_target}>::$<TARGET_PROPERTY:${_target},JAR_FILE>>")
  list(APPEND _varnok_adapter_depends "$<$<TARGET_EXISTS:${_target}>:${_target}>"
    "$<$<TARGET_EXISTS:${_target}>:$<TARGET_PROPERTY:${_target},JAR_FILE>>")
endforeach()

# --- The benchmark jar -------------------------------------------------------
# Compiled with JMH's annotation processor, which writes the benchmark list
# into the classes. With a JDK 22 or later at hand, the critical-downcall
# floor goes under META-INF/versions/22, so that only JDKs that have critical
# downcalls load it. Its native calls are the point, so javac's warning about
# restricted methods is off there; any other warning fails the build.
set(_varnok_jmh_dir "${CMAKE_CURRENT_BINARY_DIR}/jmh")
set(VARNOK_JMH_JAR "${_varnok_jmh_dir}/varnok-jmh.jar")
file(GLOB_RECURSE _varnok_jmh_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/jmh/*.java")
file(GLOB_RECURSE _varnok_jmh22_sources CONFIGURE_DEPENDS
  "${CMAKE_CURRENT_SOURCE_DIR}/jmh-jdk22/*.java")
set(_varnok_jmh22_steps)
set(_varnok_jmh22_entries)
set(VARNOK_JMH_CRITICAL FALSE)
set(_varnok_jmh_jar_tool "${Java_JAR_EXECUTABLE}")
if(VARNOK_NEWER_JDK AND VARNOK_NEWER_JDK_MAJOR GREATER_EQUAL 22)
  set(VARNOK_JMH_CRITICAL TRUE)
  set(_varnok_jmh22_steps
    COMMAND "${VARNOK_NEWER_JDK}/bin/javac" --release 22 -Xlint:all -Xlint:-restricted -Werror
            -cp "${_varnok_jmh_dir}/classes:${_varnok_compile_cp}"
            -d "${_varnok_jmh_dir}/classes-22" ${_varnok_jmh22_sources})
  set(_varnok_jmh22_entries --release 22 -C "${_varnok_jmh_dir}/classes-22" .)
  # Only a jar tool that reads JDK 22's class files can check the versioned class.
  set(_varnok_jmh_jar_tool "${VARNOK_NEWER_JDK}/bin/jar")
endif()
add_custom_command(
  OUTPUT "${VARNOK_JMH_JAR}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_varnok_jmh_dir}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_varnok_jmh_dir}/classes"
          "${_varnok_jmh_dir}/generated"
  COMMAND "${Java_JAVAC_EXECUTABLE}" --release 17 -Xlint:all -Xlint:-processing
          -cp "${_varnok_compile_cp}" -processorpath "${_varnok_processor_path}"
          -d "${_varnok_jmh_dir}/classes" -s "${_varnok_jmh_dir}/generated"
          ${_varnok_jmh_sources}
  ${_varnok_jmh22_steps}
  COMMAND "${_varnok_jmh_jar_tool}" --create --file "${VARNOK_JMH_JAR}.part"
          -C "${_varnok_jmh_dir}/classes" . ${_varnok_jmh22_entries}
  COMMAND "${CMAKE_COMMAND}" -E rename "${VARNOK_JMH_JAR}.part" "${VARNOK_JMH_JAR}"
  DEPENDS ${_varnok_jmh_sources} ${_varnok_jmh22_sources} varnok "${_varnok_jar}"
          varnok-bench "${_varnok_bench_jar}" ${_varnok_adapter_depends}
  COMMENT "Compiling the JMH benchmarks"
  VERBATIM)
add_custom_target(varnok-jmh ALL DEPENDS "${VARNOK_JMH_JAR}")

# --- Running -----------------------------------------------------------------
# Every JVM, JMH's forks included (they inherit the launcher's options), is
# granted native access, which JDK 17 accepts too, and loads this build's
# libraries by path.
set(_varnok_results "${CMAKE_CURRENT_BINARY_DIR}/java-results")
set(_varnok_run_options --enable-native-access=ALL-UNNAMED
  "-Dcom.vornix.common.unix.varnok.library=$<TARGET_FILE:varnok_jni>"
  "-Dcom.vornix.common.unix.bench.floor.library=$<TARGET_FILE:varnok_bench_jni>"
  -cp "${VARNOK_JMH_JAR}:${_varnok_compile_cp}")
set(_varnok_jdks "${Java_JAVA_EXECUTABLE}" ${Java_VERSION_MAJOR})
if(VARNOK_NEWER_JDK)
  list(APPEND _varnok_jdks "${VARNOK_NEWER_JDK}/bin/java" ${VARNOK_NEWER_JDK_MAJOR})
endif()

set(VARNOK_JMH_FORKS 2 CACHE STRING "JMH forks per benchmark in bench-jmh")
set(VARNOK_JMH_WARMUP 3 CACHE STRING "JMH warm-up iterations per fork in bench-jmh")
set(VARNOK_JMH_ITERATIONS 5 CACHE STRING "JMH measured iterations per fork in bench-jmh")
set(VARNOK_JMH_TIME 1s CACHE STRING "Length of one JMH iteration in bench-jmh")
set(VARNOK_JMH_EXTRA_ARGS "" CACHE STRING
  "More JMH arguments for bench-jmh, e.g. a benchmark regex (not -jvmArgsAppend: it would replace the benchmarks' own)")
set(VARNOK_JAVA_ACCURACY_SECONDS 10 CACHE STRING
  "Seconds bench-accuracy-java samples the clocks on each JDK")

set(_varnok_jmh_commands
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_varnok_results}"
  COMMAND "${CMAKE_COMMAND}" -E rm -f)
set(_varnok_accuracy_commands
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${_varnok_results}")
set(_varnok_jmh_run_commands)
set(_jdks ${_varnok_jdks})
while(_jdks)
  list(POP_FRONT _jdks _java _major)
  # A JDK without critical downcalls skips their floor instead of failing it.
  # The sparse reads have a target of their own (sparse/sparse.cmake).
  set(_exclude -e "\\.SparseReads\\.")
  if(NOT (VARNOK_JMH_CRITICAL AND _major GREATER_EQUAL 22))
    list(APPEND _exclude -e "Floors\\.critical$")
  endif()
  foreach(_threads 1 2)
    set(_run "${_varnok_results}/jdk${_major}-t${_threads}")
    list(APPEND _varnok_jmh_commands "${_run}.json" "${_run}.bindings")
    list(APPEND _varnok_jmh_run_commands
      COMMAND "${_java}" ${_varnok_run_options}
              "-Dcom.vornix.common.unix.jmh.bindings=${_run}.bindings"
              org.openjdk.jmh.Main
              -f ${VARNOK_JMH_FORKS} -wi ${VARNOK_JMH_WARMUP} -w ${VARNOK_JMH_TIME}
              -i ${VARNOK_JMH_ITERATIONS} -r ${VARNOK_JMH_TIME} -t ${_threads}
              ${_exclude} -rf json -rff "${_run}.json" ${VARNOK_JMH_EXTRA_ARGS})
  endforeach()
  list(APPEND _varnok_accuracy_commands
    COMMAND "${_java}" ${_varnok_run_options} com.vornix.common.unix.bench.ClockAccuracy
            --seconds ${VARNOK_JAVA_ACCURACY_SECONDS}
            --json "${_varnok_results}/accuracy-jdk${_major}.json")
endwhile()
list(APPEND _varnok_jmh_commands ${_varnok_jmh_run_commands})

if(Python3_Interpreter_FOUND)
  set(VARNOK_JAVA_REPORT "${Python3_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/java_report.py")
  set(_varnok_report_command COMMAND ${VARNOK_JAVA_REPORT} --dir "${_varnok_results}"
    --png "${CMAKE_CURRENT_SOURCE_DIR}/jmh.png")
else()
  set(VARNOK_JAVA_REPORT "")
  set(_varnok_report_command COMMAND "${CMAKE_COMMAND}" -E echo
    "python3 was not found, so no tables: the JSON is in ${_varnok_results}")
endif()

set(_varnok_run_depends varnok varnok-jmh varnok-bench varnok_bench_jni varnok_jni)
add_custom_target(bench-jmh
  ${_varnok_jmh_commands} ${_varnok_report_command}
  DEPENDS ${_varnok_run_depends}
  USES_TERMINAL
  COMMENT "Running the JMH benchmarks on JDK ${Java_VERSION_MAJOR} and, if any, the newer JDK"
  VERBATIM)
add_custom_target(bench-accuracy-java
  ${_varnok_accuracy_commands} ${_varnok_report_command}
  DEPENDS ${_varnok_run_depends}
  USES_TERMINAL
  COMMENT "Measuring the Java epoch clocks against Instant.now()"
  VERBATIM)
add_custom_target(bench-java
  ${_varnok_jmh_commands} ${_varnok_accuracy_commands} ${_varnok_report_command}
  DEPENDS ${_varnok_run_depends}
  USES_TERMINAL
  COMMENT "Running the JMH benchmarks and the accuracy program"
  VERBATIM)

# --- Smoke runs --------------------------------------------------------------
# Each lists the benchmarks, runs a case or two for a moment (or the accuracy
# program for a fraction of a second) and renders the report from what they
# wrote. They assert no timing. JMH's lock against concurrent runs is
# ignored: these measure nothing, and other tests run beside them.
if(VARNOK_BUILD_TESTS)
  set(_smoke "${CMAKE_CURRENT_SOURCE_DIR}/java_smoke.sh")
  # "-" for no python: the report is then left out.
  set(_python -)
  if(Python3_Interpreter_FOUND)
    set(_python "${Python3_EXECUTABLE}")
  endif()
  set(_report "${_python}" "${CMAKE_CURRENT_SOURCE_DIR}/java_report.py")
  add_test(NAME bench.jmh_smoke
    COMMAND sh "${_smoke}" jmh "${CMAKE_CURRENT_BINARY_DIR}/smoke-jmh"
            "VarnokClocks\\.timeEpochForcedJni$" ${_report}
            "${Java_JAVA_EXECUTABLE}" ${_varnok_run_options})
  add_test(NAME bench.accuracy_java_smoke
    COMMAND sh "${_smoke}" accuracy "${CMAKE_CURRENT_BINARY_DIR}/smoke-accuracy" "" ${_report}
            "${Java_JAVA_EXECUTABLE}" ${_varnok_run_options})
  if(VARNOK_JMH_CRITICAL)
    # The versioned floor and the binding the newer JDK chooses by default.
    add_test(NAME bench.jmh_smoke_newer_jdk
      COMMAND sh "${_smoke}" jmh "${CMAKE_CURRENT_BINARY_DIR}/smoke-jmh-newer"
              "Floors\\.critical$|VarnokClocks\\.timeEpoch$" ${_report}
              "${VARNOK_NEWER_JDK}/bin/java" ${_varnok_run_options})
  else()
    set(_why "${VARNOK_NEWER_JDK_MISSING}")
    if(NOT _why)
      set(_why "JDK ${VARNOK_NEWER_JDK_MAJOR} (${VARNOK_NEWER_JDK}) has no critical downcalls; 22 and later have")
    endif()
    add_test(NAME bench.jmh_smoke_newer_jdk
      COMMAND sh -c "echo \"skipped: $1\"; exit 77" sh "${_why}")
  endif()
  set_tests_properties(bench.jmh_smoke bench.accuracy_java_smoke bench.jmh_smoke_newer_jdk
    PROPERTIES LABELS bench TIMEOUT 120 SKIP_RETURN_CODE 77)
endif()
