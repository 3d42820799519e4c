#!/usr/bin/env bash
# QelExp developer entry point.
#   ./qelexp.sh test            install what is missing, build (warnings are errors), run every test
#   ./qelexp.sh test-sanitize   the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   ./qelexp.sh build           build into ./build
#   ./qelexp.sh demo            build, then run agent + server + simulated station end to end
#   ./qelexp.sh chaos [--seed N] [--minutes M] [--short] [--central postgres]
#                               build, then run a simulated store under faults and check that
#                               no row is lost, duplicated or falsely flagged (docs/reliability.md)
#   ./qelexp.sh mutate [FILE...|--changed[=BASE]|--all] [--sample N] ...
#                               mutation testing of src/ and server/ in ./build-mutate
#                               (docs/testing.md); default: the files changed since origin/main
#   ./qelexp.sh bench           build and run the benchmarks (Release)
#   ./qelexp.sh deps            only install the Debian packages the build needs
#   ./qelexp.sh format          reformat the sources with clang-format
#   ./qelexp.sh windows         cross-build QelExp.exe, QelExp.msi and the Windows tests (MinGW-w64) into ./build-windows
#   ./qelexp.sh windows-test    the same, then run the Windows tests under Wine
#   ./qelexp.sh package         build the Debian packages (qelexp-server, qelexp-agent) into build-package/packages
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ clang clang-format pkg-config prometheus
          libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev sqlite3 unixodbc-dev odbcinst libsqliteodbc
          libcpp-httplib-dev libboost-dev libmsgpack-cxx-dev libpq-dev postgresql chromium dpkg-dev libssl-dev zlib1g-dev libclang-rt-14-dev curl openssl
          systemd faketime)

# The Windows cross-build and its test run under Wine.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
                  googletest libmsgpack-cxx-dev dpkg-dev tcl wine wine64 xvfb x11-utils wixl msitools)

deps() {
    install_missing "${PACKAGES[@]}"
}

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

jobs() { nproc 2>/dev/null || echo 2; }

configure_build() {  # dir, extra cmake args...
    local dir=$1; shift
    local launcher=()
    # ccache, when present, lets several checkouts of the tree share objects.
    if command -v ccache >/dev/null; then
        export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "${launcher[@]}" "$@" >/dev/null
    cmake --build "$dir" -j "$(jobs)"
}

windows_build() {
    install_missing "${WINDOWS_PACKAGES[@]}"
    tools/windows/sqlite_amalgamation.sh build-windows/third_party/sqlite
    local launcher=()
    if command -v ccache >/dev/null; then
        export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DQEL_WERROR=ON \
        -DQEL_SQLITE_AMALGAMATION="$PWD/build-windows/third_party/sqlite" "${launcher[@]}" >/dev/null
    cmake --build build-windows -j "$(jobs)"
    tools/windows/build_msi.sh build-windows
}

run_tests() {  # dir
    ctest --test-dir "$1" --output-on-failure -j "$(jobs)" --timeout 600
}

case "${1:-test}" in
    deps) deps ;;
    build) deps; configure_build build -DQEL_WERROR=ON ;;
    test) deps; configure_build build -DQEL_WERROR=ON; run_tests build ;;
    test-sanitize)
        deps
        BUILD_TYPE=Debug configure_build build-sanitize -DQEL_WERROR=ON -DQEL_SANITIZE=ON -DQEL_BUILD_BENCH=OFF
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            run_tests build-sanitize ;;
    demo) deps; configure_build build -DQEL_WERROR=ON; exec tools/demo.sh build ;;
    chaos) shift; deps; configure_build build -DQEL_WERROR=ON; exec build/tools/chaos/qelexp-chaos "$@" ;;
    mutate)
        # The tool configures and builds ./build-mutate itself, once it knows
        # there is something to mutate.
        shift; deps
        exec python3 tools/mutate/mutate.py "$@" ;;
    bench) deps; BUILD_TYPE=Release configure_build build-release -DQEL_BUILD_TESTS=OFF; exec tools/bench.sh build-release ;;
    windows) windows_build ;;
    windows-test) windows_build; tools/windows/run_tests.sh build-windows ;;
    package)
        deps
        BUILD_TYPE=Release configure_build build-package -DQEL_WERROR=ON -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=OFF
        (cd build-package && cpack -G DEB -B packages >/dev/null)
        ls -1 build-package/packages/*.deb ;;
    format) find src server tools tests bench fuzz -name '*.cpp' -o -name '*.h' 2>/dev/null | xargs clang-format -i ;;
    *) sed -n '2,18p' "$0"; exit 2 ;;
esac
