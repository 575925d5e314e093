#include "tests/solver/backends.h"
