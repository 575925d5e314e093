#!/usr/bin/env bash
# Proves, without a GPU, that the GPU check's pack is all a bare machine needs: packs the libraries
# (pack.sh), then runs check.sh's configure and build (CPU-only there) inside a minimal Debian root
# that has only a compiler, CMake and Ninja, so a package missing from the pack shows here and not
# on the GPU machine. Run it whenever the build's dependencies change; it takes minutes (the root
# is made once, with debootstrap, and kept in ROOT_DIR).
#
#   tests/gpu/bare_build.sh [ROOT_DIR]     ROOT_DIR defaults to /var/tmp/tfr-bare-root
# Needs root (debootstrap, chroot, mount) and Debian's archive.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
rootfs=${1:-/var/tmp/tfr-bare-root}

[ "$(id -u)" -eq 0 ] || { echo "bare_build: run as root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "bare_build: needs debootstrap (apt-get install debootstrap)" >&2; exit 1; }

tests/gpu/pack.sh >/dev/null

# The same archive this machine installs from.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
         | grep -oE 'https?://[^ ]+/debian/?$|https?://[^ ]+/debian/? ' | head -1 | tr -d ' ' || true)
mirror=${mirror:-http://deb.debian.org/debian}
if [ ! -f "$rootfs/.tfr-ready" ]; then
  echo "bare_build: making a minimal Debian root in $rootfs from $mirror"
  rm -rf "$rootfs"
  debootstrap --variant=minbase bookworm "$rootfs" "$mirror" >/dev/null
  chroot "$rootfs" apt-get install -y -qq --no-install-recommends g++ cmake ninja-build >/dev/null
  touch "$rootfs/.tfr-ready"
fi

mounted=()
cleanup() {
  for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
  # The build folder stays, so that a second run builds only what changed.
  find "$rootfs/src" -mindepth 1 -maxdepth 1 ! -name build-gpu -exec rm -rf {} + 2>/dev/null || true
}
trap cleanup EXIT
for m in proc dev; do
  mount --bind "/$m" "$rootfs/$m" && mounted+=("$rootfs/$m")
done

# What the device tool sends: tracked files, untracked ones git does not ignore, and the pack.
mkdir -p "$rootfs/src"
git ls-files -z -co --exclude-standard | tar --null -T - -cf - | tar -C "$rootfs/src" -xf -
cp -a "$repo/.gpu-pack" "$rootfs/src/.gpu-pack"

echo "bare_build: check.sh --build-only in the minimal root ($(chroot "$rootfs" g++ --version | head -1), $(chroot "$rootfs" cmake --version | head -1))"
status=0
chroot "$rootfs" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root OUT=/src/out \
  bash /src/tests/gpu/check.sh --build-only || status=$?
mkdir -p build-gpu-check
cp "$rootfs/src/out/gpu-check.log" build-gpu-check/bare-build.log 2>/dev/null || true
echo "bare_build: log in build-gpu-check/bare-build.log"
exit $status
