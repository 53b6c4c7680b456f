#!/usr/bin/env bash
# The names each shared object exports (nm -D) must equal the committed list
# tests/packaging/symbols/<lib>.<multiarch>.txt, so that the interface changes
# only on purpose. Weak instantiations of the C++ standard library's templates
# are left out: they are not ours and vary with the compiler's inlining.
# HX_UPDATE_SYMBOLS=1 rewrites the lists from the build instead of checking.
source "$(dirname "$0")/common.sh"

exported() {
  nm -D --defined-only "$1" | awk '{print $NF}' |
    grep -Ev '^_Z(T[VIST])?N?K?(St|Sa|Sb|Ss|Si|So|Sd|9__gnu_cxx)' | LC_ALL=C sort -u
}

for name in libhxsys libhxplatform; do
  so="$HX_BUILD_DIR/lib/$name.so.1"
  list="$HX_SOURCE_DIR/tests/packaging/symbols/$name.$HX_LIBARCH.txt"
  if [ "${HX_UPDATE_SYMBOLS:-}" = 1 ]; then
    exported "$so" >"$list"
    echo "wrote $list"
    continue
  fi
  same_as_list() {
    local d
    d=$(diff <(LC_ALL=C sort -u "$list") <(exported "$so")) && return 0
    echo "$name exports changed (< only in the list, > only in the build):" >&2
    c++filt <<<"$d" >&2
    echo "If intended: HX_UPDATE_SYMBOLS=1 ctest -R exported_symbols in both builds" >&2
    return 1
  }
  check "$name exports exactly the names in $(basename "$list")" same_as_list
done
finish
