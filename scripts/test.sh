#!/usr/bin/env bash
# The whole test suite: dependencies, style, native tests, sanitizer runs, the Windows build
# and the Windows programs under Wine. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# Most tests wait on lines paced at 115200 bit/s rather than compute, so they run three to a
# core; the suites that measure time do so against the line, not the machine.
test_jobs=$((jobs * 3))
step() { printf '\n==== %s ====\n' "$*"; }

step "dependencies"
bash scripts/install-deps.sh

step "clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

step "native build, then its tests beside clang-tidy"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
# src/app is PtzUpgrade.exe, built for Windows only.
git ls-files 'src/*.cpp' 'tools/*.cpp' | grep -v -e '_win32\.cpp$' -e '^src/app/' \
    | xargs -P "$jobs" -n 4 clang-tidy -p build/native --quiet 2>/dev/null &
tidy=$!
ctest --preset native -j "$test_jobs"
wait "$tidy" || { echo "clang-tidy found problems" >&2; exit 1; }

step "AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$test_jobs"

step "ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$test_jobs"

step "fuzz targets (libFuzzer, a fixed number of runs each)"
bash scripts/fuzz.sh --smoke

step "Windows build (mingw-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

step "packages: Debian package and Windows zip"
bash scripts/check-packages.sh build/native build/windows

step "clang-tidy (Windows sources)"
# clang reads the mingw compile commands as a Linux compile unless told the target and where
# mingw's C++ library headers are.
mingw_cxx=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")/include/c++
git ls-files 'src/*_win32.cpp' 'src/app/*.cpp' 'tests/wine/*.cpp' | grep -v 'shim\.cpp$' \
    | xargs -P "$jobs" -n 4 clang-tidy -p build/windows --quiet \
        --extra-arg=--target=x86_64-w64-mingw32 \
        --extra-arg=-isystem"$mingw_cxx" \
        --extra-arg=-isystem"$mingw_cxx/x86_64-w64-mingw32" \
        --extra-arg=-isystem"$mingw_cxx/backward" 2>/dev/null

if [ -x tests/wine/run-wine-tests.sh ]; then
    step "Windows programs under Wine"
    tests/wine/run-wine-tests.sh build/windows build/native
fi

step "all tests passed"
