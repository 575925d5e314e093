#define TFR_BODY_SOURCE
#include "device/device_memory.h"

#include <cstdlib>
#include <cstring>

#if TFR_DEVICE_PASS
#include <cuda_runtime.h>
#endif

namespace tf {

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
  if (bytes == 0) return;  // an empty array may have no storage at either end
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
  if (bytes == 0 || Skipped(ex)) return;
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    if (ex.skip == nullptr) {
      cudaMemsetAsync(dst, 0, bytes, StreamOf(ex));
      return;
    }
    // A memset cannot read the skip flag; a kernel that does clears instead: whole words, then
    // the bytes of a last part word, one element per thread over rows of 1024 in layers of 64.
    uint32_t* words = static_cast<uint32_t*>(dst);
    uint8_t* tail = static_cast<uint8_t*>(dst);
    const size_t wordCount = bytes / 4, count = wordCount + bytes % 4;
    const int layers = int((count + 65535) / 65536);
    kFor3(ex, "fill zero", 1024, 64, layers, [=] TFR_HD(int x, int y, int z) {
      const size_t i = size_t(x) + 1024 * (size_t(y) + 64 * size_t(z));
      if (i < wordCount)
        words[i] = 0u;
      else if (i < count)
        tail[4 * wordCount + (i - wordCount)] = 0;
    });
    return;
  }
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

bool DeviceOk(const Exec& ex) {
#if TFR_DEVICE_PASS
  if (ex.gpu) {
    const cudaError_t waited = cudaStreamSynchronize(StreamOf(ex));
    const cudaError_t last = cudaGetLastError();  // also clears a sticky launch error
    return waited == cudaSuccess && last == cudaSuccess;
  }
#else
  (void)ex;
#endif
  return true;
}

}  // namespace tf
