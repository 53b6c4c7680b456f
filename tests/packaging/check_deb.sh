#!/usr/bin/env bash
# cpack -G DEB into the build tree, then: package names, Architecture,
# Multi-Arch and dependencies are right, each package holds exactly its files,
# and the consumer builds and runs against the packages unpacked into a
# private root (dpkg -x: the machine's own package database is not touched).
source "$(dirname "$0")/common.sh"
work="$HX_BUILD_DIR/packaging-test/deb"
fresh_dir "$work"
arch=$HX_DEBARCH
version=1.0.0
run_deb="$work/out/libhxsys1_${version}_$arch.deb"
dev_deb="$work/out/libhxsys-dev_${version}_$arch.deb"
tool_deb="$work/out/hxctl_${version}_$arch.deb"

cpack --config "$HX_BUILD_DIR/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; exit 1; }
check "three packages: runtime, dev, tool" [ -f "$run_deb" -a -f "$dev_deb" -a -f "$tool_deb" ]

field() { dpkg-deb -f "$1" "$2"; }
fields_are() {  # deb, then "Field=value" pairs that must match exactly
  local deb=$1 pair
  shift
  for pair in "$@"; do
    [ "$(field "$deb" "${pair%%=*}")" = "${pair#*=}" ] ||
      { echo "$(basename "$deb"): ${pair%%=*} is '$(field "$deb" "${pair%%=*}")'" >&2; return 1; }
  done
}
check "runtime control fields" fields_are "$run_deb" Package=libhxsys1 Architecture="$arch" \
  Multi-Arch=same Version="$version"
check "dev control fields" fields_are "$dev_deb" Package=libhxsys-dev Architecture="$arch" \
  Multi-Arch=same
check "tool control fields" fields_are "$tool_deb" Package=hxctl Architecture="$arch" Multi-Arch=no

depends_ok() {  # deb, then extended regexes each of which one Depends entry must match
  local deb=$1 re deps
  shift
  deps=$(field "$deb" Depends | tr ',' '\n' | sed 's/^ *//')
  for re in "$@"; do
    grep -Eqx "$re" <<<"$deps" || { echo "$(basename "$deb"): Depends: $deps" >&2; return 1; }
  done
  # Only the ABI's own packages: the 32-bit compatibility libraries of an
  # amd64 system (lib32*, libc6-i386) would not exist on i386.
  ! grep -Eq '^(lib32|libc6-i386)' <<<"$deps"
}
check "runtime depends on libc6 and libstdc++6 (from dpkg-shlibdeps)" \
  depends_ok "$run_deb" 'libc6 \(>= [^)]+\)' 'libstdc\+\+6 \(>= [^)]+\)'
check "dev depends on the same runtime version" depends_ok "$dev_deb" "libhxsys1 \(= $version\)"
check "tool depends on the runtime" depends_ok "$tool_deb" "libhxsys1 \(= $version\)"

files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' '; }
L="./usr/lib/$HX_LIBARCH"
check "runtime holds the shared objects and nothing else (Multi-Arch: same)" \
  [ "$(files_of "$run_deb")" = "$L/libhxplatform.so.1 $L/libhxplatform.so.1.0.0 $L/libhxsys.so.1 $L/libhxsys.so.1.0.0 " ]
dev_files=$(files_of "$dev_deb")
dev_shape() {
  local extra
  extra=$(tr ' ' '\n' <<<"$dev_files" | grep . | grep -Ev "^\./usr/include/halvex/[a-z]+/[a-z_0-9]+\.h$" |
    grep -Evx "$L/(libhxsys\.so|libhxplatform\.so|pkgconfig/hx(sys|platform)\.pc|cmake/Halvex/Halvex[A-Za-z-]*\.cmake)")
  [ -z "$extra" ] || { echo "unexpected in dev: $extra" >&2; return 1; }
  grep -q "$L/cmake/Halvex/HalvexConfig.cmake" <<<"$dev_files" &&
    grep -q "$L/pkgconfig/hxsys.pc" <<<"$dev_files" && grep -q "$L/libhxsys.so " <<<"$dev_files"
}
check "dev holds headers, .so links, CMake and pkg-config files only" dev_shape
check "tool holds hxctl and its man page" \
  [ "$(files_of "$tool_deb")" = "./usr/bin/hxctl ./usr/share/man/man1/hxctl.1.gz " ]

root="$work/root"
for deb in "$run_deb" "$dev_deb" "$tool_deb"; do dpkg -x "$deb" "$root"; done
check "hxctl from the unpacked packages runs" \
  bash -c "$HX_EMULATOR '$root/usr/bin/hxctl' --help | grep -q '^usage: hxctl'"
check "consumer with find_package against the unpacked packages" \
  consumer_with_find_package "$root/usr" "$work/consumer"

finish
