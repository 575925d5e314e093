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

namespace {

enum class Direction { HostToDevice, DeviceToHost, DeviceToDevice };

// One copy on the run's stream; waits for it when `wait` is set. On the CPU path a memcpy.
void Transfer(const Exec& ex, void* dst, const void* src, size_t bytes, Direction dir, bool wait) {
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    const cudaMemcpyKind kind = dir == Direction::HostToDevice   ? cudaMemcpyHostToDevice
                                : dir == Direction::DeviceToHost ? cudaMemcpyDeviceToHost
                                                                 : cudaMemcpyDeviceToDevice;
    cudaMemcpyAsync(dst, src, bytes, kind, StreamOf(ex));
    if (wait) cudaStreamSynchronize(StreamOf(ex));
    return;
  }
#else
  (void)ex;
  (void)dir;
  (void)wait;
#endif
  std::memcpy(dst, src, bytes);
}

}  // namespace

void Upload(const Exec& ex, void* dst, const void* src, size_t bytes) {
  Transfer(ex, dst, src, bytes, Direction::HostToDevice, true);
}

void Download(const Exec& ex, void* dst, const void* src, size_t bytes) {
  Transfer(ex, dst, src, bytes, Direction::DeviceToHost, true);
}

void CopyOnDevice(const Exec& ex, void* dst, const void* src, size_t bytes) {
  Transfer(ex, dst, src, bytes, Direction::DeviceToDevice, false);
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
