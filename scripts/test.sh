#!/usr/bin/env bash
# Builds and runs the whole test suite in both ABIs: i386 (under qemu-i386)
# and native 64-bit, including the install, package and exported-name checks
# of each ABI. The 64-bit run also drives the i386 helper programs for
# the cross-ABI tests. Fails when a test fails or a test leaves a System V
# shared-memory segment behind.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh suite
JOBS=${JOBS:-$(nproc)}
# Tests run one at a time by default: several of them compare the machine-wide
# number of System V segments before and after, which tests running beside
# them would change. CTEST_JOBS=N runs N at once.
CTEST_JOBS=${CTEST_JOBS:-1}

shm_count() { tail -n +2 /proc/sysvipc/shm 2>/dev/null | wc -l; }
before=$(shm_count)
# Temporary directories of the test helpers (hxtest::TestInstance and others).
tmp_list() { ls -d /tmp/hxtest.* /tmp/hxtest_out.* 2>/dev/null | sort || true; }
tmp_before=$(tmp_list)

# Both builds first, each told where the other's programs are, so that the
# cross-ABI tests run in both directions.
echo "== building: i386 (-m32) and native 64-bit =="
cmake --preset m32 -DHX_OTHER_ABI_BIN_DIR="$PWD/build/default/bin" >/dev/null
cmake --preset default -DHX_OTHER_ABI_BIN_DIR="$PWD/build/m32/bin" >/dev/null
cmake --build --preset m32 -j "$JOBS"
cmake --build --preset default -j "$JOBS"

echo "== i386 tests (under qemu-i386) =="
ctest --preset m32 -j "$CTEST_JOBS"

echo "== native 64-bit tests =="
ctest --preset default -j "$CTEST_JOBS"

after=$(shm_count)
if [ "$after" -gt "$before" ]; then
  echo "System V segments before the suite: $before, after: $after (a test leaked one)" >&2
  ipcs -m >&2
  exit 1
fi
echo "No System V segment left behind ($after before and after)."

left=$(comm -13 <(echo "$tmp_before") <(tmp_list) | grep . || true)
if [ -n "$left" ]; then
  echo "Temporary files or directories left behind by the tests:" >&2
  echo "$left" >&2
  # Other people's test runs on a shared machine may own them; CI runs alone.
  if [ -n "${CI:-}" ]; then exit 1; fi
else
  echo "No temporary directory left behind."
fi

# ---------------------------------------------------------------------------
# Fuzzing, a separate step after the unit tests: a short libFuzzer run of
# every parser of outside text over its committed seed and regression inputs
# (clang build in build/fuzz; see scripts/fuzz.sh).
echo "== fuzzing (scripts/fuzz.sh) =="
bash scripts/fuzz.sh
