#!/bin/bash
# Starts `tolvaris export-vdb` at a random moment of `tolvaris simulate` on one small scene, TRIES
# times, and counts what happened: every bake must end with exit 0 and whole frames, and every
# export must either be refused with the bake named or run when no bake holds the folder.
#
#   tests/e2e/export_during_bake.sh build-cpu/app/tolvaris [TRIES]
set -u
tolvaris=${1:?usage: export_during_bake.sh TOLVARIS [TRIES]}
tries=${2:-20}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cache=$work/cache
frames=60
sed -e "s|CACHE|$cache|" -e "s|END|$((frames - 1))|" > "$work/scene.json" <<'JSON'
{"format": "tolvaris-scene", "version": 1,
 "time": {"frameRate": 30, "startFrame": 0, "endFrame": 10, "currentFrame": 0}, "metresPerUnit": 0.01,
 "nodes": [
  {"handle": 1, "name": "Log", "position": {"value": [0, 0, 2]},
   "object": {"class": "Box", "blocks": [{"id": 0, "params": [
     {"name": "length", "value": 10}, {"name": "width", "value": 10}, {"name": "height", "value": 4}]}]}},
  {"handle": 2, "name": "Fire", "object": {"class": "TolvarisFire", "blocks": [{"id": 0, "params": [
     {"name": "sizeX", "value": 40}, {"name": "sizeY", "value": 40}, {"name": "sizeZ", "value": 60},
     {"name": "resolution", "value": 24}, {"name": "liveMode", "value": 0}, {"name": "outVDB", "value": true},
     {"name": "outPRT", "value": false}, {"name": "outPreview", "value": false}, {"name": "emitters", "value": [1]},
     {"name": "startFrame", "value": 0}, {"name": "endFrame", "value": END}, {"name": "cachePath", "value": "CACHE"}]}]}}]}
JSON

# A file of the given kind whole: the magic number at its start (and the cache reader's own check is
# the bake's exit status).
whole_vdb() { [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = "BDV" ] || [ "$(head -c 4 "$1" | od -An -tx1 | tr -d ' ')" = "20424456" ]; }

bakes_ok=0 bakes_failed=0 refused=0 ran=0 export_failed=0 torn=0
for ((i = 1; i <= tries; i++)); do
  "$tolvaris" --documents "$work" simulate "$work/scene.json" > "$work/bake.out" 2> "$work/bake.err" &
  bake=$!
  sleep "0.$((RANDOM % 10))$((RANDOM % 10))"
  "$tolvaris" --documents "$work" export-vdb "$work/scene.json" > "$work/export.out" 2> "$work/export.err"
  export_status=$?
  wait $bake
  bake_status=$?
  if [ $bake_status -eq 0 ]; then bakes_ok=$((bakes_ok + 1)); else bakes_failed=$((bakes_failed + 1)); cat "$work/bake.err"; fi
  if [ $export_status -eq 0 ]; then
    ran=$((ran + 1))
  elif grep -q "A bake is writing to $cache - wait for it to finish or stop it." "$work/export.err"; then
    refused=$((refused + 1))
  else
    export_failed=$((export_failed + 1)); cat "$work/export.err"
  fi
  n_tfc=$(find "$cache" -maxdepth 1 -name 'fire_*.tfc' | wc -l)
  n_vdb=0
  for f in "$cache"/out/Fire_*.vdb; do
    [ -e "$f" ] || continue
    if whole_vdb "$f"; then n_vdb=$((n_vdb + 1)); else torn=$((torn + 1)); echo "torn: $f"; fi
  done
  parts=$(find "$cache" -name '*.part' | wc -l)
  if [ "$n_tfc" -ne $frames ] || [ "$n_vdb" -ne $frames ] || [ "$parts" -ne 0 ]; then
    torn=$((torn + 1)); echo "try $i: $n_tfc cache frames, $n_vdb VDB files, $parts temporary files"
  fi
  echo "try $i: bake exit $bake_status, export exit $export_status: $(tail -n 1 "$work/export.err" "$work/export.out" 2>/dev/null | grep -v '^==' | grep -v '^$' | head -n 1)"
done
echo "bakes: $bakes_ok ended 0, $bakes_failed failed; exports: $refused refused, $ran ran, $export_failed failed otherwise; $torn tries with torn or missing files"
[ $bakes_failed -eq 0 ] && [ $export_failed -eq 0 ] && [ $torn -eq 0 ]
