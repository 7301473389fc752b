#include "java/com/vornix/common/unix/base/cycleclock.h"
