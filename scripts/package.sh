#!/usr/bin/env bash
# Builds the Debian packages of both ABIs into a folder (default
# build/packages): libhxsys1, libhxsys-dev and hxctl for amd64 and for i386.
# Built from Release configurations (presets release and release-m32, trees
# build/release-default and build/release-m32), so that the shipped libraries
# carry no test-only code such as the sync points; writes only there and to
# the output folder.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/packages}")
JOBS=${JOBS:-$(nproc)}
bash scripts/setup-deps.sh package
mkdir -p "$out"
for pair in release:build/release-default release-m32:build/release-m32; do
  preset=${pair%%:*} dir=${pair#*:}
  cmake --preset "$preset" >/dev/null
  targets=(hxsys hxplatform hxctl)
  cmake --build "$dir" --target help | grep -q '^hxfleet:' && targets+=(hxfleet)
  cmake --build --preset "$preset" -j "$JOBS" --target "${targets[@]}"
  rm -rf "$dir/cpack"
  cpack --config "$dir/CPackConfig.cmake" -B "$dir/cpack" >/dev/null
  mv "$dir"/cpack/*.deb "$out/"
done
ls -1 "$out"/*.deb
