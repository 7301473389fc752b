#include "java/com/vornix/common/unix/base/walltime.h"
