#!/usr/bin/env bash
# Installs the Debian packages that Tolvaris Fire's build and tests need. Safe to run again: it
# asks apt only for what is missing. Run as root (or through sudo).
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ ccache libgomp1 libgtest-dev libgmock-dev libbenchmark-dev
  # libraries of the product
  nlohmann-json3-dev libcli11-dev libtinyobjloader-dev libpng-dev libjpeg-dev liblua5.4-dev
  # independent readers the tests check our files with (they import under /usr/bin/python3)
  python3 python3-openvdb python3-numpy python3-pil
  # the fuzz targets (the fuzz preset): clang with libFuzzer and the sanitizers' runtimes
  clang libclang-rt-14-dev libomp-14-dev
  # only for the writer benchmark, which times the OpenVDB library's own writer beside ours
  libopenvdb-dev libboost-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: every package is installed"
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: done"
