# A JDK newer than the building one: VARNOK_EXTRA_JDK, or else the newest under
# /usr/lib/jvm, by the JAVA_VERSION of its release file. The jar's JDK 22
# classes are compiled with it, and the Java tests and benchmarks run on it
# too. Sets VARNOK_NEWER_JDK (its home, or empty), VARNOK_NEWER_JDK_MAJOR and,
# where there is none, VARNOK_NEWER_JDK_MISSING (why, for skipped tests).
set(VARNOK_EXTRA_JDK "" CACHE PATH
  "Home of a JDK newer than the building one, for the JDK 22 classes, the Java tests and benchmarks; empty: the newest in /usr/lib/jvm")
file(GLOB _varnok_homes LIST_DIRECTORIES true /usr/lib/jvm/*)
set(VARNOK_NEWER_JDK_MAJOR ${Java_VERSION_MAJOR})
set(VARNOK_NEWER_JDK "")
foreach(home IN LISTS VARNOK_EXTRA_JDK _varnok_homes)
  set(major 0)
  if(EXISTS "${home}/bin/java" AND EXISTS "${home}/release")
    file(STRINGS "${home}/release" line REGEX "^JAVA_VERSION=\"[0-9]+" LIMIT_COUNT 1)
    if(line MATCHES "\"([0-9]+)")
      set(major ${CMAKE_MATCH_1})
    endif()
  endif()
  if(major AND home STREQUAL VARNOK_EXTRA_JDK)
    set(VARNOK_NEWER_JDK_MAJOR ${major})
    set(VARNOK_NEWER_JDK "${home}")
    break()
  elseif(major GREATER VARNOK_NEWER_JDK_MAJOR)
    set(VARNOK_NEWER_JDK_MAJOR ${major})
    set(VARNOK_NEWER_JDK "${home}")
  endif()
endforeach()
if(VARNOK_EXTRA_JDK AND NOT VARNOK_NEWER_JDK STREQUAL VARNOK_EXTRA_JDK)
  message(FATAL_ERROR "VARNOK_EXTRA_JDK=${VARNOK_EXTRA_JDK} holds no JDK (bin/java, release)")
elseif(VARNOK_NEWER_JDK)
  set(VARNOK_NEWER_JDK_MISSING "")
  message(STATUS "A newer JDK: JDK ${VARNOK_NEWER_JDK_MAJOR} in ${VARNOK_NEWER_JDK}")
else()
  set(VARNOK_NEWER_JDK_MISSING
    "no JDK newer than ${Java_VERSION_MAJOR} in /usr/lib/jvm, and no -DVARNOK_EXTRA_JDK=DIR")
  message(STATUS "A newer JDK: none, ${VARNOK_NEWER_JDK_MISSING}")
endif()
