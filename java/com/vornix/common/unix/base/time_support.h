// A sleep that survives signals.

#ifndef JAVA_COM_VORNIX_COMMON_UNIX_BASE_TIME_SUPPORT_H_
#define JAVA_COM_VORNIX_COMMON_UNIX_BASE_TIME_SUPPORT_H_

namespace java_com_vornix_common_unix_base {

// Sleeps the whole duration even when signals interrupt it; returns at once
// for a duration of zero or less.
void SleepForMilliseconds(int milliseconds);

}  // namespace java_com_vornix_common_unix_base

#endif  // JAVA_COM_VORNIX_COMMON_UNIX_BASE_TIME_SUPPORT_H_
