// Includes that point down and form no circle pass.
#include "domain/box.h"
#include "domain/grid.h"
