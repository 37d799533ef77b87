#!/usr/bin/env bash
# Reading pcaps made by MakeBurstPcap with tarrow-watch --read beside its peers on the same file in
# the same run, all printing to /dev/null; wall and CPU seconds of each.
# - queries: COUNT distinct queries, no responses: tarrow-watch (waiting for the responses, and with
#   --queries-only) beside tshark printing each query's name and tcpdump -n printing each packet.
# - exchanges: COUNT queries each followed by its response: tarrow-watch joining them beside tshark
#   printing the fields of an exchange (id, name, rcode, answers, the response's time) and tcpdump -n.
# - keys: COUNT queries from one source port with one DNS id, each a name of its own, beside COUNT
#   on distinct ports: what a sender who picks the keys can make the join cost.
# Then how many lines tarrow-watch printed for each file (to a file, counted after).
#   bench/load/run-read.sh BUILD_DIR [COUNT [queries|exchanges|both|keys]]      (default 1000000 both)
set -euo pipefail

BUILD=${1:?usage: $0 BUILD_DIR [COUNT [queries|exchanges|both|keys]]}
COUNT=${2:-1000000}
FILES=${3:-both}
WATCH=$BUILD/watch/tarrow-watch
WORK=$(mktemp -d /tmp/tarrow-read.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

TIMEFORMAT='%R %U %S'
measure() {
    local what=$1
    shift
    local t
    t=$( { time "$@" > /dev/null 2>&1; } 2>&1 )
    read -r wall user sys <<< "$t"
    printf '%-42s %-8s %-8s\n' "$what" "$wall" "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')"
}

make_pcap() {
    "$BUILD/bench/MakeBurstPcap" "$1" "$COUNT" 02:00:00:00:00:01 02:00:00:00:00:02 10.202.0.2 10.202.0.1 ${2:-}
    # Warm the page cache, so every reader starts from memory.
    cat "$1" > /dev/null
}

printf '%-42s %-8s %-8s\n' reader wall_s cpu_s
if [ "$FILES" = keys ]; then
    make_pcap "$WORK/one-key.pcap" one-key
    make_pcap "$WORK/queries.pcap"
    echo "-- $COUNT queries on one key, and on distinct keys"
    for round in 1 2 3; do
        measure "tarrow-watch --read json, one key ($round)" "$WATCH" --read "$WORK/one-key.pcap" --format json
        measure "tarrow-watch --read json, distinct keys ($round)" "$WATCH" --read "$WORK/queries.pcap" --format json
    done
    exit 0
fi
if [ "$FILES" != exchanges ]; then
    make_pcap "$WORK/queries.pcap"
    echo "-- $COUNT queries"
    measure "tarrow-watch --read json" "$WATCH" --read "$WORK/queries.pcap" --format json
    measure "tarrow-watch --read json --queries-only" "$WATCH" --read "$WORK/queries.pcap" --format json --queries-only
    measure "tarrow-watch --read text --queries-only" "$WATCH" --read "$WORK/queries.pcap" --queries-only
    measure "tcpdump -r -n" tcpdump -r "$WORK/queries.pcap" -n
    measure "tshark -T fields qry.name" tshark -r "$WORK/queries.pcap" -T fields -e dns.qry.name
fi
if [ "$FILES" != queries ]; then
    make_pcap "$WORK/exchanges.pcap" exchanges
    echo "-- $COUNT exchanges"
    measure "tarrow-watch --read json" "$WATCH" --read "$WORK/exchanges.pcap" --format json
    measure "tcpdump -r -n" tcpdump -r "$WORK/exchanges.pcap" -n
    measure "tshark -T fields (exchange)" tshark -r "$WORK/exchanges.pcap" -T fields -e dns.id -e dns.qry.name \
        -e dns.flags.rcode -e dns.a -e dns.aaaa -e dns.cname -e dns.time
fi
if [ "$FILES" != exchanges ]; then
    "$WATCH" --read "$WORK/queries.pcap" --format json --queries-only > "$WORK/queries.json"
    echo "tarrow-watch --queries-only printed $(wc -l < "$WORK/queries.json") of $COUNT queries"
fi
if [ "$FILES" != queries ]; then
    "$WATCH" --read "$WORK/exchanges.pcap" --format json > "$WORK/exchanges.json"
    echo "tarrow-watch printed $(grep -c '"kind":"exchange"' "$WORK/exchanges.json" || true) exchanges of $COUNT" \
        "($(grep -c '"kind":"unanswered"' "$WORK/exchanges.json" || true) unanswered," \
        "$(grep -c '"kind":"response"' "$WORK/exchanges.json" || true) responses alone)"
fi
