// The VDB writer reaching up into the cache: the layer check must refuse it.
#include "cache/cache_file.h"
