// The VDB writer reaching up into the cache: the layer check must refuse it.
#include "sim/cache_file.h"
