#!/usr/bin/env bash
# Install, package and interface checks of one build (this ABI's):
#   check.sh install   cmake --install into a prefix in the build tree: files in
#                      the multiarch/GNU dirs, versioned SONAMEs, nothing outside
#                      the prefix, headers self-contained, man page covers --help,
#                      consumer built with find_package and with pkg-config,
#                      hxctl run preloading the prefix's throttling library.
#   check.sh deb       cpack -G DEB: names, control fields, dependencies, exact
#                      contents, consumer and hxctl run against the packages
#                      unpacked with dpkg -x.
#   check.sh symbols   nm -D of each library equals symbols/<lib>.<multiarch>.txt
#                      (HX_UPDATE_SYMBOLS=1 rewrites the lists instead).
# ABI settings come from CMake: HX_BUILD_DIR, HX_SOURCE_DIR, HX_LIBARCH,
# HX_DEBARCH, HX_EMULATOR (empty for native), HX_TOOLCHAIN, HX_ABI_FLAGS.
set -uo pipefail
passed=0 failed=0
check() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); echo "ok: $what"; else failed=$((failed + 1)); echo "FAILED: $what" >&2; fi
}
fresh_dir() { rm -rf "$1" && mkdir -p "$1"; }
work="$HX_BUILD_DIR/packaging-test/$1"
fresh_dir "$work"
L="lib/$HX_LIBARCH"

