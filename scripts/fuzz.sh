#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, preset "fuzz") and runs
# each for a short time over its committed seed corpus (tests/fuzz/corpus/
# <target>), which also replays every regression input kept there. Fails when
# a target finds a crash, a sanitizer report, a leak or a broken check; the
# input that did it is kept under build/fuzz/artifacts/.
#   FUZZ_SECONDS=N  seconds per target (default 10; 13 targets stay under 3 minutes)
#   FUZZ_RUNS=N     stop each target after N executions instead (long runs)
#   FUZZ_TARGETS="fuzz_top fuzz_ip"  only these targets
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
SECONDS_PER_TARGET=${FUZZ_SECONDS:-10}

# The same clang build checks the lock contracts (-Wthread-safety, as the
# preset "tsa" does) of the libraries and the programs, so CI needs no
# build of its own for them.
echo "== building the fuzz targets (clang, ASan+UBSan, libFuzzer, lock contracts checked) =="
cmake --preset fuzz >/dev/null
programs=(hxctl hxrun)
if cmake --build build/fuzz --target help | grep -q '^hxfleet:'; then programs+=(hxfleet); fi
cmake --build --preset fuzz --target fuzz_targets "${programs[@]}" -j "$JOBS"

bin=build/fuzz/bin
artifacts=$PWD/build/fuzz/artifacts
mkdir -p "$artifacts"
targets=${FUZZ_TARGETS:-$(ls tests/fuzz/corpus)}
work=$(mktemp -d /tmp/hxfuzz_corpus.XXXXXX)
trap 'rm -rf "$work"' EXIT

limit=(-max_total_time="$SECONDS_PER_TARGET")
if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$FUZZ_RUNS"); fi

failed=()
echo "== fuzzing: ${FUZZ_RUNS:+$FUZZ_RUNS runs}${FUZZ_RUNS:-$SECONDS_PER_TARGET s} per target =="
for t in $targets; do
  if [ "$t" = fuzz_proc_stat ] && [ "$(id -u)" != 0 ]; then
    echo "$t: skipped (it replaces /proc files in a private mount namespace, which needs root)"
    continue
  fi
  mkdir -p "$work/$t"
  dict=()
  if [ -f "tests/fuzz/$t.dict" ]; then dict=(-dict="tests/fuzz/$t.dict"); fi
  log=$work/$t.log
  # New inputs go to the first (scratch) directory; the seeds stay as committed.
  if "$bin/$t" "${limit[@]}" -max_len=4096 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$t-" "${dict[@]}" "$work/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "$t: ok, $runs executions, $cov"
  else
    echo "$t: FAILED" >&2
    tail -n 40 "$log" >&2
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzz targets that failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
echo "Fuzzing: every target ran clean."
