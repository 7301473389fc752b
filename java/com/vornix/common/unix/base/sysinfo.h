// The rate of the time-stamp counter, discovered from the kernel's files.

#ifndef JAVA_COM_VORNIX_COMMON_UNIX_BASE_SYSINFO_H_
#define JAVA_COM_VORNIX_COMMON_UNIX_BASE_SYSINFO_H_

namespace java_com_vornix_common_unix_base {

// Discovers the counter's rate afresh on every call. May sleep one second
// when the kernel's files give no usable rate; call it at start-up only.
void InitializeSystemInfo();

// Counter ticks per second as last discovered; 1.0 before any discovery.
double CyclesPerSecond();

}  // namespace java_com_vornix_common_unix_base

#endif  // JAVA_COM_VORNIX_COMMON_UNIX_BASE_SYSINFO_H_