# Runs a consumer binary (through the emulator for i386) on a fresh instance.
run_consumer() {  # BINARY DIR
  fresh_dir "$2/run"
  # shellcheck disable=SC2086
  $HX_EMULATOR "$1" "$2/run" >"$2/run.log" 2>&1 || { cat "$2/run.log" >&2; return 1; }
  rm -rf "$2/run"
}
find_package_consumer() {  # PREFIX DIR: tests/consumer configured, built and run against PREFIX
  local tc=()
  [ -n "$HX_TOOLCHAIN" ] && tc=(-DCMAKE_TOOLCHAIN_FILE="$HX_TOOLCHAIN")
  fresh_dir "$2"
  cmake -S "$HX_SOURCE_DIR/tests/consumer" -B "$2/build" -G Ninja -DCMAKE_PREFIX_PATH="$1" "${tc[@]}" \
    >"$2/configure.log" 2>&1 && grep -qx "Halvex_DIR:PATH=$1/$L/cmake/Halvex" "$2/build/CMakeCache.txt" &&
    cmake --build "$2/build" >"$2/build.log" 2>&1 && run_consumer "$2/build/hx_consumer" "$2" ||
    { cat "$2"/*.log >&2; return 1; }
}
hxctl_runs() { bash -c "$HX_EMULATOR '$1' --help | grep -q '^usage: hxctl'"; }
# `hxctl run` from PREFIX starts a program of this ABI, on a fresh instance,
# with PREFIX's own throttling library loaded: the program prints its memory map.
hxctl_run_preloads() {  # PREFIX DIR
  local lib="$1/$L/halvex/libhxrun.so"
  fresh_dir "$2/registry/Halvex/Pkg"
  printf '#include <stdio.h>\nint main(int, char** argv) {\n  FILE* f = fopen(argv[1], "r");\n  int c;\n  while (f && (c = getc(f)) != EOF) putchar(c);\n  return f ? 0 : 1;\n}\n' |
    c++ $HX_ABI_FLAGS -x c++ - -o "$2/show_file" || return 1
  # shellcheck disable=SC2086
  HXREG="$2/registry" $HX_EMULATOR "$1/bin/hxctl" run --job 1 --focus Pkg -- "$2/show_file" /proc/self/maps \
    >"$2/maps" 2>"$2/run.err" && [ ! -s "$2/run.err" ] && grep -q " $lib\$" "$2/maps" ||
    { echo "hxctl run from $1 did not load $lib:" >&2; cat "$2/run.err" >&2; return 1; }
}

check_install() {
  local prefix="$work/prefix" lib="$work/prefix/$L" f n
  cmake --install "$HX_BUILD_DIR" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }
  check "every installed file is under the prefix" [ -z "$(grep -v "^$prefix/" "$HX_BUILD_DIR/install_manifest.txt")" ]
  expect_files() { for f in "$@"; do [ -e "$prefix/$f" ] || { echo "missing: $f" >&2; return 1; }; done; }
  check "libraries, tool, man page, headers, package files in GNU/multiarch dirs" expect_files \
    "$L/libhxsys.so.1.0.0" "$L/libhxplatform.so.1.0.0" bin/hxctl share/man/man1/hxctl.1.gz \
    include/halvex/throttling/throttling_manager.h include/halvex/perfmonitor/monitor_handle.h \
    include/halvex/perfmonitor/generic_resource_agent.h "$L/cmake/Halvex/HalvexConfig.cmake" \
    "$L/cmake/Halvex/HalvexConfigVersion.cmake" "$L/pkgconfig/hxsys.pc" "$L/pkgconfig/hxplatform.pc" \
    "$L/halvex/libhxrun.so"
  versioned() {  # SONAME n.so.1, links n.so -> n.so.1 -> n.so.1.0.0
    [ "$(readlink "$lib/$1.so")" = "$1.so.1" ] && [ "$(readlink "$lib/$1.so.1")" = "$1.so.1.0.0" ] &&
      readelf -d "$lib/$1.so.1.0.0" | grep -q "(SONAME).*\[$1.so.1\]"
  }
  for n in libhxsys libhxplatform; do check "$n: SONAME $n.so.1 and its links" versioned $n; done
  check "hxctl from the prefix finds its libraries" hxctl_runs "$prefix/bin/hxctl"
  check "hxctl run from the prefix preloads its throttling library" hxctl_run_preloads "$prefix" "$work/run"
  headers_alone() {  # with only the installed include dir
    local h bad=0
    while IFS= read -r h; do
      echo "#include \"$h\"" | c++ -std=c++17 -fsyntax-only -Werror -Wall -I"$prefix/include/halvex" -x c++ - ||
        { echo "not self-contained: $h" >&2; bad=1; }
    done < <(find "$prefix/include/halvex" -name '*.h' | sort)
    return $bad
  }
  man_covers_help() {  # every command and option hxctl's --help names
    local page cmd opt missing=""
    page=$(zcat "$prefix/share/man/man1/hxctl.1.gz" | sed 's/\\-/-/g')
    for cmd in $("$prefix/bin/hxctl" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p'); do
      grep -q "^\.B $cmd\$" <<<"$page" || missing+=" $cmd"
      for opt in $("$prefix/bin/hxctl" "$cmd" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
        grep -qe "$opt" <<<"$page" || missing+=" $cmd $opt"
      done
    done
    [ -n "$page" ] && [ -z "$missing" ] || { echo "not in the man page:$missing" >&2; return 1; }
  }
  if [ -z "$HX_ABI_FLAGS" ]; then  # the same files in both ABIs: one is enough
    check "every installed header compiles on its own" headers_alone
    check "the man page covers hxctl --help" man_covers_help
  fi
  check "consumer with find_package(Halvex) against the prefix" find_package_consumer "$prefix" "$work/cmake-consumer"
  pkgconfig_consumer() {  # PKG_CONFIG_LIBDIR replaces the system search path
    local dir="$work/pc-consumer" flags
    fresh_dir "$dir"
    flags=$(PKG_CONFIG_LIBDIR="$lib/pkgconfig" pkg-config --cflags --libs hxsys) || return 1
    case " $flags " in *" -I$prefix/"*" -lhxsys "*"-lhxplatform "*) ;; *) echo "flags: $flags" >&2; return 1 ;; esac
    # shellcheck disable=SC2086
    c++ $HX_ABI_FLAGS -std=c++17 -Wall -Werror "$HX_SOURCE_DIR/tests/consumer/consumer.cc" -o "$dir/hx_consumer" \
      $flags -Wl,-rpath,"$lib" && run_consumer "$dir/hx_consumer" "$dir"
  }
  check "consumer with pkg-config --cflags --libs hxsys" pkgconfig_consumer
}

check_deb() {
  local v=1.0.0 a=$HX_DEBARCH
  local run="$work/out/libhxsys1_${v}_$a.deb" dev="$work/out/libhxsys-dev_${v}_$a.deb" tool="$work/out/hxctl_${v}_$a.deb"
  cpack --config "$HX_BUILD_DIR/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
  check "three packages: runtime, dev, tool" [ -f "$run" -a -f "$dev" -a -f "$tool" ]
  fields_are() {  # DEB Field=value...; Depends=RE;RE...: extended regexes, an entry matching each
    local deb=$1 pair got deps re res
    shift
    for pair in "$@"; do
      got=$(dpkg-deb -f "$deb" "${pair%%=*}")
      if [ "${pair%%=*}" = Depends ]; then
        deps=$(tr ',' '\n' <<<"$got" | sed 's/^ *//')
        # Only the ABI's own packages: lib32*/libc6-i386 would not exist on i386.
        IFS=';' read -ra res <<<"${pair#*=}"
        for re in "${res[@]}"; do grep -Eqx "$re" <<<"$deps" && ! grep -Eq '^(lib32|libc6-i386)' <<<"$deps" ||
          { echo "$(basename "$deb"): Depends: $got" >&2; return 1; }; done
      elif [ "$got" != "${pair#*=}" ]; then echo "$(basename "$deb"): ${pair%%=*} is '$got'" >&2; return 1; fi
    done
  }
  check "runtime: fields, depends on libc6 and libstdc++6 (dpkg-shlibdeps)" fields_are "$run" Package=libhxsys1 \
    Architecture="$a" Multi-Arch=same Version="$v" 'Depends=libc6 \(>= [^)]+\);libstdc\+\+6 \(>= [^)]+\)'
  check "dev: fields, depends on the same runtime version" fields_are "$dev" Package=libhxsys-dev \
    Architecture="$a" Multi-Arch=same "Depends=libhxsys1 \(= $v\)"
  check "tool: fields, depends on the runtime" fields_are "$tool" Package=hxctl Architecture="$a" Multi-Arch=no \
    "Depends=libhxsys1 \(= $v\)"
  if [ -x "$HX_BUILD_DIR/bin/hxfleet" ]; then  # the fleet agent: 64-bit builds only
    local fleet="$work/out/hxfleet_${v}_$a.deb"
    check "fleet: fields, depends on the runtime and libcurl" fields_are "$fleet" Package=hxfleet \
      Architecture="$a" "Depends=libhxsys1 \(= $v\);libcurl4 \(>= [^)]+\)"
    check "fleet: the agent, its systemd unit and man page" [ "$(dpkg-deb -c "$fleet" | awk '$1 !~ /^d/ {print $6}' |
      sort | tr '\n' ' ')" = "./usr/bin/hxfleet ./usr/lib/systemd/system/hxfleet.service ./usr/share/man/man1/hxfleet.1.gz " ]
  fi
  files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' '; }
  check "runtime holds the shared objects and nothing else (Multi-Arch: same)" [ "$(files_of "$run")" = \
    "./usr/$L/halvex/libhxrun.so ./usr/$L/libhxplatform.so.1 ./usr/$L/libhxplatform.so.1.0.0 ./usr/$L/libhxsys.so.1 ./usr/$L/libhxsys.so.1.0.0 " ]
  dev_shape() {  # headers, .so links, CMake and pkg-config files only
    local files extra
    files=$(files_of "$dev")
    extra=$(tr ' ' '\n' <<<"$files" | grep . | grep -Ev "^\./usr/include/halvex/[a-z]+/[a-z_0-9]+\.h$" |
      grep -Evx "\./usr/$L/(libhxsys\.so|libhxplatform\.so|pkgconfig/hx(sys|platform)\.pc|cmake/Halvex/Halvex[A-Za-z-]*\.cmake)")
    [ -z "$extra" ] || { echo "unexpected in dev: $extra" >&2; return 1; }
    grep -q "/cmake/Halvex/HalvexConfig.cmake" <<<"$files" && grep -q "/pkgconfig/hxsys.pc" <<<"$files" &&
      grep -q "/libhxsys.so " <<<"$files"
  }
  check "dev holds headers, .so links, CMake and pkg-config files only" dev_shape
  check "tool holds hxctl and its man page" [ "$(files_of "$tool")" = "./usr/bin/hxctl ./usr/share/man/man1/hxctl.1.gz " ]
  for deb in "$run" "$dev" "$tool"; do dpkg -x "$deb" "$work/root"; done
  check "hxctl from the unpacked packages runs" hxctl_runs "$work/root/usr/bin/hxctl"
  check "hxctl run from the unpacked packages preloads their throttling library" hxctl_run_preloads \
    "$work/root/usr" "$work/run"
  check "consumer with find_package against the unpacked packages" find_package_consumer "$work/root/usr" "$work/consumer"
}

