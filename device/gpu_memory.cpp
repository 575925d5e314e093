#include "device/gpu_memory.h"

#include "device/device.h"

#if TFR_DEVICE_PASS
#include <cuda_runtime.h>
#endif

namespace tf {

size_t GpuFreeMemory() {
#if TFR_DEVICE_PASS
  size_t freeBytes = 0, totalBytes = 0;
  if (cudaMemGetInfo(&freeBytes, &totalBytes) != cudaSuccess) freeBytes = 0;
  // A failed query (no device, no driver) leaves a sticky error that the next launch would report.
  cudaGetLastError();
  return freeBytes;
#else
  return 0;
#endif
}

bool GpuPresent() {
#if TFR_DEVICE_PASS
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess) {
    cudaGetLastError();
    return false;
  }
  return count > 0;
#else
  return false;
#endif
}

}  // namespace tf
