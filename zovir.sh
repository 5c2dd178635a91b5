#!/usr/bin/env bash
# The one entry script. ./zovir.sh help lists the commands.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here"

packages=(build-essential cmake ninja-build pkg-config git python3 python3-crcmod
  libgtest-dev libgmock-dev googletest libbenchmark-dev libfmt-dev libcli11-dev nlohmann-json3-dev
  libudev-dev libusb-1.0-0-dev zlib1g-dev binutils ccache
  qt6-base-dev qt6-svg-dev libgl-dev fonts-noto-cjk fonts-liberation fonts-dejavu-core xvfb xauth
  libsystemd-dev dbus-daemon python3-dbus python3-dbusmock dpkg-dev lintian)

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

# The Windows build: cross-compiled with mingw-w64 into build-windows/. The programs that run
# while it builds (the packet generator and packer) and the virtual modem its end-to-end test
# updates come from the Linux build in build/. Its tests run under wine in a prefix of its own
# below the build folder (made on first use).
build_windows() {
  if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja
  fi
  cmake --build build -j "$(njobs)" --target zovir-modem-sim zovir-make-packet zovir-payload-pack \
    zovir_test_packet zovir_demo_packet
  configure_build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DZOVIR_BUILD_BENCH=OFF \
    "-DZOVIR_HOST_TOOLS=$here/build"
}

cmd_test_windows() {
  ensure_packages "${packages[@]}" g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 nsis osslsigncode
  build_windows
  local dir=build-windows
  export WINEPREFIX="$here/$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i > /dev/null 2>&1 < /dev/null
    wineserver -w
  fi
  # One test at a time: the tests map COM ports of the one wine prefix.
  ctest --test-dir "$dir" --output-on-failure --timeout 900 < /dev/null
}

# The Windows installer, build-windows/installer/quorvel-zovir-setup-<version>.exe, from the
# cross-built programs. Signed when ZOVIR_SIGN_PKCS12 and ZOVIR_SIGN_PASSWORD name a certificate
# (and time-stamped when ZOVIR_SIGN_TIMESTAMP_URL names a server).
cmd_installer() {
  ensure_packages "${packages[@]}" g++-mingw-w64-x86-64-posix libz-mingw-w64-dev nsis osslsigncode
  build_windows
  local dir=build-windows
  local version
  version="$(sed -n 's/.*ZOVIR_TOOL_VERSION "\(.*\)"/\1/p' "$dir/generated/build_info/zovir_build_info.h")"
  mkdir -p "$dir/installer"
  packaging/windows/build_installer.sh packaging/windows/quorvel-zovir.nsi "$dir" "$version" "$dir/installer"
}

