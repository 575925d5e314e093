#include "box.h"
