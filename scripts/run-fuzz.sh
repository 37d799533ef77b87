#!/usr/bin/env bash
# Builds the DNS name fuzzer with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs it
# for about a minute from the seed corpus. Exits non-zero when the build fails or anything is found.
#   run-fuzz.sh [build-dir]    (default build-fuzz, relative to the repository root)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build_dir=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARROW_BUILD_FUZZ=ON -DTARROW_BUILD_TESTS=OFF -DTARROW_BUILD_BENCH=OFF -DTARROW_CAPTURE_ONLY=ON
ninja -C "$build_dir" DnsNameFuzz

# New inputs go to a scratch corpus in the build dir; the seeds in the repository stay as they are.
work_corpus=$build_dir/fuzz-corpus
artifacts=$build_dir/fuzz-artifacts
rm -rf "$artifacts"
mkdir -p "$work_corpus" "$artifacts"

# 1600 bytes: the most the capture reads from one datagram.
status=0
"$build_dir/fuzz/DnsNameFuzz" \
  -max_total_time="$seconds" -max_len=1600 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$work_corpus" "$root/fuzz/corpus" || status=$?

if [ "$status" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
  echo "run-fuzz.sh: the fuzzer found a problem (exit $status); inputs are in $artifacts" >&2
  exit 1
fi
echo "run-fuzz.sh: nothing found in ${seconds} s"
