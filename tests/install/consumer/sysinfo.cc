#include "java/com/vornix/common/unix/base/sysinfo.h"
