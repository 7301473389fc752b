#include "java/com/vornix/common/unix/base/time_support.h"

#include <errno.h>
#include <time.h>

namespace java_com_vornix_common_unix_base {

void SleepForMilliseconds(int milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec sleep_time;
  sleep_time.tv_sec = milliseconds / 1000;
  sleep_time.tv_nsec = (milliseconds % 1000) * 1000000;
  // The remainder is written back into the request, so a sleep cut short by
  // a signal resumes with only what is left of it.
  while (nanosleep(&sleep_time, &sleep_time) != 0 && errno == EINTR) {
  }
}

}  // namespace java_com_vornix_common_unix_base
