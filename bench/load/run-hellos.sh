#!/bin/sh
# What encrypted DNS costs under a flood of new HTTPS connections: HelloLoad in a client namespace
# opens RATE connections a second to a server namespace for LOAD_SECONDS (default 10), each sending
# one ClientHello for NAME; tarrow-watch (encrypted DNS on, JSON into a file) and, for comparison,
# tcpdump printing one line per connection (its SYN) capture on the server's interface. Needs root.
# CPU is tarrow-watch's with its helper's (helper_s its share), and tcpdump's, read from /proc
# while HelloLoad sends; lines counts tarrow-watch's encrypted lines and tcpdump's lines.
#   bench/load/run-hellos.sh BUILD_DIR [RATE [NAME...]]
#   (default: 2000 a second, for dns.google, a resolver whose every connection is a line, and for
#   shop.example, an ordinary site whose hellos the helper drops)
set -eu

BUILD=${1:?usage: $0 BUILD_DIR [RATE [NAME...]]}
RATE=${2:-2000}
shift $(($# < 2 ? $# : 2))
NAMES=${*:-dns.google shop.example}
LOAD_TARGET=tarrow-watch
SECONDS_PER_RUN=${LOAD_SECONDS:-10}
LOAD=$BUILD/bench/HelloLoad
WATCH=$BUILD/watch/tarrow-watch
STEM=th
NET=10.202.0
. "$(dirname "$0")/netns-pair.sh"

cpu_of() {
    for pid in "$@"; do cat "/proc/$pid/stat"; done | awk -v tck="$(getconf CLK_TCK)" '{ t += $14 + $15 } END { printf "%.2f", t / tck }'
}

ip netns exec "$SRV" "$LOAD" serve $ADDR_SRV 443 &
echo $! > "$WORK/server.pid"
sleep 1

printf '%-14s %-6s %-7s %-8s %-9s %-9s %-6s %-7s %-8s\n' name rate sent cpu_s helper_s tcpdump_s ratio lines td_lines
for NAME in $NAMES; do
    ip netns exec "$SRV" "$WATCH" --address $ADDR_SRV --format json > "$WORK/watch.json" 2> "$WORK/watch.err" &
    WATCH_PID=$!
    echo $WATCH_PID > "$WORK/watch.pid"
    ip netns exec "$SRV" tcpdump -n -l -i "$IF_SRV" 'tcp dst port 443 and tcp[tcpflags] & tcp-syn != 0' \
        > "$WORK/tcpdump.txt" 2> "$WORK/tcpdump.err" &
    TCPDUMP_PID=$!
    echo $TCPDUMP_PID > "$WORK/tcpdump.pid"
    sleep 2
    HELPER_PID=$(pgrep -P $WATCH_PID)
    WATCH_START=$(cpu_of $WATCH_PID $HELPER_PID)
    HELPER_START=$(cpu_of $HELPER_PID)
    TD_START=$(cpu_of $TCPDUMP_PID)
    SENT=$(ip netns exec "$CLI" "$LOAD" send $ADDR_SRV 443 "$RATE" "$SECONDS_PER_RUN" "$NAME" | awk '{ print $2 }')
    sleep 1
    CPU=$(awk -v a="$(cpu_of $WATCH_PID $HELPER_PID)" -v b="$WATCH_START" 'BEGIN { printf "%.2f", a - b }')
    HELPER=$(awk -v a="$(cpu_of $HELPER_PID)" -v b="$HELPER_START" 'BEGIN { printf "%.2f", a - b }')
    TD_CPU=$(awk -v a="$(cpu_of $TCPDUMP_PID)" -v b="$TD_START" 'BEGIN { printf "%.2f", a - b }')
    kill -INT $TCPDUMP_PID; wait $TCPDUMP_PID || true
    kill -TERM $WATCH_PID; wait $WATCH_PID || true
    rm -f "$WORK/watch.pid" "$WORK/tcpdump.pid"
    LINES=$(grep -c '"kind":"encrypted"' "$WORK/watch.json" || true)
    TD_LINES=$(wc -l < "$WORK/tcpdump.txt")
    RATIO=$(awk -v a="$CPU" -v b="$TD_CPU" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    printf '%-14s %-6s %-7s %-8s %-9s %-9s %-6s %-7s %-8s\n' "$NAME" "$RATE" "$SENT" "$CPU" "$HELPER" "$TD_CPU" \
        "$RATIO" "$LINES" "$TD_LINES"
done
