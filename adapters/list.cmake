# The adapters: Varnok's clocks where four frameworks take a clock. This is
# the one list of them; the build, the tests, the docs' tests, the install
# checks and the benchmarks iterate VARNOK_ADAPTERS and read each one's
# VARNOK_ADAPTER_<name>_<column>.
#
#   name | RELEASE: the Java release its classes are for | FRAMEWORK: the
#   framework's name | STAMPS: what falls back to the framework's own clock |
#   TEST: its test class in tests/java | FLAGS: the JVM flags its test runs
#   with (how a user configures the clock, where the framework reads it) |
#   UNIQUE: "unique" where the adapter has a unique clock, which takes a copy of
#   FallbackSequence.java.in
set(_varnok_adapter_rows
  "log4j2|8|Log4j 2|Log4j's event time stamps|Log4jAdapterTest|-Dlog4j2.clock=com.vornix.common.unix.log4j2.VarnokPreciseClock|unique"
  "opentelemetry|8|OpenTelemetry|OpenTelemetry's time stamps and durations|OpenTelemetryAdapterTest||unique"
  "micrometer|8|Micrometer|Micrometer's wall time and timings|MicrometerAdapterTest||"
  # Agrona 2 runs on Java 17 and later.
  "agrona|17|Agrona|Agrona's epoch and relative clocks|AgronaAdapterTest||")
set(VARNOK_ADAPTERS "")
set(VARNOK_ADAPTER_FRAMEWORKS "")
foreach(_row IN LISTS _varnok_adapter_rows)
  string(REPLACE "|" ";" _row "${_row}")
  list(POP_FRONT _row _name)
  list(APPEND VARNOK_ADAPTERS ${_name})
  foreach(_column IN ITEMS RELEASE FRAMEWORK STAMPS TEST FLAGS UNIQUE)
    list(POP_FRONT _row VARNOK_ADAPTER_${_name}_${_column})
  endforeach()
  list(APPEND VARNOK_ADAPTER_FRAMEWORKS "${VARNOK_ADAPTER_${_name}_FRAMEWORK}")
endforeach()
