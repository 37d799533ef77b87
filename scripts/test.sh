#!/usr/bin/env bash
# Installs what the tests need, builds Tarrow and runs every test; non-zero on any failure.
#   test.sh [--build-dir DIR] [--sanitize address,undefined|thread] [--capture-only]
# Tests that need root (packet sockets in private network namespaces) skip without it and say why.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
cmake_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --sanitize) cmake_args+=("-DTARROW_SANITIZE=$2" -DTARROW_BUILD_BENCH=OFF); shift 2 ;;
    --capture-only) cmake_args+=(-DTARROW_CAPTURE_ONLY=ON); shift ;;
    *) echo "test.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh test

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}"
cmake --build "$build_dir"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}
ctest --test-dir "$build_dir" --output-on-failure --timeout 600
