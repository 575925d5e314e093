// A solver file reaching up into the host: the layer check must refuse it.
#include "host/core/text.h"
