#!/usr/bin/env bash
# GPU check: on a machine with an NVIDIA GPU, build with CUDA, run the whole suite with the GPU
# cases active and print a short summary. Fails when any GPU case was skipped (the GPU path was
# not really used) or any test failed. Meant to finish well inside 8 minutes on a 16-core machine.
#
# Where the machine has no GoogleTest package, carry Debian's sources along:
#   mkdir -p .gtest && cp -r /usr/src/googletest/. .gtest/ && echo /.gtest/ >> .git/info/exclude
# and the build picks them up from .gtest/.
set -uo pipefail
cd "$(dirname "$0")/../.."

out=${OUT:-build-gpu-check}
mkdir -p "$out"
log="$out/gpu-check.log"
: > "$log"
say() { echo "$@" | tee -a "$log"; }

say "== GPU check $(date -u +%FT%TZ)"
nvidia-smi -L 2>&1 | tee -a "$log" || say "nvidia-smi not available"
command -v nvcc >/dev/null || export PATH=/usr/local/cuda/bin:$PATH
nvcc --version | tail -1 | tee -a "$log"

arch=${TFR_GPU_ARCH:-native}   # only the card at hand: keeps the build short
extra=()
[ -d .gtest ] && extra+=("-DTFR_GTEST_SOURCE=$PWD/.gtest")
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)

start=$(date +%s)
if ! cmake -S . -B build-gpu "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DTOLVARIS_CUDA=ON \
     -DCMAKE_CUDA_ARCHITECTURES="$arch" "${extra[@]}" >>"$log" 2>&1; then
  tail -30 "$log"; say "GPU CHECK FAILED: configure"; exit 1
fi
if ! cmake --build build-gpu -j "$(nproc)" >>"$log" 2>&1; then
  grep -E 'error' "$log" | head -30; say "GPU CHECK FAILED: build"; exit 1
fi
say "built in $(( $(date +%s) - start )) s"

ctest --test-dir build-gpu -j 4 --output-on-failure --timeout 300 > "$out/ctest.log" 2>&1
rc=$?
cat "$out/ctest.log" >> "$log"
gpu_skipped=$(grep -cE 'Skipped' "$out/ctest.log" | tr -d ' ')
failed=$(grep -E '\*\*\*Failed|\*\*\*Exception|\*\*\*Timeout' "$out/ctest.log" | head -20)
say "$(grep -E 'tests passed' "$out/ctest.log")"
[ -n "$failed" ] && say "failures:" && say "$failed"

if [ -x build-gpu/bench/tfr_bench_solver ]; then
  # The sizes the speed work is judged at: ms per substep, waits and launches per substep and the
  # phases on the GPU, the CPU at 128^3 beside it; then the GPU again with every recorded launch
  # sequence run launch by launch, to see what the recordings save.
  say "== solver benchmark"
  build-gpu/bench/tfr_bench_solver --gpu-only --sizes 128,256 --frames 5 --warmup 10 --phases 2>&1 | tee -a "$log"
  build-gpu/bench/tfr_bench_solver --cpu-only --sizes 128 --frames 3 --warmup 5 2>&1 | tee -a "$log"
  say "== solver benchmark, recordings off"
  build-gpu/bench/tfr_bench_solver --gpu-only --no-graphs --sizes 64,128 --frames 5 --warmup 10 2>&1 | tee -a "$log"
fi
if [ -x build-gpu/bench/tfr_bench_render ]; then
  say "== render benchmark"
  build-gpu/bench/tfr_bench_render 2>&1 | tail -8 | tee -a "$log"
fi

if [ "$rc" -ne 0 ]; then say "GPU CHECK FAILED: tests"; exit 1; fi
if [ "$gpu_skipped" != "0" ]; then
  say "GPU CHECK FAILED: $gpu_skipped cases were skipped although a GPU should be present"
  grep -E 'Skipped' "$out/ctest.log" | head -10 | tee -a "$log"
  exit 1
fi
say "GPU CHECK PASSED in $(( $(date +%s) - start )) s"
