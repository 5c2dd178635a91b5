#!/usr/bin/env bash
# The one entry script. ./zovir.sh help lists the commands.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here"

packages=(build-essential cmake ninja-build pkg-config git python3 python3-crcmod
  libgtest-dev libgmock-dev googletest libbenchmark-dev libfmt-dev libcli11-dev nlohmann-json3-dev
  libudev-dev libusb-1.0-0-dev binutils)

ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

njobs() { nproc 2>/dev/null || echo 2; }

# configure_build <dir> [cmake args...]
configure_build() {
  local dir="$1"; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "$@"
  fi
  cmake --build "$dir" -j "$(njobs)"
}

cmd_test() {
  ensure_packages "${packages[@]}"
  local dir=build cmake_args=()
  if [ "${1:-}" = "--asan" ]; then
    dir=build-asan
    cmake_args=(-DZOVIR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DZOVIR_BUILD_BENCH=OFF)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  fi
  configure_build "$dir" "${cmake_args[@]}"
  ctest --test-dir "$dir" --output-on-failure -j "$(njobs)" --timeout 900
}

cmd_build() {
  ensure_packages "${packages[@]}"
  configure_build build
}

cmd_demo() {
  ensure_packages "${packages[@]}"
  if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja
  fi
  cmake --build build -j "$(njobs)" --target zovir-cli
  # A whole update of a virtual modem on pseudo-terminals, from the packet the program carries.
  build/src/ui/cli/zovir-cli run --virtual "$@"
}

cmd_faults() {
  ensure_packages "${packages[@]}"
  if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja
  fi
  cmake --build build -j "$(njobs)" --target zovir-fault-matrix
  # Whole updates of virtual modems, one injected fault each; ARGS: --seed S, --run N, --jobs J, --list.
  build/tests/integration/faults/matrix/zovir-fault-matrix "$@"
}

usage() {
  cat <<USAGE
usage: ./zovir.sh <command>
  test [--asan]   install what is missing, build, run the whole test suite (--asan: ASan+UBSan build)
  build           install what is missing and build
  demo [ARGS]     build zovir-cli and update a virtual modem end to end (ARGS go to "zovir-cli run --virtual")
  faults [ARGS]   build and run the fault matrix (whole updates with one injected fault each; --run N replays one)
USAGE
}

case "${1:-help}" in
  test) shift; cmd_test "$@" ;;
  build) shift; cmd_build "$@" ;;
  demo) shift; cmd_demo "$@" ;;
  faults) shift; cmd_faults "$@" ;;
  help|-h|--help) usage ;;
  *) usage; exit 2 ;;
esac