check_symbols() {  # weak instantiations of the standard library's templates are not ours
  # A test build (HX_SYNC_POINTS=1) also exports hxp::SyncPoints, the seam its
  # tests order threads with; shipped (Release) builds have none, so the
  # lists never name it.
  local seam='^$'
  [ "${HX_SYNC_POINTS:-0}" = 1 ] && seam='^_ZN(K)?3hxp10SyncPoints'
  exported() {
    nm -D --defined-only "$1" | awk '{print $NF}' |
      grep -Ev '^_Z(T[VIST])?N?K?(St|Sa|Sb|Ss|Si|So|Sd|9__gnu_cxx)' | grep -Ev "$seam" | LC_ALL=C sort -u
  }
  same_as_list() {  # SO LIST
    local d
    d=$(diff <(LC_ALL=C sort -u "$2") <(exported "$1")) && return 0
    echo "exports changed (< only in the list, > only in the build):" >&2
    c++filt <<<"$d" >&2
    echo "If intended: HX_UPDATE_SYMBOLS=1 ctest -R exported_symbols in both builds" >&2
    return 1
  }
  for name in libhxsys libhxplatform; do
    local so="$HX_BUILD_DIR/lib/$name.so.1" list="$HX_SOURCE_DIR/tests/packaging/symbols/$name.$HX_LIBARCH.txt"
    if [ "${HX_UPDATE_SYMBOLS:-}" = 1 ]; then exported "$so" >"$list" && echo "wrote $list"; continue; fi
    check "$name exports exactly the names in $(basename "$list")" same_as_list "$so" "$list"
  done
}

"check_$1"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
