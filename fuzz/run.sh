#!/usr/bin/env bash
# Runs every fuzz target of the fuzz build for SECONDS seconds each (default 10), starting from the
# seed corpora under fuzz/corpus/ and a scratch copy of them, and prints each target's executions.
# Exit status 1 when any target found a crash; the reproducer is left in the scratch folder.
#   cmake --preset fuzz && cmake --build --preset fuzz && fuzz/run.sh 60
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
build=${FUZZ_BUILD:-build-fuzz}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tfr_fuzz_run_XXXXXX")
failed=0
for target in cache_frame scene_file obj_mesh events_file preset_file png_writer; do
  binary="$build/fuzz/fuzz_$target"
  [ -x "$binary" ] || { echo "fuzz: $binary is not built"; exit 2; }
  mkdir -p "$scratch/$target"
  log="$scratch/$target.log"
  (cd "$scratch" && "$OLDPWD/$binary" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
     -artifact_prefix="$scratch/$target-" "$scratch/$target" "$OLDPWD/fuzz/corpus/$target") >"$log" 2>&1
  status=$?
  runs=$(grep -o 'Done [0-9]* runs' "$log" | tail -1)
  if [ $status -ne 0 ]; then
    failed=1
    echo "fuzz: $target FAILED (status $status), see $log"
    grep -m5 -E 'ERROR|SUMMARY|runtime error' "$log"
  else
    echo "fuzz: $target ok, ${runs:-no runs counted} in ${seconds}s"
  fi
done
[ $failed -eq 0 ] && rm -rf "$scratch"
exit $failed
