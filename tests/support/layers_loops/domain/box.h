// A header including another whose .cpp includes it back: a circle between files.
#include "domain/grid.h"
