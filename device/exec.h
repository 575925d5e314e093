// Execution templates, the one way every per-cell, per-voxel and per-pixel computation of the
// solver and the renderer runs: one copyable body handed to kFor3 (one call per element of a 3-D
// range), kReduce (sum or maximum over a 1-D range) or kRounds (several dependent passes over a
// small range). Every call names its launch: a label, and for kFor3 the shape the range is cut
// into. On the GPU path they launch a kernel on the run's stream; on the CPU path the same body
// runs in one OpenMP parallel region.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>

#include "device/device.h"
#include "device/launch_count.h"

#if TFR_DEVICE_PASS
#include <cuda_runtime.h>
#endif

namespace tf {

enum ReduceMode : int32_t { ReduceSum = 0, ReduceMax = 1 };

// Where a call runs, and the one-value buffers through which reductions come back. The solver
// fills it from FireSim::Impl; the renderer runs on the default stream and never reduces. On the
// CPU path only `gpu` (false) and `skip` matter.
//
// `skip`, where set, points at a flag in device memory: every launch made under this Exec reads
// it when it starts and does nothing while it is nonzero (the CPU path reads it before the pass).
// A sequence whose length the device decides (the pressure solve's iterations) can so be queued,
// or recorded, before the device has decided, and stops where the flag is raised.
struct Exec {
  bool gpu = false;
  void* stream = nullptr;  // cudaStream_t on the GPU path
  double* devSum = nullptr;
  uint32_t* devMax = nullptr;
  double* hostSum = nullptr;
  uint32_t* hostMax = nullptr;
  const int32_t* skip = nullptr;
};

#if TFR_DEVICE_PASS
inline cudaStream_t StreamOf(const Exec& ex) { return static_cast<cudaStream_t>(ex.stream); }
#endif

// The host's reading of Exec::skip: true when a launch is to do nothing. A GPU kernel reads the
// flag itself; where no CUDA is built in, the GPU schedule runs on the host and the host reads it.
inline bool Skipped(const Exec& ex) {
#if TFR_DEVICE_PASS
  if (ex.gpu) return false;
#endif
  return ex.skip != nullptr && *ex.skip != 0;
}

// Below this many elements a CPU pass runs on the calling thread: waking the team costs more
// than the work (the coarse multigrid levels, the reduction of a few values).
inline constexpr int64_t kSerialBelow = 4096;
inline constexpr int64_t kSerialPixelsBelow = 1024;

// How a kFor3 range is cut up.
//   Cells:  even work per element (the solver). GPU blocks of 32 x 4 x 2; the CPU hands out z
//           slices with a static schedule.
//   Voxels: uneven work per element (a ray per voxel). GPU blocks of 8 x 8 x 4; the CPU hands out
//           one z slice at a time to whichever thread is free.
//   Pixels: uneven work on a 2-D range (ez = 1). GPU blocks of 8 x 8; the CPU hands out one row
//           at a time, and runs ranges of fewer than kSerialPixelsBelow on the calling thread.
enum class LaunchShape : uint8_t { Cells, Voxels, Pixels };

// A launch's name and shape. The label is a string literal: launch counts are kept by it.
struct Launch {
  const char* label;
  LaunchShape shape = LaunchShape::Cells;
  Launch(const char* l, LaunchShape s = LaunchShape::Cells) : label(l), shape(s) {}
};

// Where the processor has AVX2, the CPU's hottest row loops (advection, the preview march) run
// compiled for it: eight lanes instead of four, native 32-bit multiplies and three-operand
// instructions. The arithmetic of each lane is the same (no fused multiply-add), so the results
// are too. The build itself targets the x86-64 baseline, and nvcc's host pass keeps it.
#if !TFR_DEVICE_PASS && defined(__GNUC__) && defined(__x86_64__)
#define TFR_ROWS_AVX2 1
#define TFR_AVX2_ROW __attribute__((target("avx2"), noinline))
inline bool RowsUseAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#else
#define TFR_ROWS_AVX2 0
#endif

TFR_HD inline float BitsToFloat(uint32_t bits) {
#if defined(__CUDA_ARCH__)
  return __uint_as_float(bits);
#else
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
#endif
}

#if TFR_DEVICE_PASS
template <class Body>
__global__ void __launch_bounds__(256) kFor3Kernel(int ex, int ey, int ez, const int32_t* skip, Body body) {
  if (skip != nullptr && *skip != 0) return;
  const int x = int(blockIdx.x * blockDim.x + threadIdx.x);
  const int y = int(blockIdx.y * blockDim.y + threadIdx.y);
  const int z = int(blockIdx.z * blockDim.z + threadIdx.z);
  if (x >= ex || y >= ey || z >= ez) return;
  body(x, y, z);
}

template <class Body>
__global__ void __launch_bounds__(256) kReduceKernel(int n, int mode, double* sum, uint32_t* mx,
                                                    const int32_t* skip, Body body) {
  if (skip != nullptr && *skip != 0) return;  // the same for every thread: before any barrier
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

// Clears a reduction's result before its blocks add to it; left alone when the launch is skipped.
// (A template, like every kernel here, so that each source that includes it has its own.)
template <class = void>
__global__ void kClearResultKernel(double* sum, uint32_t* mx, const int32_t* skip) {
  if (skip != nullptr && *skip != 0) return;
  if (sum != nullptr) *sum = 0.0;
  if (mx != nullptr) *mx = 0u;
}

// One block runs every round; a barrier separates them.
template <class Body>
__global__ void __launch_bounds__(1024) kRoundsKernel(int rounds, int ex, int ey, int ez, const int32_t* skip,
                                                     Body body) {
  if (skip != nullptr && *skip != 0) return;
  const int n = ex * ey * ez;
  for (int round = 0; round < rounds; ++round) {
    for (int p = int(threadIdx.x); p < n; p += int(blockDim.x)) {
      const int row = p / ex, x = p - row * ex;
      body(round, x, row % ey, row / ey);
    }
    __syncthreads();
  }
}
#endif

// Calls body(x, y, z) for every 0 <= x < ex, 0 <= y < ey, 0 <= z < ez. Asynchronous on the GPU.
template <class Body>
void kFor3(const Exec& ex_, const Launch& at, int ex, int ey, int ez, const Body& body) {
  if (ex <= 0 || ey <= 0 || ez <= 0 || Skipped(ex_)) return;
  NoteLaunch(at.label);
#if TFR_DEVICE_PASS
  if (ex_.gpu) {
    const dim3 block = at.shape == LaunchShape::Cells    ? dim3(32, 4, 2)
                       : at.shape == LaunchShape::Voxels ? dim3(8, 8, 4)
                                                         : dim3(8, 8, 1);
    const dim3 grid((unsigned(ex) + block.x - 1) / block.x, (unsigned(ey) + block.y - 1) / block.y,
                    (unsigned(ez) + block.z - 1) / block.z);
    kFor3Kernel<<<grid, block, 0, static_cast<cudaStream_t>(ex_.stream)>>>(ex, ey, ez, ex_.skip, body);
    return;
  }
#endif
  const int64_t count = int64_t(ex) * ey * ez;
  if (at.shape == LaunchShape::Pixels) {
    [[maybe_unused]] const bool parallel = count >= kSerialPixelsBelow;
#pragma omp parallel for schedule(dynamic, 1) collapse(2) if (parallel)
    for (int z = 0; z < ez; ++z)
      for (int y = 0; y < ey; ++y)
        for (int x = 0; x < ex; ++x) body(x, y, z);
    return;
  }
  [[maybe_unused]] const bool parallel = count >= kSerialBelow;
  if (at.shape == LaunchShape::Voxels) {
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
    for (int z = 0; z < ez; ++z)
      for (int y = 0; y < ey; ++y)
        for (int x = 0; x < ex; ++x) body(x, y, z);
    return;
  }
#pragma omp parallel for schedule(static) if (parallel)
  for (int z = 0; z < ez; ++z)
    for (int y = 0; y < ey; ++y)
      for (int x = 0; x < ex; ++x) body(x, y, z);
}

// Calls body(round, x, y, z) for every 0 <= round < rounds over the whole range, each round
// complete before the next begins: several dependent passes over a range too small to fill the
// device. The GPU runs all of them in one launch of one block (the ranges it is meant for have a
// few thousand elements, where a launch costs more than a pass); the CPU runs them one after
// another, in kFor3's static order.
template <class Body>
void kRounds(const Exec& ex_, const Launch& at, int rounds, int ex, int ey, int ez, const Body& body) {
  if (rounds <= 0 || ex <= 0 || ey <= 0 || ez <= 0 || Skipped(ex_)) return;
  NoteLaunch(at.label);
#if TFR_DEVICE_PASS
  if (ex_.gpu) {
    const int n = ex * ey * ez;
    const unsigned threads = unsigned(std::clamp((n + 31) / 32 * 32, 32, 1024));
    kRoundsKernel<<<1, threads, 0, static_cast<cudaStream_t>(ex_.stream)>>>(rounds, ex, ey, ez, ex_.skip, body);
    return;
  }
#endif
  [[maybe_unused]] const bool parallel = int64_t(ex) * ey * ez >= kSerialBelow;
  for (int round = 0; round < rounds; ++round) {
#pragma omp parallel for schedule(static) if (parallel)
    for (int z = 0; z < ez; ++z)
      for (int y = 0; y < ey; ++y)
        for (int x = 0; x < ex; ++x) body(round, x, y, z);
  }
}

// The CPU path of kReduce and kReduceTo.
template <class Body>
double ReduceOnHost(int n, ReduceMode mode, const Body& body) {
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

// Sum (in double) or max(0, largest value) rounded to float of body(p) over 0 <= p < n, left in
// device memory for later launches to read: a sum in *sum, a maximum's float bits in *maxBits
// (the other pointer is not used). Nothing waits for it; a skipped one leaves the result as it was.
template <class Body>
void kReduceTo(const Exec& ex_, const Launch& at, int n, ReduceMode mode, double* sum, uint32_t* maxBits,
               const Body& body) {
  if (Skipped(ex_)) return;
  NoteLaunch(at.label);
#if TFR_DEVICE_PASS
  if (ex_.gpu) {
    auto s = static_cast<cudaStream_t>(ex_.stream);
    if (mode == ReduceSum)
      kClearResultKernel<><<<1, 1, 0, s>>>(sum, nullptr, ex_.skip);
    else
      kClearResultKernel<><<<1, 1, 0, s>>>(nullptr, maxBits, ex_.skip);
    if (n > 0) {
      const int blocks = std::clamp((n + 255) / 256, 1, 1024);
      kReduceKernel<<<blocks, 256, 0, s>>>(n, int(mode), sum, maxBits, ex_.skip, body);
    }
    return;
  }
#endif
  const double result = ReduceOnHost(n, mode, body);
  if (mode == ReduceSum) {
    *sum = result;
  } else {
    const float f = float(result);
    std::memcpy(maxBits, &f, sizeof f);
  }
}

// Sum (in double) or max(0, largest value) rounded to float of body(p) over 0 <= p < n. Waits for
// the result on the GPU path. Not for an Exec with a skip flag: the host could not tell a skipped
// result from a real one (a sequence under a flag reduces with kReduceTo).
template <class Body>
double kReduce(const Exec& ex_, const Launch& at, int n, ReduceMode mode, const Body& body) {
  if (Skipped(ex_)) return 0.0;
  NoteWait();
#if TFR_DEVICE_PASS
  if (ex_.gpu) {
    auto s = static_cast<cudaStream_t>(ex_.stream);
    kReduceTo(ex_, at, n, mode, ex_.devSum, ex_.devMax, body);
    if (mode == ReduceSum) {
      cudaMemcpyAsync(ex_.hostSum, ex_.devSum, sizeof(double), cudaMemcpyDeviceToHost, s);
      cudaStreamSynchronize(s);
      return *ex_.hostSum;
    }
    cudaMemcpyAsync(ex_.hostMax, ex_.devMax, sizeof(uint32_t), cudaMemcpyDeviceToHost, s);
    cudaStreamSynchronize(s);
    return double(BitsToFloat(*ex_.hostMax));
  }
#endif
  NoteLaunch(at.label);
  return ReduceOnHost(n, mode, body);
}

}  // namespace tf
