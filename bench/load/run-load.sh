#!/bin/sh
# Load run for the capture: dnsperf in a client namespace sends distinct names to dnsmasq in a
# server namespace; CaptureLoadTarget and, for comparison, tcpdump capture on the server's
# interface, tcpdump printing each query as the peer it is measured against. Needs root. Prints one
# line per rate; CPU is Tarrow's (with its capture helper; helper_s is the helper's share) and
# tcpdump's over the same run, and ratio is the one over the other.
#   bench/load/run-load.sh BUILD_DIR [RATE...]      (default rates: 25000 50000 100000)
# LOAD_TARGET=WindowLoadTarget runs the offscreen window instead of the bare session;
# LOAD_TARGET=tarrow-watch runs tarrow-watch --format json into a file (its own CPU and its helper's
# read from /proc just before it is stopped; delivered counts its lines, drops its missed records);
# LOAD_SECONDS sets how long dnsperf sends at each rate (default 10).
set -eu

BUILD=${1:?usage: $0 BUILD_DIR [RATE...]}
shift
RATES=${*:-25000 50000 100000}
TARGET=$BUILD/bench/${LOAD_TARGET:-CaptureLoadTarget}
[ "${LOAD_TARGET:-}" != tarrow-watch ] || TARGET=$BUILD/watch/tarrow-watch
SECONDS_PER_RATE=${LOAD_SECONDS:-10}
STEM=tl
NET=10.201.0
. "$(dirname "$0")/netns-pair.sh"

awk 'BEGIN { for (i = 0; i < 100000; i++) printf "q%06d.load.example A\n", i }' > "$WORK/queries"

ip netns exec "$SRV" dnsmasq --no-daemon --no-resolv --no-hosts --address=/#/192.0.2.1 \
    --listen-address=$ADDR_SRV --bind-interfaces --port 53 -u root --pid-file= \
    > "$WORK/dnsmasq.log" 2>&1 &
echo $! > "$WORK/dnsmasq.pid"
sleep 1

# CPU seconds a running process has used, from /proc (it is gone once killed).
cpu_of() {
    awk -v tck="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / tck }' "/proc/$1/stat"
}

printf '%-8s %-10s %-10s %-8s %-8s %-9s %-9s %-6s %-12s %-10s\n' rate sent delivered drops cpu_s helper_s tcpdump_s ratio \
    tcpdump_shown tcpdump_drop
for RATE in $RATES; do
    if [ "${LOAD_TARGET:-}" = tarrow-watch ]; then
        ip netns exec "$SRV" "$TARGET" --address $ADDR_SRV --format json > "$WORK/watch.json" 2> "$WORK/target.out" &
    else
        ip netns exec "$SRV" env QT_QPA_PLATFORM=offscreen "$TARGET" $ADDR_SRV > "$WORK/target.out" 2>&1 &
    fi
    TARGET_PID=$!
    echo $TARGET_PID > "$WORK/target.pid"
    ip netns exec "$SRV" tcpdump -n -l -i "$IF_SRV" 'udp dst port 53' > "$WORK/tcpdump.txt" 2> "$WORK/tcpdump.out" &
    TCPDUMP_PID=$!
    echo $TCPDUMP_PID > "$WORK/tcpdump.pid"
    sleep 1
    ip netns exec "$CLI" dnsperf -s $ADDR_SRV -d "$WORK/queries" -Q "$RATE" -l $SECONDS_PER_RATE -c 1 -q 2000 \
        > "$WORK/dnsperf.out" 2>&1 || true
    sleep 2
    TD_CPU=$(cpu_of $TCPDUMP_PID)
    if [ "${LOAD_TARGET:-}" = tarrow-watch ]; then
        HELPER_PID=$(cat /proc/$TARGET_PID/task/$TARGET_PID/children)
        WATCH_CPU=$(cpu_of $TARGET_PID)
        HELPER_CPU=$(cpu_of $HELPER_PID)
        {
            echo "delivered $(grep -c '"kind":"query"' "$WORK/watch.json" || true)"
            echo "kernel_dropped $(grep -o '"missed":[0-9]*' "$WORK/watch.json" | tail -1 | cut -d: -f2)"
            echo "cpu_user_s $(awk -v a="$WATCH_CPU" -v b="$HELPER_CPU" 'BEGIN { print a + b }')"
            echo "cpu_sys_s 0"
            echo "helper_cpu_s $HELPER_CPU"
        } >> "$WORK/target.out"
    fi
    kill -INT $TCPDUMP_PID; wait $TCPDUMP_PID || true
    kill -TERM $TARGET_PID; wait $TARGET_PID || true
    rm -f "$WORK/target.pid" "$WORK/tcpdump.pid"

    SENT=$(awk '/Queries sent:/ { print $3 }' "$WORK/dnsperf.out")
    DELIVERED=$(awk '/^delivered/ { print $2 }' "$WORK/target.out")
    DROPS=$(awk '/^kernel_dropped/ { print $2 }' "$WORK/target.out")
    CPU=$(awk '/^cpu_user_s/ { u = $2 } /^cpu_sys_s/ { s = $2 } END { printf "%.2f", u + s }' "$WORK/target.out")
    HELPER=$(awk '/^helper_cpu_s/ { print $2 }' "$WORK/target.out")
    RATIO=$(awk -v a="$CPU" -v b="$TD_CPU" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    TD_SHOWN=$(grep -c 'load.example' "$WORK/tcpdump.txt" || true)
    TD_DROP=$(awk '/packets dropped by kernel/ { print $1 }' "$WORK/tcpdump.out")
    printf '%-8s %-10s %-10s %-8s %-8s %-9s %-9s %-6s %-12s %-10s\n' "$RATE" "$SENT" "$DELIVERED" "$DROPS" "$CPU" \
        "$HELPER" "$TD_CPU" "$RATIO" "$TD_SHOWN" "$TD_DROP"
done
