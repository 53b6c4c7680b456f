#!/usr/bin/env bash
# Builds the Debian packages of both ABIs into a folder (default
# build/packages): libhxsys1, libhxsys-dev and hxctl for amd64 and for i386.
# Reuses the build/default and build/m32 trees; writes only there and to the
# output folder.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/packages}")
JOBS=${JOBS:-$(nproc)}
bash scripts/setup-deps.sh package
mkdir -p "$out"
for preset in default m32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS" --target hxsys hxplatform hxctl
  rm -rf "build/$preset/cpack"
  cpack --config "build/$preset/CPackConfig.cmake" -B "build/$preset/cpack" >/dev/null
  mv "build/$preset"/cpack/*.deb "$out/"
done
ls -1 "$out"/*.deb