cmd_test() {
  if [ "${1:-}" = "--windows" ]; then
    cmd_test_windows
    return
  fi
  ensure_packages "${packages[@]}"
  local dir=build cmake_args=()
  if [ "${1:-}" = "--asan" ]; then
    dir=build-asan
    cmake_args=(-DZOVIR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DZOVIR_BUILD_BENCH=OFF)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  fi
  configure_build "$dir" "${cmake_args[@]}"
  # Most tests wait on serial lines and timers rather than compute: twice as many at once as there
  # are cores keeps the machine busy; the long ones carry a COST so that they start first.
  ctest --test-dir "$dir" --output-on-failure -j "$(( $(njobs) * 2 ))" --timeout 900
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

cmd_gui() {
  ensure_packages "${packages[@]}"
  if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja
  fi
  cmake --build build -j "$(njobs)" --target quorvel-zovir
  # The window against a virtual modem in the same process; ARGS go to quorvel-zovir.
  build/src/ui/qt/quorvel-zovir --virtual "$@"
}

cmd_screenshots() {
  ensure_packages "${packages[@]}"
  if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja
  fi
  cmake --build build -j "$(njobs)" --target quorvel-zovir-screenshots
  rm -rf build/screenshots
  # A real X server; every window in each state and variant, then a few at 200 %.
  xvfb-run -a -s "-screen 0 1280x1024x24" build/src/ui/qt/quorvel-zovir-screenshots build/screenshots
  QT_SCALE_FACTOR=2 xvfb-run -a -s "-screen 0 2560x2048x24" build/src/ui/qt/quorvel-zovir-screenshots \
    build/screenshots @2x main_idle main_japanese main_27 main_title_pass
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

cmd_package() {
  ensure_packages "${packages[@]}"
  # A release build of its own with only what the package holds (no tests, no benchmarks),
  # hardened as Debian's own packages are. The .deb goes to build-package/package/.
  # -O2 as Debian builds its packages (GCC 12 at -O3 also warns falsely about std::string copies).
  configure_build build-package -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
    "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" -DZOVIR_BUILD_TESTS=OFF -DZOVIR_BUILD_BENCH=OFF -DZOVIR_HARDEN=ON
  (cd build-package && cpack --config CPackConfig.cmake)
}

cmd_bench() {
  # valgrind counts the engine's instructions per byte.
  ensure_packages "${packages[@]}" valgrind
  # Release build of its own; -O2 because GCC 12's -O3 trips a false -Wrestrict in <string>.
  if [ ! -f build-release/build.ninja ]; then
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG"
  fi
  cmake --build build-release -j "$(njobs)" --target zovir_bench_targets zovir-cli zovir-make-packet quorvel-zovir zovir_bench_gui
  python3 bench/run_targets.py build-release "$@"
}

cmd_fuzz() {
  # Seconds per target; the default gives each a few minutes.
  local seconds="${1:-180}"
  case "$seconds" in ''|*[!0-9]*) echo "fuzz: SECONDS must be a whole number" >&2; exit 2 ;; esac
  ensure_packages "${packages[@]}" clang libclang-rt-14-dev
  # libFuzzer needs clang; a build of its own with ASan+UBSan, the tests and benchmarks left out.
  if [ ! -f build-fuzz/build.ninja ]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DZOVIR_FUZZ=ON -DZOVIR_SANITIZE=ON \
      -DZOVIR_BUILD_TESTS=OFF -DZOVIR_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
  fi
  cmake --build build-fuzz -j "$(njobs)" --target zovir_fuzzers
  local runs="$here/build-fuzz/runs" found=0 bin name log execs
  for bin in build-fuzz/fuzz/fuzz_*; do
    [ -f "$bin" ] && [ -x "$bin" ] || continue
    name="$(basename "$bin")"
    mkdir -p "$runs/$name/corpus"
    log="$runs/$name/log"
    # New inputs go to the run's own corpus; the committed seeds are only read.
    if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$bin" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$runs/$name/" "$runs/$name/corpus" "fuzz/corpus/$name" >"$log" 2>&1; then
      execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
      printf '%-20s executions=%s\n' "$name" "${execs:-?}"
    else
      found=1
      execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
      printf '%-20s executions=%s FINDING (log: %s)\n' "$name" "${execs:-?}" "$log"
      grep -E '^(SUMMARY|==[0-9]+==ERROR)|runtime error|Test unit written' "$log" | head -5 || true
    fi
  done
  return "$found"
}

usage() {
  cat <<USAGE
usage: ./zovir.sh <command>
  test [--asan]   install what is missing, build, run the whole test suite (--asan: ASan+UBSan build)
  test --windows  cross-build the Windows programs with mingw-w64 and run their tests under wine
  build           install what is missing and build
  demo [ARGS]     build zovir-cli and update a virtual modem end to end (ARGS go to "zovir-cli run --virtual")
  gui [ARGS]      build quorvel-zovir and show the window against a virtual modem (ARGS go to it)
  screenshots     one PNG per window, state and variant in build/screenshots (under Xvfb)
  faults [ARGS]   build and run the fault matrix (whole updates with one injected fault each; --run N replays one)
  package         build, then the Debian package with CPack (build/package/*.deb)
  installer       cross-build the Windows programs, then their installer (build-windows/installer/*.exe)
  bench [--quick] release build, then every speed and memory figure against its target
  fuzz [SECONDS]  clang build with libFuzzer, ASan and UBSan; runs every fuzz target SECONDS each (default 180)
USAGE
}

case "${1:-help}" in
  test) shift; cmd_test "$@" ;;
  build) shift; cmd_build "$@" ;;
  demo) shift; cmd_demo "$@" ;;
  gui) shift; cmd_gui "$@" ;;
  screenshots) shift; cmd_screenshots "$@" ;;
  faults) shift; cmd_faults "$@" ;;
  bench) shift; cmd_bench "$@" ;;
  package) shift; cmd_package "$@" ;;
  installer) shift; cmd_installer "$@" ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  help|-h|--help) usage ;;
  *) usage; exit 2 ;;
esac
