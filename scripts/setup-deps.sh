#!/usr/bin/env bash
# Installs the Debian packages that a set-up command needs and this machine
# lacks; does nothing when everything is there.
#   bash scripts/setup-deps.sh demo     build the library and hxctl
#   bash scripts/setup-deps.sh package  also the i386 build and Debian packages
#   bash scripts/setup-deps.sh suite    also the test suite in both ABIs
# Installing needs root (or sudo without a password); otherwise the script
# says what to run and fails. For the suite it also makes sure that the kernel
# runs i386 programs that 64-bit ones exec (see i386_handler below).
set -euo pipefail
profile=${1:-suite}
case "$profile" in demo | package | suite) ;; *)
  echo "usage: $0 demo|package|suite" >&2
  exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "setup-deps: not a Debian system; install by hand: cmake, ninja, g++ with" \
    "32-bit multilib, qemu-i386, GoogleTest sources, Google Benchmark, pkg-config" >&2
  exit 0
fi

has() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
add_arch=""
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
# The build adds the tests, which build GoogleTest from /usr/src/googletest.
has googletest || need+=(googletest)
if [ "$profile" != demo ]; then
  has g++-multilib || need+=(g++-multilib)
  command -v qemu-i386 >/dev/null 2>&1 || need+=(qemu-user)
  # cpack's DEB generator finds the binaries with file(1) and their library
  # dependencies with dpkg-shlibdeps.
  command -v dpkg-shlibdeps >/dev/null 2>&1 || need+=(dpkg-dev)
  command -v file >/dev/null 2>&1 || need+=(file)
fi
if [ "$profile" = suite ]; then
  native=$(dpkg --print-architecture)
  command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
  has "libgtest-dev:$native" || need+=(libgtest-dev)
  has "libbenchmark-dev:$native" || need+=("libbenchmark-dev:$native")
  # The i386 benchmarks link the i386 Google Benchmark (Debian multiarch).
  dpkg --print-foreign-architectures | grep -qx i386 || add_arch=i386
  has libbenchmark-dev:i386 || need+=(libbenchmark-dev:i386)
  # The fuzzing step: clang-14 and its libFuzzer runtime (FuzzedDataProvider.h).
  command -v clang++-14 >/dev/null 2>&1 || need+=(clang)
  has libclang-rt-14-dev || need+=(libclang-rt-14-dev)
  # The metrics tests read the text back with the reference parser.
  has python3-prometheus-client || need+=(python3-prometheus-client)
  # The preload tests upload with a real tool.
  command -v curl >/dev/null 2>&1 || need+=(curl)
  # hxctl's tests give a program file capabilities (setcap).
  has libcap2-bin || need+=(libcap2-bin)
  # The fleet agent (64-bit) talks to etcd over libcurl with nlohmann-json;
  # its tests and the fleet demo start real etcd members.
  has "libcurl4-openssl-dev:$native" || need+=("libcurl4-openssl-dev:$native")
  has nlohmann-json3-dev || need+=(nlohmann-json3-dev)
  command -v etcd >/dev/null 2>&1 || need+=(etcd-server)
fi

# A 64-bit program run by the tests (a shell under `hxctl run`) execs i386
# programs. The kernel runs them itself when built with 32-bit support; a
# kernel without it needs a binfmt_misc handler, and this registers qemu-i386
# as one (the static build when installed: the dynamic one would have
# LD_PRELOAD applied to the emulator itself). Does nothing where i386
# programs already run; without root it says what to run instead.
runs_i386() {  # the i386 dynamic loader is itself an i386 program
  local ld
  for ld in /lib/ld-linux.so.2 /lib32/ld-linux.so.2; do
    [ -e "$ld" ] && { "$ld" --version >/dev/null 2>&1; return; }
  done
  return 0  # no i386 C library: no i386 program to run either
}
i386_handler() {
  runs_i386 && return 0
  local dir=/proc/sys/fs/binfmt_misc emu
  emu=$(command -v qemu-i386-static || command -v qemu-i386 || true)
  if [ -z "$emu" ] || [ "$root_ok" != yes ]; then
    echo "setup-deps: this kernel cannot run i386 programs: the tests that exec one from" \
      "a 64-bit program are skipped. As root: bash scripts/setup-deps.sh suite" >&2
    return 0
  fi
  [ -e "$dir/register" ] || "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$dir" || true
  if [ ! -e "$dir/qemu-i386" ] && [ -e "$dir/register" ]; then
    # qemu's own i386 entry: ELF, 32-bit, little-endian, executable or shared
    # object, EM_386. F: the kernel opens the emulator now, for every mount
    # namespace.
    printf '%s\n' ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$emu:F" |
      "${as_root[@]}" tee "$dir/register" >/dev/null || true
  fi
  [ -e "$dir/qemu-i386" ] && ! grep -qx enabled "$dir/qemu-i386" && { echo 1 | "${as_root[@]}" tee "$dir/qemu-i386" >/dev/null || true; }
  if runs_i386; then
    echo "setup-deps: registered $emu for i386 programs (binfmt_misc)"
  else
    echo "setup-deps: could not register qemu-i386 for i386 programs: the tests that exec" \
      "one from a 64-bit program are skipped" >&2
  fi
}

as_root=() root_ok=yes
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    as_root=(sudo -n)
  elif [ ${#need[@]} -eq 0 ] && [ -z "$add_arch" ]; then
    root_ok=no  # nothing to install; i386_handler says what it cannot do
  else
    {
      echo "setup-deps: this machine lacks Debian packages that '$profile' needs:"
      echo "    ${need[*]}"
      echo "Installing them needs root. Run as root (or with sudo):"
      [ -n "$add_arch" ] && echo "    dpkg --add-architecture $add_arch"
      echo "    apt-get update && apt-get install -y ${need[*]}"
      echo "or: sudo bash scripts/setup-deps.sh $profile"
    } >&2
    exit 1
  fi
fi
if [ ${#need[@]} -eq 0 ] && [ -z "$add_arch" ]; then
  [ "$profile" = suite ] && i386_handler
  exit 0
fi

[ -n "$add_arch" ] && "${as_root[@]}" dpkg --add-architecture "$add_arch"
echo "setup-deps: installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
for attempt in 1 2 3; do
  # A mirror caught mid-sync fails "update" for one list; the install
  # decides whether what we need could be had.
  "${as_root[@]}" apt-get update -qq || true
  if "${as_root[@]}" apt-get install -y -qq "${need[@]}" >/dev/null; then
    [ "$profile" = suite ] && i386_handler
    exit 0
  fi
  sleep $((attempt * 10))
done
echo "setup-deps: could not install: ${need[*]}" >&2
exit 1
