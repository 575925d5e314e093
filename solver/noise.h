// Hashed value noise driving the turbulence force. The same function runs inside the solver's
// bodies on either device and, through this declaration, on the host.
#pragma once

#include "solver/device.h"

namespace tf {

// Smoothly interpolated pseudo-random values in [-1, 1): every integer lattice point carries a
// value hashed from its coordinates and `seed`, blended between the eight corners of the unit
// cell around (x, y, z) with the weights f^2 (3 - 2f). At integer points the result is the value
// of that lattice point.
TFR_HD float ValueNoise(float x, float y, float z, int seed);

}  // namespace tf
