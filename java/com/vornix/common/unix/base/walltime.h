// The operating system's wall clock, and the clock's shared drift cell.

#ifndef JAVA_COM_VORNIX_COMMON_UNIX_BASE_WALLTIME_H_
#define JAVA_COM_VORNIX_COMMON_UNIX_BASE_WALLTIME_H_

namespace java_com_vornix_common_unix_base {

// Seconds since the Unix epoch, microsecond-grained, from gettimeofday.
double WallTime_Slow();

// The drift correction in seconds. Any thread may set or get it at any time;
// a reader always sees one whole earlier write.
void SetDrift(float drift);
float GetDrift();

}  // namespace java_com_vornix_common_unix_base

#endif  // JAVA_COM_VORNIX_COMMON_UNIX_BASE_WALLTIME_H_
