// Free memory of the current GPU, for choosing a grid size before a solver exists.
#pragma once

#include <cstddef>

namespace tf {

// Free bytes on the CUDA runtime's current device; 0 in a CPU-only build, without a device, or
// when the query fails (the runtime's error state is cleared again).
size_t GpuFreeMemory();

}  // namespace tf
