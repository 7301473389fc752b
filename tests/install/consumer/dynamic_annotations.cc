#include "dynamic_annotations/dynamic_annotations.h"
