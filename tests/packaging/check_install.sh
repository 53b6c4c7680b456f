#!/usr/bin/env bash
# cmake --install into a prefix inside the build tree, then: the files land
# where a system library's do (multiarch libdir, versioned SONAME, links),
# nothing is written outside the prefix, every installed header compiles on
# its own, and the consumer builds and runs with find_package and with
# pkg-config flags.
source "$(dirname "$0")/common.sh"
work="$HX_BUILD_DIR/packaging-test/install"
prefix="$work/prefix"
fresh_dir "$work"
lib="$prefix/lib/$HX_LIBARCH"

cmake --install "$HX_BUILD_DIR" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; exit 1; }

outside=$(grep -v "^$prefix/" "$HX_BUILD_DIR/install_manifest.txt")
check "every installed file is under the prefix" [ -z "$outside" ]

expect_files() {
  local f
  for f in "$@"; do [ -e "$prefix/$f" ] || { echo "missing: $f" >&2; return 1; }; done
}
check "libraries, tool, man page, headers, package files in GNU/multiarch dirs" expect_files \
  "lib/$HX_LIBARCH/libhxsys.so.1.0.0" "lib/$HX_LIBARCH/libhxplatform.so.1.0.0" \
  bin/hxctl share/man/man1/hxctl.1.gz include/halvex/throttling/throttling_manager.h \
  include/halvex/perfmonitor/monitor_handle.h include/halvex/perfmonitor/generic_resource_agent.h \
  "lib/$HX_LIBARCH/cmake/Halvex/HalvexConfig.cmake" \
  "lib/$HX_LIBARCH/cmake/Halvex/HalvexConfigVersion.cmake" \
  "lib/$HX_LIBARCH/pkgconfig/hxsys.pc" "lib/$HX_LIBARCH/pkgconfig/hxplatform.pc"

versioned() {  # name: SONAME name.so.1, links name.so -> name.so.1 -> name.so.1.0.0
  local n=$1
  [ "$(readlink "$lib/$n.so")" = "$n.so.1" ] && [ "$(readlink "$lib/$n.so.1")" = "$n.so.1.0.0" ] &&
    readelf -d "$lib/$n.so.1.0.0" | grep -q "(SONAME).*\[$n.so.1\]"
}
check "libhxsys: SONAME libhxsys.so.1 and its links" versioned libhxsys
check "libhxplatform: SONAME libhxplatform.so.1 and its links" versioned libhxplatform
check "hxctl from the prefix finds its libraries" \
  bash -c "$HX_EMULATOR '$prefix/bin/hxctl' --help | grep -q '^usage: hxctl'"

# Each installed header compiles alone with only the installed include dir
# (one ABI is enough: the headers are the same files in both).
headers_alone() {
  local h bad=0
  while IFS= read -r h; do
    echo "#include \"$h\"" | c++ -std=c++17 -fsyntax-only -Werror -Wall -I"$prefix/include/halvex" -x c++ - ||
      { echo "not self-contained: $h" >&2; bad=1; }
  done < <(find "$prefix/include/halvex" -name '*.h' | sort)
  return $bad
}
# The man page names every command and option that hxctl's --help names.
man_covers_help() {
  local page cmds cmd opt missing=""
  page=$(zcat "$prefix/share/man/man1/hxctl.1.gz" | sed 's/\\-/-/g')
  cmds=$("$prefix/bin/hxctl" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
  [ -n "$cmds" ] || return 1
  for cmd in $cmds; do
    grep -q "^\.B $cmd\$" <<<"$page" || missing+=" $cmd"
    for opt in $("$prefix/bin/hxctl" "$cmd" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
      grep -qe "$opt" <<<"$page" || missing+=" $cmd $opt"
    done
  done
  [ -z "$missing" ] || { echo "not in the man page:$missing" >&2; return 1; }
}
if [ -z "$HX_ABI_FLAGS" ]; then
  check "every installed header compiles on its own" headers_alone
  check "the man page covers hxctl --help" man_covers_help
fi

check "consumer with find_package(Halvex) against the prefix" \
  consumer_with_find_package "$prefix" "$work/cmake-consumer"

pkgconfig_consumer() {
  local dir="$work/pc-consumer" flags
  fresh_dir "$dir"
  # PKG_CONFIG_LIBDIR replaces the system search path: only this prefix counts.
  flags=$(PKG_CONFIG_LIBDIR="$lib/pkgconfig" pkg-config --cflags --libs hxsys) || return 1
  case " $flags " in *" -I$prefix/"*" -lhxsys "*"-lhxplatform "*) ;;
    *) echo "unexpected flags: $flags" >&2; return 1 ;; esac
  # shellcheck disable=SC2086
  c++ $HX_ABI_FLAGS -std=c++17 -Wall -Werror "$HX_SOURCE_DIR/tests/consumer/consumer.cc" \
    -o "$dir/hx_consumer" $flags -Wl,-rpath,"$lib" || return 1
  run_consumer "$dir/hx_consumer" "$dir"
}
check "consumer with pkg-config --cflags --libs hxsys" pkgconfig_consumer

finish
