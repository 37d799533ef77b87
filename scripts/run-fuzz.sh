#!/usr/bin/env bash
# Builds the fuzzers with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs each for
# a bounded time from its seed corpus: the DNS name decoder (about a minute), the response decoder
# (as long), a frame through the decoder into every output format (as long) and the reader of the
# capture helper's record stream and the step that tells encrypted DNS (half that each). Exits
# non-zero when a build fails or anything is found.
#   run-fuzz.sh [build-dir]    (default build-fuzz, relative to the repository root)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build_dir=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARROW_BUILD_FUZZ=ON -DTARROW_BUILD_TESTS=OFF -DTARROW_BUILD_BENCH=OFF -DTARROW_CAPTURE_ONLY=ON
ninja -C "$build_dir" DnsNameFuzz DnsResponseFuzz FormatFuzz RecordReaderFuzz EncryptedRecordsFuzz

# fuzz TARGET SECONDS MAX_LEN SEED_DIR: new inputs go to a scratch corpus in the build dir; the
# seeds in the repository stay as they are.
fuzz() {
  local target=$1 time=$2 max_len=$3 seeds=$4
  local work_corpus=$build_dir/fuzz-corpus-$target artifacts=$build_dir/fuzz-artifacts-$target
  rm -rf "$artifacts"
  mkdir -p "$work_corpus" "$artifacts"
  local status=0
  "$build_dir/fuzz/$target" \
    -max_total_time="$time" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work_corpus" "$seeds" || status=$?
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
    echo "run-fuzz.sh: $target found a problem (exit $status); inputs are in $artifacts" >&2
    exit 1
  fi
  echo "run-fuzz.sh: $target found nothing in ${time} s"
}

# 1600 bytes: the most the capture reads from one datagram; 32 KiB + 1: one message more than the
# helper may write.
fuzz DnsNameFuzz "$seconds" 1600 "$root/fuzz/dns/corpus"
# Whole messages up to 4 KiB: over TCP they run longer than the 1600 bytes of a datagram.
fuzz DnsResponseFuzz "$seconds" 4096 "$root/fuzz/dns/response-corpus"
# Frames of queries and of responses, as the helper captures them (its seeds are the name decoder's
# frames and responses from the stored captures).
fuzz FormatFuzz "$seconds" 4096 "$root/fuzz/watch/corpus"
fuzz RecordReaderFuzz $((seconds / 2)) 32769 "$root/fuzz/channel/corpus"
# The first segments of encrypted connections, as the filter cuts them.
fuzz EncryptedRecordsFuzz $((seconds / 2)) 4096 "$root/fuzz/frames/corpus"
