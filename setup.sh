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
  # the studio: its HTTP library, and the browser for its browser test
  libcpp-httplib-dev chromium
  # the render farm's test starts a one-machine Slurm cluster (munge authenticates its daemons)
  slurm-wlm munge
  # the fuzz targets (the fuzz preset): clang with libFuzzer and the sanitizers' runtimes
  clang libclang-rt-14-dev libomp-14-dev
  # for the writer benchmark, which times the OpenVDB library's own writer beside ours, and the
  # VDB writer's fuzz target, which reads its files back with the library
  libopenvdb-dev libboost-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# Node.js and npm for the studio's page and browser test; a machine that has them from elsewhere
# (npm bundled with its Node.js) keeps its own.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: every package is installed"
else
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The studio's page (three.js) and its browser test (playwright-core, which uses Debian's chromium
# and never downloads a browser of its own), pinned by the lock file.
web="$(dirname "$0")/app/studio/web"
if [ ! -d "$web/node_modules/three" ] || [ ! -d "$web/node_modules/playwright-core" ]; then
  (cd "$web" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund)
fi
echo "setup: done"
