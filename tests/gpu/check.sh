#!/usr/bin/env bash
# GPU check: one call on a bare machine with an NVIDIA GPU, CUDA's compiler, CMake and Ninja.
#
#   here:    tests/gpu/pack.sh        the libraries the build needs, into .gpu-pack (ignored)
#   there:   tests/gpu/check.sh       with .gpu-pack carried along
#
# It builds what the check needs for the card at hand (the solver, the renderer, the plug-in and
# the program, their tests and the benchmarks), runs those tests with the GPU cases active, bakes
# a short campfire on the GPU and on the CPU and compares the two caches, then runs the benchmarks.
# The log, a short summary and the figures (six files) go to $OUT (the folder the device tool
# brings back), else build-gpu-check/. It fails when a test failed, a GPU case was skipped (the GPU was not really
# used), the bakes differ beyond what the GPU is allowed or the GPU bake ran on the CPU.
#
#   tests/gpu/check.sh --build-only   configure and build (CPU-only where no CUDA compiler is
#                                     found), then list the tests and count the GPU cases; runs
#                                     nothing. tests/gpu/bare_build.sh uses it.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

build_only=0
case "${1:-}" in
  --build-only) build_only=1 ;;
  "") ;;
  *) echo "usage: tests/gpu/check.sh [--build-only]" >&2; exit 2 ;;
esac

out=${OUT:-$root/build-gpu-check}
mkdir -p "$out"
log="$out/gpu-check.log"
summary="$out/summary.txt"
: > "$log"
: > "$summary"
say() { echo "$@" | tee -a "$log"; }
note() { echo "$@" | tee -a "$summary" "$log"; }
fail() { note "GPU CHECK FAILED: $1"; exit 1; }
t0=$(date +%s)
elapsed() { echo "$(( $(date +%s) - t0 )) s"; }

note "== GPU check $(date -u +%FT%TZ), $(git rev-parse --short HEAD 2>/dev/null || echo 'no git')"
nvidia-smi -L 2>&1 | tee -a "$summary" "$log" || say "nvidia-smi not available"
command -v nvcc >/dev/null || [ ! -x /usr/local/cuda/bin/nvcc ] || export PATH=/usr/local/cuda/bin:$PATH
cuda=OFF
if command -v nvcc >/dev/null; then cuda=ON; nvcc --version | tail -1 | tee -a "$log"; fi
[ "$cuda" = ON ] || [ "$build_only" = 1 ] || fail "no CUDA compiler (nvcc) on this machine"

# The packed libraries: CMake finds them under the pack's prefix; the linker follows their own
# dependencies there (cpp-httplib's OpenSSL), and the programs load them from there once built.
cfg=(-DCMAKE_BUILD_TYPE=Release -DTOLVARIS_CUDA=$cuda -DCMAKE_CUDA_ARCHITECTURES="${TFR_GPU_ARCH:-native}")
pack=$root/.gpu-pack
libdir=""
if [ -d "$pack/usr" ]; then
  libdir=$pack/usr/lib/x86_64-linux-gnu
  # The architecture's folder is named as well, for a system that is not laid out as Debian is.
  cfg+=(-DCMAKE_PREFIX_PATH="$pack/usr" -DCMAKE_LIBRARY_ARCHITECTURE=x86_64-linux-gnu
        "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-rpath-link,$libdir" "-DCMAKE_SHARED_LINKER_FLAGS=-Wl,-rpath-link,$libdir"
        "-DCMAKE_MODULE_LINKER_FLAGS=-Wl,-rpath-link,$libdir")
  say "using the packed libraries in $pack"
elif [ -d .gtest ]; then
  cfg+=(-DTFR_GTEST_SOURCE="$root/.gtest")
fi
command -v ninja >/dev/null && cfg+=(-G Ninja)
# No compiler cache there: it would only cost its bookkeeping in a build that runs once.
cfg+=(-DCMAKE_CXX_COMPILER_LAUNCHER= -DCMAKE_CUDA_COMPILER_LAUNCHER=)

build=$root/build-gpu
if ! cmake -S . -B "$build" "${cfg[@]}" >>"$log" 2>&1; then
  tail -30 "$log"; fail "configure (see $log)"
fi
targets=(tolvaris tfr_module tfr_solver_tests tfr_render_tests tfr_preview_tests tfr_simulate_tests
         tfr_bake_compare_tests tfr_compare_bakes tfr_bench_solver tfr_bench_render tfr_bench_bake)
if ! cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >>"$log" 2>&1; then
  grep -E 'error|Error' "$log" | head -30; fail "build (see $log)"
