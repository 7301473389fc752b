# Builds tests/install/maven_consumer with Maven against the installed entry
# com.vornix:varnok:VERSION, both ways the README shows, and runs it:
#   file-repository    the prefix's share/maven-repo named in the POM as a
#                      file: repository;
#   install-file       the entry put into the local repository by
#                      mvn install:install-file, and the POM naming none.
# Offline: Maven's own plugins come from PLUGIN_REPO (Debian's packaged ones
# in /usr/share/maven-repo), served as a file: repository too, and every
# local repository is a fresh directory of the work directory, so nothing is
# fetched and nothing is written outside it. Run by CTest as cmake -P with
# the variables of install_common.cmake and MVN, JDK_HOME, PLUGIN_REPO,
# DATADIR, VERSION, CONSUMER_DIR and ADAPTERS set.

include("${CMAKE_CURRENT_LIST_DIR}/install_common.cmake")
# The skip report picks up a "skipped: " line; the test's
# SKIP_REGULAR_EXPRESSION makes CTest count it as skipped.
if(NOT MVN)
  message("skipped: mvn was not found when the build was configured")
  return()
endif()
set(missing "")
foreach(plugin IN ITEMS compiler resources jar surefire install)
  if(NOT IS_DIRECTORY "${PLUGIN_REPO}/org/apache/maven/plugins/maven-${plugin}-plugin")
    list(APPEND missing "maven-${plugin}-plugin")
  endif()
endforeach()
if(missing)
  list(JOIN missing ", " missing)
  message("skipped: Maven cannot build offline: ${missing} not in ${PLUGIN_REPO} "
          "(on Debian: apt-get install libmaven-compiler-plugin-java "
          "libmaven-resources-plugin-java libmaven-jar-plugin-java libsurefire-java "
          "libmaven-install-plugin-java)")
  return()
endif()
find_installed_tree()

set(repository "${prefix}/${DATADIR}/maven-repo")
set(entry "${repository}/com/vornix/varnok/${VERSION}/varnok-${VERSION}")
set(maven "${work}/maven")
file(REMOVE_RECURSE "${maven}")
file(MAKE_DIRECTORY "${maven}/tmp")
configure_file("${CONSUMER_DIR}/settings.xml.in" "${maven}/settings.xml" @ONLY)
file(WRITE "${maven}/global-settings.xml" "<settings/>\n")
set(failures "")

# Runs mvn with LOCAL as its local repository; a warning that names the
# entry (a checksum missing or wrong, a POM Maven finds invalid) fails. (The
# work directory's own name holds "varnok": the group's path is what counts.)
function(maven local)
  run("${CMAKE_COMMAND}" -E env --unset=MAVEN_OPTS --unset=MAVEN_ARGS "JAVA_HOME=${JDK_HOME}"
      "${MVN}" -B -o -Daether.offline.protocols=file -s "${maven}/settings.xml"
      -gs "${maven}/global-settings.xml" "-Dmaven.repo.local=${local}" ${ARGN})
  string(REGEX MATCHALL "[^\n]*WARNING[^\n]*com[./]vornix[^\n]*" warned "${output}")
  if(warned)
    list(APPEND failures ${warned})
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# Builds the consumer with the POM's repositories set to REPOSITORIES, then
# runs it on the jar Maven resolved, which must be the installed one.
function(build_and_run way REPOSITORIES)
  set(project "${maven}/${way}")
  set(local "${maven}/${way}-local-repository")
  file(COPY "${CONSUMER_DIR}/src" DESTINATION "${project}")
  configure_file("${CONSUMER_DIR}/pom.xml.in" "${project}/pom.xml" @ONLY)
  maven("${local}" -f "${project}/pom.xml" package)

  set(resolved "${local}/com/vornix/varnok/${VERSION}/varnok-${VERSION}.jar")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${resolved}" "${entry}.jar"
                  RESULT_VARIABLE differ)
  if(differ)
    list(APPEND failures "${way}: ${resolved} is not the installed ${entry}.jar")
  endif()
  # No copy on the library path can stand in: the library comes out of the jar.
  run("${JDK_HOME}/bin/java" "-Djava.io.tmpdir=${maven}/tmp" "-Djava.library.path=${maven}/none"
      -cp "${project}/target/consumer-1.jar:${resolved}" example.ReadsTheClock)
  file(REAL_PATH "${resolved}" resolved)
  foreach(line IN ITEMS "jar: ${resolved}\n" "version: ${VERSION}\n" "library: ${maven}/tmp/")
    string(FIND "${output}" "${line}" at)
    if(at EQUAL -1)
      list(APPEND failures "${way}: the program did not print ${line}")
    endif()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

build_and_run(file-repository "  <repositories>
    <repository>
      <id>varnok</id>
      <url>file://${repository}</url>
    </repository>
  </repositories>")

maven("${maven}/install-file-local-repository" install:install-file
      "-Dfile=${entry}.jar" "-DpomFile=${entry}.pom"
      "-Dsources=${entry}-sources.jar" "-Djavadoc=${entry}-javadoc.jar")
build_and_run(install-file "")

# What an IDE takes from the sources and javadoc jars, and the licence in
# each (java.jar.contents looks into the jar itself).
foreach(jar_entry IN ITEMS
    "-sources.jar|com/vornix/common/unix/VarnokClock.java"
    "-sources.jar|module-info.java"
    "-sources.jar|META-INF/LICENSE"
    "-javadoc.jar|com.vornix.common.unix/com/vornix/common/unix/VarnokClock.html"
    "-javadoc.jar|META-INF/LICENSE")
  string(REPLACE "|" ";" jar_entry "${jar_entry}")
  list(GET jar_entry 0 suffix)
  list(GET jar_entry 1 name)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar tf "${entry}${suffix}"
                  OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
  string(FIND "\n${listing}" "\n${name}\n" at)
  if(at EQUAL -1)
    list(APPEND failures "varnok-${VERSION}${suffix} lacks ${name}")
  endif()
endforeach()

# The adapters' entries beside it (ADAPTERS, '|'-separated artifact ids):
# every file there, each checksum right, the POM naming the core.
string(REPLACE "|" ";" adapters "${ADAPTERS}")
foreach(artifact IN LISTS adapters)
  set(base "${repository}/com/vornix/${artifact}/${VERSION}/${artifact}-${VERSION}")
  foreach(file IN ITEMS "${base}.jar" "${base}.pom" "${base}-sources.jar" "${base}-javadoc.jar")
    foreach(algorithm IN ITEMS SHA1 MD5)
      string(TOLOWER "${algorithm}" extension)
      if(NOT EXISTS "${file}" OR NOT EXISTS "${file}.${extension}")
        list(APPEND failures "${file} or its .${extension} is not installed")
        continue()
      endif()
      file(${algorithm} "${file}" digest)
      file(READ "${file}.${extension}" recorded)
      if(NOT digest STREQUAL recorded)
        list(APPEND failures "${file}.${extension} does not match the file")
      endif()
    endforeach()
  endforeach()
  if(EXISTS "${base}.pom")
    file(READ "${base}.pom" pom)
    if(NOT pom MATCHES "<artifactId>varnok</artifactId>[ \n]*<version>${VERSION}</version>")
      list(APPEND failures "${base}.pom does not depend on com.vornix:varnok:${VERSION}")
    endif()
  endif()
endforeach()

fail_if_any("${failures}")
message("Maven builds against ${repository} both ways, and the program reads the clock; "
        "the adapters' entries are there: ${adapters}")
