// Whether there is a GPU to run on, and its free memory (for choosing a grid size before a solver
// exists).
#pragma once

#include <cstddef>

namespace tf {

// Free bytes on the CUDA runtime's current device; 0 in a CPU-only build, without a device, or
// when the query fails (the runtime's error state is cleared again).
size_t GpuFreeMemory();

// True when the CUDA runtime reports at least one device (always false in a CPU-only build).
bool GpuPresent();

}  // namespace tf
