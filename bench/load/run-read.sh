#!/usr/bin/env bash
# Reading a pcap of COUNT distinct queries (MakeBurstPcap's) with tarrow-watch --read beside its
# peers on the same file in the same run: tshark printing each query's name, and tcpdump -n
# printing each packet, all to /dev/null. Prints wall and CPU seconds of each, and how many names
# tarrow-watch printed (to a file, counted after).
#   bench/load/run-read.sh BUILD_DIR [COUNT]      (default 1000000)
set -euo pipefail

BUILD=${1:?usage: $0 BUILD_DIR [COUNT]}
COUNT=${2:-1000000}
WORK=$(mktemp -d /tmp/tarrow-read.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

"$BUILD/bench/MakeBurstPcap" "$WORK/burst.pcap" "$COUNT" 02:00:00:00:00:01 02:00:00:00:00:02 10.202.0.2 10.202.0.1
# Warm the page cache, so every reader starts from memory.
cat "$WORK/burst.pcap" > /dev/null

TIMEFORMAT='%R %U %S'
measure() {
    local what=$1
    shift
    local t
    t=$( { time "$@" > /dev/null 2>&1; } 2>&1 )
    read -r wall user sys <<< "$t"
    printf '%-28s %-8s %-8s\n' "$what" "$wall" "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')"
}

printf '%-28s %-8s %-8s\n' reader wall_s cpu_s
measure "tarrow-watch --read json" "$BUILD/watch/tarrow-watch" --read "$WORK/burst.pcap" --format json
measure "tarrow-watch --read text" "$BUILD/watch/tarrow-watch" --read "$WORK/burst.pcap"
measure "tcpdump -r -n" tcpdump -r "$WORK/burst.pcap" -n
measure "tshark -T fields qry.name" tshark -r "$WORK/burst.pcap" -T fields -e dns.qry.name
"$BUILD/watch/tarrow-watch" --read "$WORK/burst.pcap" --format json > "$WORK/names.json"
echo "tarrow-watch printed $(wc -l < "$WORK/names.json") of $COUNT queries"
