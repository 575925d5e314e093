#define TFR_BODY_SOURCE
#include "solver/device_memory.h"

#include <cstdlib>
#include <cstring>

#if TFR_DEVICE_PASS
#include <cuda_runtime.h>
#endif

namespace tf {

#if TFR_DEVICE_PASS
static cudaStream_t StreamOf(const Exec& ex) { return static_cast<cudaStream_t>(ex.stream); }
#endif

void* DeviceAllocZeroed(const Exec& ex, size_t bytes) {
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    void* p = nullptr;
    if (cudaMalloc(&p, bytes) != cudaSuccess) {
      cudaGetLastError();  // an allocation failure is reported as out of memory, not as CUDA
      return nullptr;
    }
    cudaMemsetAsync(p, 0, bytes, StreamOf(ex));
    return p;
  }
#else
  (void)ex;
#endif
  return std::calloc(bytes, 1);
}

void DeviceFree(const Exec& ex, void* p) {
  if (!p) return;
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    cudaFree(p);
    return;
  }
#else
  (void)ex;
#endif
  std::free(p);
}

void Upload(const Exec& ex, void* dst, const void* src, size_t bytes) {
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    cudaMemcpyAsync(dst, src, bytes, cudaMemcpyHostToDevice, StreamOf(ex));
    cudaStreamSynchronize(StreamOf(ex));
    return;
  }
#else
  (void)ex;
#endif
  std::memcpy(dst, src, bytes);
}

void Download(const Exec& ex, void* dst, const void* src, size_t bytes) {
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    cudaMemcpyAsync(dst, src, bytes, cudaMemcpyDeviceToHost, StreamOf(ex));
    cudaStreamSynchronize(StreamOf(ex));
    return;
  }
#else
  (void)ex;
#endif
  std::memcpy(dst, src, bytes);
}

void CopyOnDevice(const Exec& ex, void* dst, const void* src, size_t bytes) {
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    cudaMemcpyAsync(dst, src, bytes, cudaMemcpyDeviceToDevice, StreamOf(ex));
    return;
  }
#else
  (void)ex;
#endif
  std::memcpy(dst, src, bytes);
}

void FillZero(const Exec& ex, void* dst, size_t bytes) {
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    cudaMemsetAsync(dst, 0, bytes, StreamOf(ex));
    return;
  }
#else
  (void)ex;
#endif
  std::memset(dst, 0, bytes);
}

void WaitStream(const Exec& ex) {
#if TFR_DEVICE_PASS
  if (ex.gpu) cudaStreamSynchronize(StreamOf(ex));
#else
  (void)ex;
#endif
}

}  // namespace tf
