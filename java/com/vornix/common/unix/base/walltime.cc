#include "java/com/vornix/common/unix/base/walltime.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/time.h>

#include <atomic>

#include "dynamic_annotations/dynamic_annotations.h"

namespace java_com_vornix_common_unix_base {

// The drift cell: a float of seconds in the low 32 bits. Kept as one 64-bit
// word so that every store and load is a single indivisible access, and
// relaxed because the clock orders it against its epoch itself.
static std::atomic<uint64_t> drift_adjust(0);

namespace {

struct drift_adjust_annotator {
  drift_adjust_annotator() {
    // Readers may pair a reading with a neighbour's drift; the error is tiny.
    ANNOTATE_BENIGN_RACE_SIZED(&drift_adjust, sizeof(drift_adjust), "drift_adjust: Race can cause only minor drift");
  }
} thedrift_adjust_annotator;

}  // namespace

double WallTime_Slow() {
  // Zeroed so that a failing call (it cannot fail with a valid pointer)
  // still yields a defined value.
  struct timeval tv = {0, 0};
  gettimeofday(&tv, NULL);
  return tv.tv_sec + tv.tv_usec / 1000000.0;
}

__attribute__((hot)) void SetDrift(float drift) {
  uint32_t bits;
  memcpy(&bits, &drift, sizeof(bits));
  drift_adjust.store(bits, std::memory_order_relaxed);
}

__attribute__((hot)) float GetDrift() {
  const uint32_t bits =
      static_cast<uint32_t>(drift_adjust.load(std::memory_order_relaxed));
  float drift;
  memcpy(&drift, &bits, sizeof(drift));
  return drift;
}

}  // namespace java_com_vornix_common_unix_base
