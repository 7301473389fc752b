# The parts of the build that need more than a C++ compiler, CMake, a JDK and
# Valgrind's headers. Each has an option VARNOK_BUILD_<PART>:
#
#   AUTO  (the default for the top-level project) build the part where what
#         it needs is installed, and otherwise leave it out with one configure
#         line that names the part and the Debian package that brings it;
#   ON    build it, or stop at configure saying what is missing;
#   OFF   leave it out (configure says so).
#
# tools/install-test-deps.sh installs everything these parts need.
#
#   varnok_part_option(<PART> <doc> [<default>])  declares the option
#   varnok_part(<PART> <out-var> <title> <missing>)  decides, from the option
#       and <missing> (what the part lacks and the package that brings it, "; "
#       between several; empty when nothing), and sets <out-var> to ON or OFF
#
# An option may cover more than one part (the benchmarks: native and JMH);
# each is decided, and named when skipped, on its own.

function(varnok_part_option part doc)
  if(ARGC GREATER 2)
    set(default "${ARGV2}")
  elseif(PROJECT_IS_TOP_LEVEL)
    set(default AUTO)
  else()
    set(default OFF)
  endif()
  set(VARNOK_BUILD_${part} "${default}" CACHE STRING "${doc}: AUTO, ON or OFF")
  set_property(CACHE VARNOK_BUILD_${part} PROPERTY STRINGS AUTO ON OFF)
endfunction()

function(varnok_part part out title missing)
  string(TOUPPER "${VARNOK_BUILD_${part}}" choice)
  if(choice STREQUAL "AUTO")
    if(missing)
      message(STATUS "${title} skipped: ${missing}")
      set(${out} OFF PARENT_SCOPE)
    else()
      set(${out} ON PARENT_SCOPE)
    endif()
  elseif(choice)
    if(missing)
      message(FATAL_ERROR "${title}: VARNOK_BUILD_${part} is ${VARNOK_BUILD_${part}}, but "
        "${missing}. Install it (tools/install-test-deps.sh installs everything), or "
        "configure with -DVARNOK_BUILD_${part}=AUTO to build without it.")
    endif()
    set(${out} ON PARENT_SCOPE)
  else()
    message(STATUS "${title} skipped: VARNOK_BUILD_${part} is OFF")
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()
