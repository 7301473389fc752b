#include "java/com/vornix/common/unix/base/time_support.h"
