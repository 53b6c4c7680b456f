# Shared by the install, package and symbol checks (sourced).
#   check DESCRIPTION COMMAND...   runs COMMAND, records ok/FAILED
#   finish                         prints the tally, exits 1 on any failure
# ABI settings come from the environment that CMake gives the tests:
#   HX_BUILD_DIR, HX_SOURCE_DIR, HX_LIBARCH (multiarch triplet), HX_EMULATOR
#   (empty for native), HX_TOOLCHAIN (CMake toolchain file, may be empty),
#   HX_ABI_FLAGS (compiler flags of the ABI, "-m32" or empty).
set -uo pipefail
hx_passed=0
hx_failed=0

check() {
  local what=$1
  shift
  if "$@"; then
    hx_passed=$((hx_passed + 1))
    echo "ok: $what"
  else
    hx_failed=$((hx_failed + 1))
    echo "FAILED: $what" >&2
  fi
}

finish() {
  echo "$hx_passed passed, $hx_failed failed"
  [ "$hx_failed" -eq 0 ]
}

# A fresh work directory inside the build tree: nothing goes elsewhere.
fresh_dir() {
  rm -rf "$1" && mkdir -p "$1"
}

# Configures, builds and runs tests/consumer against prefix $1 in dir $2.
consumer_with_find_package() {
  local prefix=$1 dir=$2
  local tc=()
  [ -n "$HX_TOOLCHAIN" ] && tc=(-DCMAKE_TOOLCHAIN_FILE="$HX_TOOLCHAIN")
  fresh_dir "$dir"
  cmake -S "$HX_SOURCE_DIR/tests/consumer" -B "$dir/build" -G Ninja \
        -DCMAKE_PREFIX_PATH="$prefix" "${tc[@]}" >"$dir/configure.log" 2>&1 &&
    grep -qx "Halvex_DIR:PATH=$prefix/lib/$HX_LIBARCH/cmake/Halvex" "$dir/build/CMakeCache.txt" &&
    cmake --build "$dir/build" >"$dir/build.log" 2>&1 &&
    run_consumer "$dir/build/hx_consumer" "$dir" || { cat "$dir"/*.log >&2; return 1; }
}

# Runs a consumer binary (through the emulator for i386) on a fresh instance
# under $2/run; its own checks decide.
run_consumer() {
  local bin=$1 dir=$2
  fresh_dir "$dir/run"
  # shellcheck disable=SC2086
  $HX_EMULATOR "$bin" "$dir/run" >"$dir/run.log" 2>&1 || { cat "$dir/run.log" >&2; return 1; }
  rm -rf "$dir/run"
}
