// Execution templates: every per-cell computation of the solver is one copyable body handed to
// kFor3 (one call per element of a 3-D range) or kReduce (sum or maximum over a 1-D range). On the
// GPU path they launch a kernel on the run's stream; on the CPU path the same body runs in one
// OpenMP parallel region with a static schedule over z.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <omp.h>

#include "solver/device.h"

#if TFR_DEVICE_PASS
#include <cuda_runtime.h>
#endif

namespace tf {

enum ReduceMode : int32_t { ReduceSum = 0, ReduceMax = 1 };

// Where a call runs, and the one-value buffers through which reductions come back. Filled from
// FireSim::Impl; on the CPU path only `gpu` (false) matters.
struct Exec {
  bool gpu = false;
  void* stream = nullptr;  // cudaStream_t on the GPU path
  double* devSum = nullptr;
  uint32_t* devMax = nullptr;
  double* hostSum = nullptr;
  uint32_t* hostMax = nullptr;
};

// Below this many elements a CPU pass runs on the calling thread: waking the team costs more
// than the work (the coarse multigrid levels, the reduction of a few values).
inline constexpr int64_t kSerialBelow = 4096;

inline float BitsToFloat(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

#if TFR_DEVICE_PASS
template <class Body>
__global__ void __launch_bounds__(256) kFor3Kernel(int ex, int ey, int ez, Body body) {
  const int x = int(blockIdx.x) * 32 + int(threadIdx.x);
  const int y = int(blockIdx.y) * 4 + int(threadIdx.y);
  const int z = int(blockIdx.z) * 2 + int(threadIdx.z);
  if (x >= ex || y >= ey || z >= ez) return;
  body(x, y, z);
}

template <class Body>
__global__ void __launch_bounds__(256) kReduceKernel(int n, int mode, double* sum, uint32_t* mx,
                                                    Body body) {
  __shared__ double part[256];
  const int tid = int(threadIdx.x);
  const int stride = int(gridDim.x) * 256;
  double acc = 0.0;
  for (int p = int(blockIdx.x) * 256 + tid; p < n; p += stride) {
    const double v = body(p);
    acc = mode == ReduceSum ? acc + v : fmax(acc, v);
  }
  part[tid] = acc;
  __syncthreads();
  for (int s = 128; s > 0; s >>= 1) {
    if (tid < s) part[tid] = mode == ReduceSum ? part[tid] + part[tid + s] : fmax(part[tid], part[tid + s]);
    __syncthreads();
  }
  if (tid == 0) {
    if (mode == ReduceSum) {
      atomicAdd(sum, part[0]);
    } else {
      // Every max-reduced value is non-negative, so the float bit patterns order like the values.
      atomicMax(mx, __float_as_uint(float(part[0])));
    }
  }
}
#endif

// Calls body(x, y, z) for every 0 <= x < ex, 0 <= y < ey, 0 <= z < ez. Asynchronous on the GPU.
template <class Body>
void kFor3(const Exec& ex_, int ex, int ey, int ez, const Body& body) {
  if (ex <= 0 || ey <= 0 || ez <= 0) return;
#if TFR_DEVICE_PASS
  if (ex_.gpu) {
    const dim3 block(32, 4, 2);
    const dim3 grid(unsigned(ex + 31) / 32, unsigned(ey + 3) / 4, unsigned(ez + 1) / 2);
    kFor3Kernel<<<grid, block, 0, static_cast<cudaStream_t>(ex_.stream)>>>(ex, ey, ez, body);
    return;
  }
#else
  (void)ex_;
#endif
  [[maybe_unused]] const bool parallel = int64_t(ex) * ey * ez >= kSerialBelow;
#pragma omp parallel for schedule(static) if (parallel)
  for (int z = 0; z < ez; ++z)
    for (int y = 0; y < ey; ++y)
      for (int x = 0; x < ex; ++x) body(x, y, z);
}

// Sum (in double) or max(0, largest value) rounded to float of body(p) over 0 <= p < n. Waits for
// the result on the GPU path.
template <class Body>
double kReduce(const Exec& ex_, int n, ReduceMode mode, const Body& body) {
#if TFR_DEVICE_PASS
  if (ex_.gpu) {
    auto s = static_cast<cudaStream_t>(ex_.stream);
    cudaMemsetAsync(ex_.devSum, 0, sizeof(double), s);
    cudaMemsetAsync(ex_.devMax, 0, sizeof(uint32_t), s);
    if (n > 0) {
      const int blocks = std::clamp((n + 255) / 256, 1, 1024);
      kReduceKernel<<<blocks, 256, 0, s>>>(n, int(mode), ex_.devSum, ex_.devMax, body);
    }
    if (mode == ReduceSum) {
      cudaMemcpyAsync(ex_.hostSum, ex_.devSum, sizeof(double), cudaMemcpyDeviceToHost, s);
      cudaStreamSynchronize(s);
      return *ex_.hostSum;
    }
    cudaMemcpyAsync(ex_.hostMax, ex_.devMax, sizeof(uint32_t), cudaMemcpyDeviceToHost, s);
    cudaStreamSynchronize(s);
    return double(BitsToFloat(*ex_.hostMax));
  }
#else
  (void)ex_;
#endif
  if (n <= 0) return 0.0;
  [[maybe_unused]] const bool parallel = n >= kSerialBelow;
  // Per-thread partials, each on its own cache line, combined in thread order afterwards: the
  // result does not depend on which thread finishes first, so two CPU runs are bit-identical.
  struct alignas(64) Partial { double v = 0.0; };
  [[maybe_unused]] const int threads = parallel ? std::max(omp_get_max_threads(), 1) : 1;
  // The pressure solve reduces several times per iteration: no heap allocation for the usual
  // thread counts.
  Partial local[64];
  std::vector<Partial> spill(threads > 64 ? size_t(threads) : 0);
  Partial* partial = threads > 64 ? spill.data() : local;
#pragma omp parallel num_threads(threads) if (parallel)
  {
    double acc = 0.0;
    if (mode == ReduceSum) {
#pragma omp for schedule(static) nowait
      for (int p = 0; p < n; ++p) acc += body(p);
    } else {
#pragma omp for schedule(static) nowait
      for (int p = 0; p < n; ++p) {
        const double v = body(p);
        acc = v > acc ? v : acc;
      }
    }
    partial[omp_get_thread_num()].v = acc;
  }
  double result = 0.0;
  for (int t = 0; t < threads; ++t)
    result = mode == ReduceSum ? result + partial[t].v : (partial[t].v > result ? partial[t].v : result);
  return mode == ReduceSum ? result : double(float(result));
}

}  // namespace tf
