#define TFR_BODY_SOURCE
#include "solver/device_memory.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

// ---- launch accounting ------------------------------------------------------------------------

namespace {

std::atomic<bool> gCounting{false};
std::atomic<bool> gGraphs{true};
std::mutex gCountLock;
std::vector<LaunchCount> gCounts;  // guarded by gCountLock
int64_t gWaits = 0;                // guarded by gCountLock
// Launches a graph records on this thread are counted when the graph replays, not now.
thread_local bool tRecording = false;

}  // namespace

void SetLaunchGraphs(bool on) { gGraphs.store(on, std::memory_order_relaxed); }

bool LaunchGraphsOn() { return gGraphs.load(std::memory_order_relaxed); }

void SetLaunchCounting(bool on) { gCounting.store(on, std::memory_order_relaxed); }

bool LaunchCountingOn() { return gCounting.load(std::memory_order_relaxed); }

void CountLaunch(const char* label) {
  if (tRecording) return;
  const std::lock_guard<std::mutex> lock(gCountLock);
  for (LaunchCount& c : gCounts) {
    if (c.label == label) {
      ++c.launches;
      return;
    }
  }
  gCounts.push_back(LaunchCount{label, 1});
}

void ResetLaunchCounts() {
  const std::lock_guard<std::mutex> lock(gCountLock);
  gCounts.clear();
  gWaits = 0;
}

void CountWait() {
  const std::lock_guard<std::mutex> lock(gCountLock);
  ++gWaits;
}

int64_t TotalWaits() {
  const std::lock_guard<std::mutex> lock(gCountLock);
  return gWaits;
}

int64_t TotalLaunches() {
  const std::lock_guard<std::mutex> lock(gCountLock);
  int64_t total = 0;
  for (const LaunchCount& c : gCounts) total += c.launches;
  return total;
}

std::vector<LaunchCount> LaunchCounts() {
  std::vector<LaunchCount> out;
  {
    const std::lock_guard<std::mutex> lock(gCountLock);
    out = gCounts;
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const LaunchCount& a, const LaunchCount& b) { return a.launches > b.launches; });
  return out;
}

// ---- launch graphs ----------------------------------------------------------------------------

bool LaunchGraph::BeginRecording(const Exec& ex) {
#if TFR_DEVICE_PASS
  // Thread-local capture: another thread's work on the legacy stream does not break the recording.
  if (cudaStreamBeginCapture(StreamOf(ex), cudaStreamCaptureModeThreadLocal) != cudaSuccess) {
    cudaGetLastError();
    return false;
  }
  tRecording = true;
  return true;
#else
  (void)ex;
  return false;
#endif
}

bool LaunchGraph::EndRecording(const Exec& ex) {
#if TFR_DEVICE_PASS
  tRecording = false;
  cudaGraph_t graph = nullptr;
  if (cudaStreamEndCapture(StreamOf(ex), &graph) != cudaSuccess || graph == nullptr) {
    cudaGetLastError();
    if (graph != nullptr) cudaGraphDestroy(graph);
    return false;
  }
  cudaGraphExec_t exec = nullptr;
  const cudaError_t made = cudaGraphInstantiate(&exec, graph, 0);
  cudaGraphDestroy(graph);
  if (made != cudaSuccess) {
    cudaGetLastError();
    return false;
  }
  graph_ = exec;
  return true;
#else
  (void)ex;
  return false;
#endif
}

void LaunchGraph::Replay(const Exec& ex, const char* label) {
  NoteLaunch(label);
#if TFR_DEVICE_PASS
  cudaGraphLaunch(static_cast<cudaGraphExec_t>(graph_), StreamOf(ex));
#else
  (void)ex;
#endif
}

void LaunchGraph::Reset() {
#if TFR_DEVICE_PASS
  if (graph_ != nullptr) cudaGraphExecDestroy(static_cast<cudaGraphExec_t>(graph_));
#endif
  graph_ = nullptr;
  failed_ = false;
}

}  // namespace tf
