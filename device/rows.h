// Row passes: an element function run over whole rows on the CPU, so that the compiler can put
// the elements of a row in vector lanes, and one element per thread on the GPU. A row is split
// into the stretch inside an IndexBox, where the function may take a shortcut that holds only
// there (no clamp reached), and the two ends. Used where a per-element kFor3 body would neither
// inline nor vectorise: advection and the curl.
#pragma once

#include <cstdint>

#include "device/exec.h"
#include "device/sampling.h"

namespace tf {

// Calls at(i) for i0 <= i < i1. A stretch of at least kLanes elements goes in blocks of exactly
// kLanes, a loop with a constant trip count that vectorises whole, with no scalar remainder: the
// last block is moved back to end at i1 and repeats a few elements, which is harmless because
// every pass computes each element from arrays it does not write, so a repeat writes the same
// value again. (On the GPU a row is one element long.)
inline constexpr int kLanes = 8;

// Tells the host compiler that a row loop carries no dependence from one element to the next,
// which it cannot prove once the arrays sit in the element function's members. (GCC alone; nvcc
// and clang would warn about the pragma.)
#if defined(__GNUC__) && !defined(__CUDACC__) && !defined(__clang__)
#define TFR_ROW_LOOP _Pragma("GCC ivdep")
#else
#define TFR_ROW_LOOP
#endif

template <class At>
TFR_HD TFR_SAMPLE_INLINE void ForLanes(int i0, int i1, const At& at) {
  if (i1 - i0 < kLanes) {
    for (int i = i0; i < i1; ++i) at(i);
    return;
  }
  for (int b = i0; b < i1; b += kLanes) {
    const int s = b + kLanes <= i1 ? b : i1 - kLanes;
    TFR_ROW_LOOP
    for (int l = 0; l < kLanes; ++l) at(s + l);
  }
}

// A whole row (j, k) of n elements on the CPU: the stretch inside `box` and the two ends.
template <class Row>
TFR_HD TFR_SAMPLE_INLINE void WalkRow(const Row& row, int n, const IndexBox& box, int j, int k) {
  if (!box.rowInside(j, k)) {
    row.template run<false>(0, n, j, k);
    return;
  }
  row.template run<false>(0, box.lo[0], j, k);
  row.template run<true>(box.lo[0], box.hi[0] + 1, j, k);
  row.template run<false>(box.hi[0] + 1, n, j, k);
}

#if TFR_ROWS_AVX2
template <class Row>
TFR_AVX2_ROW void WalkRowAvx2(const Row& row, int n, IndexBox box, int j, int k) {
  WalkRow(row, n, box, j, k);
}
#endif

// Calls row.run<inside>(i0, i1, j, k) over the (n, ey, ez) elements, with inside true exactly for
// the elements in `box`: one element per GPU thread, whole rows on the CPU, shared among the
// threads when the pass has kSerialBelow elements or more (counted as elements, not rows): in
// equal runs of z layers, or with `uneven` (rows whose work differs, as where a pass skips empty
// space) one layer at a time to whichever thread is free.
template <class Row>
void ForRows(const Exec& ex, const char* label, int n, int ey, int ez, IndexBox box, const Row& row,
             bool uneven = false) {
  if (ex.gpu) {
    kFor3(ex, label, n, ey, ez, [=] TFR_HD(int i, int j, int k) {
      if (box.inside(i, j, k))
        row.template run<true>(i, i + 1, j, k);
      else
        row.template run<false>(i, i + 1, j, k);
    });
    return;
  }
  if (n <= 0 || ey <= 0 || ez <= 0) return;
  NoteLaunch(label);
  [[maybe_unused]] const bool parallel = int64_t(n) * ey * ez >= kSerialBelow;
  auto layer = [&](int k) {
#if TFR_ROWS_AVX2
    if (RowsUseAvx2()) {
      for (int j = 0; j < ey; ++j) WalkRowAvx2(row, n, box, j, k);
      return;
    }
#endif
    for (int j = 0; j < ey; ++j) WalkRow(row, n, box, j, k);
  };
  if (uneven) {
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
    for (int k = 0; k < ez; ++k) layer(k);
  } else {
#pragma omp parallel for schedule(static) if (parallel)
    for (int k = 0; k < ez; ++k) layer(k);
  }
}

}  // namespace tf
