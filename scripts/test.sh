#!/usr/bin/env bash
# Builds and runs the whole test suite in both ABIs: i386 (under qemu-i386)
# and native 64-bit. The 64-bit run also drives the i386 helper programs for
# the cross-ABI tests. Fails when a test fails or a test leaves a System V
# shared-memory segment behind.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

shm_count() { tail -n +2 /proc/sysvipc/shm 2>/dev/null | wc -l; }
before=$(shm_count)

echo "== i386 build (tests under qemu-i386) =="
cmake --preset m32 >/dev/null
cmake --build --preset m32 -j "$JOBS"
ctest --preset m32 -j "$JOBS"

echo "== native 64-bit build =="
cmake --preset default -DHX_OTHER_ABI_BIN_DIR="$PWD/build/m32/bin" >/dev/null
cmake --build --preset default -j "$JOBS"
ctest --preset default -j "$JOBS"

after=$(shm_count)
if [ "$after" -gt "$before" ]; then
  echo "System V segments before the suite: $before, after: $after (a test leaked one)" >&2
  ipcs -m >&2
  exit 1
fi
echo "No System V segment left behind ($after before and after)."
