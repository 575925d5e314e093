#!/usr/bin/env bash
# Packs what the GPU check needs and a bare GPU machine lacks: the development packages of the
# product's libraries (and the run-time libraries behind them), downloaded from this machine's
# Debian archive as .deb files and unpacked into one folder the repository ignores. check.sh
# builds against that folder without installing anything. Prints the device command at the end.
#
#   tests/gpu/pack.sh [FOLDER]        FOLDER defaults to .gpu-pack in the repository
set -euo pipefail
cd "$(dirname "$0")/../.."

pack=${1:-.gpu-pack}
case "$pack" in -*) echo "usage: tests/gpu/pack.sh [FOLDER]" >&2; exit 2 ;; esac

# The bare machine has a compiler, CUDA, CMake and Ninja, and so libc, libstdc++, libgomp and
# zlib's run-time library. Everything else the configure step asks for is here; the header-only
# libraries (CLI11, nlohmann-json) have no run-time part. cpp-httplib's library pulls in OpenSSL
# and Brotli at link time, zlib's headers come with libpng's.
packages=(
  libcli11-dev nlohmann-json3-dev
  libtinyobjloader-dev libtinyobjloader2rc10
  libpng-dev libpng16-16 zlib1g-dev zlib1g
  libjpeg-dev libjpeg62-turbo-dev libjpeg62-turbo
  liblua5.4-dev liblua5.4-0
  libcpp-httplib-dev libcpp-httplib0.11 libssl3 libbrotli1
  libgtest-dev libgmock-dev
)

command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null || {
  echo "pack: needs a Debian machine (apt-get and dpkg-deb)" >&2; exit 1; }

debs=$(mktemp -d)
stage="$pack.new"
trap 'rm -rf "$debs" "$stage"' EXIT
download() { (cd "$debs" && apt-get download -qq "${packages[@]}") 2>"$debs/apt.err"; }
if ! download; then
  # An archive list that was never fetched (a fresh machine) knows none of the packages.
  echo "pack: apt-get download failed, updating the package lists once" >&2
  apt-get update -qq >/dev/null 2>&1 || true
  if ! download; then cat "$debs/apt.err" >&2; echo "pack: could not download the packages" >&2; exit 1; fi
fi

rm -rf "$stage"
mkdir -p "$stage"
for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$stage"; done

# One prefix, usr/: libraries some packages put under lib/ (the merged /usr of the real system)
# move beside the others, and the architecture's own headers (jconfig.h) join the plain include
# folder, which is all CMake is pointed at.
multi=x86_64-linux-gnu
if [ -d "$stage/lib/$multi" ]; then
  mkdir -p "$stage/usr/lib/$multi"
  cp -a "$stage/lib/$multi/." "$stage/usr/lib/$multi/"
  rm -rf "$stage/lib"
fi
if [ -d "$stage/usr/include/$multi" ]; then
  cp -a "$stage/usr/include/$multi/." "$stage/usr/include/"
fi
# Links that name an absolute path (libz.so -> /lib/.../libz.so.1.2.13) would leave the folder:
# point them at the file of the same name beside them.
find "$stage" -type l -lname '/*' | while read -r link; do
  ln -sfn "$(basename "$(readlink "$link")")" "$link"
done
rm -rf "$stage/usr/share/doc" "$stage/usr/share/man" "$stage/usr/share/lintian" "$stage/usr/share/bug"
# CMake's own files of the packages name their real prefix only relative to themselves; a
# pkg-config file would name /usr, so none are kept to mislead a build.
find "$stage" -name '*.pc' -delete

missing=()
for want in usr/include/CLI/CLI.hpp usr/include/nlohmann/json.hpp usr/include/tiny_obj_loader.h \
            usr/include/png.h usr/include/zlib.h usr/include/jpeglib.h usr/include/jconfig.h \
            usr/include/lua5.4/lua.h usr/include/httplib.h usr/include/gtest/gtest.h \
            usr/lib/$multi/libcpp-httplib.so usr/lib/$multi/liblua5.4.so usr/lib/$multi/libpng.so \
            usr/lib/$multi/libjpeg.so usr/lib/$multi/libz.so usr/lib/$multi/libssl.so.3; do
  [ -e "$stage/$want" ] || missing+=("$want")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "pack: the packages did not give ${missing[*]}" >&2; exit 1
fi

rm -rf "$pack"
mv "$stage" "$pack"
size=$(du -sm "$pack" | cut -f1)
echo "pack: $pack holds $(find "$pack" -type f | wc -l) files, ${size} MiB"
if [ "$size" -gt 48 ]; then echo "pack: warning: over 48 MiB, the device tool carries 64 MiB in all" >&2; fi
cat <<EOF

Device command (the pack folder carried, the check's log and summary come back from \$OUT):
  run  command: tests/gpu/check.sh   carry: ["$pack"]   timeout_s: 540
EOF
