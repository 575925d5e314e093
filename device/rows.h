// Row passes: an element function run over whole rows on the CPU, so that the compiler can put
// the elements of a row in vector lanes, and one element per thread on the GPU. A row is split
// into the stretch inside an IndexBox, where the function may take a shortcut that holds only
// there (no clamp reached), and the two ends. Used where a per-element kFor3 body would neither
// inline nor vectorise on the CPU: kRows takes one body for such a pass.
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

// How a row pass shares its rows among the CPU's threads: z layers in equal runs (Even), one z
// layer at a time to whichever thread is free (Uneven: rows whose work differs, as where a pass
// skips empty space), or one row at a time to whichever thread is free (Rows: a 2-D range of
// uneven rows, the renderer's pixels).
enum class RowWork : uint8_t { Even, Uneven, Rows };

// Calls row.run<inside>(i0, i1, j, k) over the (n, ey, ez) elements, with inside true exactly for
// the elements in `box`: one element per GPU thread, whole rows on the CPU, shared among the
// threads as `work` says when the pass has kSerialBelow elements or more (counted as elements,
// not rows). A pass that works a row at a time (the MacCormack stages, which trace a block of
// cells side by side and skip empty stretches) calls it directly; every other row pass is one
// body handed to kRows.
template <class Row>
void ForRowsOnHost(const char* label, int n, int ey, int ez, IndexBox box, const Row& row, RowWork work);

template <class Row>
void ForRows(const Exec& ex, const char* label, int n, int ey, int ez, IndexBox box, const Row& row,
             RowWork work = RowWork::Even) {
  if (ex.gpu) {
    kFor3(ex, label, n, ey, ez, [=] TFR_HD(int i, int j, int k) {
      if (box.inside(i, j, k))
        row.template run<true>(i, i + 1, j, k);
      else
        row.template run<false>(i, i + 1, j, k);
    });
    return;
  }
  ForRowsOnHost(label, n, ey, ez, box, row, work);
}

// The CPU path of ForRows and kRows.
template <class Row>
void ForRowsOnHost(const char* label, int n, int ey, int ez, IndexBox box, const Row& row, RowWork work) {
  if (n <= 0 || ey <= 0 || ez <= 0) return;
  NoteLaunch(label);
  [[maybe_unused]] const bool parallel =
      int64_t(n) * ey * ez >= (work == RowWork::Rows ? kSerialPixelsBelow : kSerialBelow);
  auto one = [&](int j, int k) {
#if TFR_ROWS_AVX2
    if (RowsUseAvx2()) {
      WalkRowAvx2(row, n, box, j, k);
      return;
    }
#endif
    WalkRow(row, n, box, j, k);
  };
  auto layer = [&](int k) {
    for (int j = 0; j < ey; ++j) one(j, k);
  };
  if (work == RowWork::Rows) {
#pragma omp parallel for schedule(dynamic, 1) collapse(2) if (parallel)
    for (int k = 0; k < ez; ++k)
      for (int j = 0; j < ey; ++j) one(j, k);
  } else if (work == RowWork::Uneven) {
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
    for (int k = 0; k < ez; ++k) layer(k);
  } else {
#pragma omp parallel for schedule(static) if (parallel)
    for (int k = 0; k < ez; ++k) layer(k);
  }
}

// A row body is written for one element, `body(inside, i, j, k)`, and handed to kRows as a kFor3
// body is to kFor3. TFR_ROW_BODY after its parameter list has the host compiler inline it into
// the row loops whatever its size, where `inside` becomes a constant and the elements of a block
// go in vector lanes. (nvcc takes no attribute there; its host pass has no vector rows either.)
#if defined(__GNUC__) && !defined(__CUDACC__)
#define TFR_ROW_BODY __attribute__((always_inline))
#else
#define TFR_ROW_BODY
#endif

// How a kRows pass walks a stretch of a row on the CPU. Lanes: in blocks of kLanes elements (see
// ForLanes), for a body that computes its element from arrays it does not write, since the last
// block may repeat a few elements. Plain: each element once, in order, for a body that works in
// place; the loop still goes in vector lanes.
enum class RowLoop : uint8_t { Lanes, Plain };

// Element i of a stretch. It holds its own copy of the body, made for the stretch: the compiler
// then keeps the body's arrays and factors in registers across the row, which it cannot do for
// members reached through a reference that the row's writes might alias.
template <class Body, bool Inside>
struct RowElement {
  Body body;
  int j, k;
  TFR_HD TFR_SAMPLE_INLINE void operator()(int i) const { body(Inside, i, j, k); }
};

// The stretches of row (j, k) with `inside` fixed: where `box` holds the row, its ends apart from
// the inside.
template <class Body, RowLoop Loop>
struct RowsOf {
  Body body;
  template <bool Inside>
  TFR_HD TFR_SAMPLE_INLINE void run(int i0, int i1, int j, int k) const {
    if constexpr (Loop == RowLoop::Lanes) {
      ForLanes(i0, i1, RowElement<Body, Inside>{body, j, k});
    } else {
      const RowElement<Body, Inside> at{body, j, k};
      TFR_ROW_LOOP
      for (int i = i0; i < i1; ++i) at(i);
    }
  }
};

// Calls body(inside, i, j, k) for every element of the (n, ey, ez) range, with inside true exactly
// for the elements in `box`, where the body may take a shortcut that holds only there. The GPU
// runs one element per thread. The CPU walks whole rows as `loop` says, compiled for AVX2 where
// the processor has it, and shares them among its threads as `work` says.
template <class Body>
void kRows(const Exec& ex, const Launch& at, int n, int ey, int ez, IndexBox box, const Body& body,
           RowWork work = RowWork::Even, RowLoop loop = RowLoop::Lanes) {
  if (ex.gpu) {
    kFor3(ex, at, n, ey, ez, [=] TFR_HD(int i, int j, int k) { body(box.inside(i, j, k), i, j, k); });
    return;
  }
  if (Skipped(ex)) return;
  if (loop == RowLoop::Lanes)
    ForRowsOnHost(at.label, n, ey, ez, box, RowsOf<Body, RowLoop::Lanes>{body}, work);
  else
    ForRowsOnHost(at.label, n, ey, ez, box, RowsOf<Body, RowLoop::Plain>{body}, work);
}

}  // namespace tf