fi
note "built in $(elapsed)"
[ -n "$libdir" ] && export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
# The program loads every library it was linked with (and the plug-in module) before it answers.
"$build/app/tolvaris" scene examples/campfire.json >>"$log" 2>&1 \
  || fail "the built program does not start: a library missing at run time? (see $log)"

# The tests of what was built: solver and renderer on every device, the preview commands, SIMULATE
# through the plug-in (a GPU bake where one is present) and the bake comparison.
ctest_sel=(--test-dir "$build" -L 'solver|render|bake|gpucheck')
listed=$(ctest "${ctest_sel[@]}" -N 2>>"$log" | grep -cE 'Test +#' || true)
gpu_cases=$(ctest "${ctest_sel[@]}" -N 2>>"$log" | grep -cE 'Test +#.*Gpu' || true)
note "tests: $listed listed, $gpu_cases of them GPU cases"
[ "$gpu_cases" -gt 0 ] || fail "the test list holds no GPU case"
if [ "$build_only" = 1 ]; then note "build only: nothing run ($(elapsed))"; exit 0; fi

status=0
ctest "${ctest_sel[@]}" -j 8 --output-on-failure --timeout 300 > "$out/ctest.log" 2>&1 || status=1
cat "$out/ctest.log" >> "$log"
note "$(grep -E 'tests passed' "$out/ctest.log")"
failed=$(grep -E '\*\*\*Failed|\*\*\*Exception|\*\*\*Timeout|Not Run' "$out/ctest.log" | head -20)
[ -n "$failed" ] && note "failures:" && note "$failed"
# A GPU case that skipped did not run on the GPU: that is a failure here.
# (The GPU schedule's run on the host is only possible, and only meant, in a build without CUDA.)
gpu_skipped=$(grep -E 'Gpu.*Skipped' "$out/ctest.log" | grep -v 'GpuScheduleOnHost' | head -20)
[ -n "$gpu_skipped" ] && note "GPU cases skipped:" && note "$gpu_skipped" && status=1
note "tests done ($(elapsed))"

# The campfire for 30 frames, on the GPU and on the CPU, compared frame by frame.
bake_pair() {
  local docs=$build/bake-check
  rm -rf "$docs"; mkdir -p "$docs"
  for device in gpu cpu; do
    TFR_CHECK_DEVICE=$device TFR_CHECK_CACHE="$docs/cache_$device" TFR_CHECK_SCENE="$docs/campfire_$device.json" \
      "$build/app/tolvaris" --documents "$docs" run tests/gpu/bake_variant.lua --scene examples/campfire.json >>"$log" 2>&1 \
      || { note "could not write the $device scene"; return 1; }
    "$build/app/tolvaris" --documents "$docs" simulate "$docs/campfire_$device.json" > "$docs/simulate_$device.txt" 2>>"$log" \
      || { note "the $device bake failed"; return 1; }
    note "$device bake: $(tail -1 "$docs/simulate_$device.txt")"
  done
  grep -q 'on the GPU' "$docs/simulate_gpu.txt" || { note "the GPU bake did not run on the GPU"; return 1; }
  "$build/tests/gpu/tfr_compare_bakes" "$docs/cache_gpu" "$docs/cache_cpu" > "$out/bake-compare.txt" 2>&1
  local rc=$?
  cat "$out/bake-compare.txt" >> "$log"
  note "$(tail -1 "$out/bake-compare.txt")"
  rm -rf "$docs/cache_gpu" "$docs/cache_cpu"
  return $rc
}
say "== campfire bake, GPU against CPU"
bake_pair || status=1
note "bake compared ($(elapsed))"

# The sizes the speed work is judged at: ms per substep, waits and launches per substep and the
# phases on the GPU, the CPU at 128^3 beside it; then the GPU with every recorded launch sequence
# run launch by launch, to see what the recordings save; then the renderer.
say "== solver benchmark"
"$build/bench/tfr_bench_solver" --gpu-only --sizes 128,256 --frames 5 --warmup 10 --phases > "$out/bench-solver.txt" 2>&1
"$build/bench/tfr_bench_solver" --cpu-only --sizes 128 --frames 3 --warmup 5 >> "$out/bench-solver.txt" 2>&1
say "== solver benchmark, recordings off"
"$build/bench/tfr_bench_solver" --gpu-only --no-graphs --sizes 64,128 --frames 5 --warmup 10 >> "$out/bench-solver.txt" 2>&1
cat "$out/bench-solver.txt" >> "$log"
say "== render benchmark"
"$build/bench/tfr_bench_render" > "$out/bench-render.txt" 2>&1
cat "$out/bench-render.txt" >> "$log"
note "benchmarks done ($(elapsed)); figures in bench-solver.txt and bench-render.txt"

[ "$status" = 0 ] || fail "see above and $log ($(elapsed))"
note "GPU CHECK PASSED in $(elapsed)"
