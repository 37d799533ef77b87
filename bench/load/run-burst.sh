#!/bin/sh
# Burst run for the capture: tcpreplay sends COUNT distinct DNS queries at top speed from a client
# namespace to a server namespace over a veth pair, while Tarrow (the offscreen window by default)
# and, beside it on the same interface and the same burst, tcpdump printing each query capture on
# the server's side. Needs root. Prints one line per burst size.
#   bench/load/run-burst.sh BUILD_DIR [COUNT...]      (default counts: 100000 1000000)
# LOAD_TARGET=CaptureLoadTarget runs the bare session instead of the window. FREEZE=1 stops the
# target's process (SIGSTOP) for the whole burst and lets it go on afterwards: what the ring cannot
# hold is then dropped by the kernel and must show as missed, so listed + missed = count.
# LOAD_TARGET=tarrow-watch runs tarrow-watch --format json into a file, once per mode of
# LOAD_WATCH_MODES (default "exchanges queries-only": the same burst twice, for the cost of joining
# beside that of printing at once), each time beside tcpdump printing both directions ('udp port
# 53'): listed counts the queries it printed (a burst has no responses, so exchanges write them as
# unanswered), and named those it printed with their sending program. cpu_s is the target's CPU
# with its helper's, tcpdump_s tcpdump's, both from the burst's start until both have worked off
# their buffers, read from /proc.
set -eu

BUILD=${1:?usage: $0 BUILD_DIR [COUNT...]}
shift
COUNTS=${*:-100000 1000000}
TARGET=$BUILD/bench/${LOAD_TARGET:-WindowLoadTarget}
[ "${LOAD_TARGET:-}" != tarrow-watch ] || TARGET=$BUILD/watch/tarrow-watch
STEM=tb
NET=10.202.0
. "$(dirname "$0")/netns-pair.sh"
MAC_SRV=$(ip -n "$SRV" -br link show "$IF_SRV" | awk '{ print $3 }')
MAC_CLI=$(ip -n "$CLI" -br link show "$IF_CLI" | awk '{ print $3 }')

# CPU seconds the running processes have used together, from /proc (gone once they end).
cpu_of() {
    for pid in "$@"; do cat "/proc/$pid/stat"; done | awk -v tck="$(getconf CLK_TCK)" '{ t += $14 + $15 } END { printf "%.2f", t / tck }'
}

MODES=-
TCPDUMP_FILTER='udp dst port 53'
if [ "${LOAD_TARGET:-}" = tarrow-watch ]; then
    MODES=${LOAD_WATCH_MODES:-exchanges queries-only}
    TCPDUMP_FILTER='udp port 53'
fi
printf '%-9s %-12s %-9s %-9s %-8s %-8s %-10s %-10s %-9s %-9s %-8s %-9s\n' count mode listed missed listed% rate/s tcpdump_n \
    tcpdump_n% helper_s named cpu_s tcpdump_s
for COUNT in $COUNTS; do
    "$BUILD/bench/MakeBurstPcap" "$WORK/burst.pcap" "$COUNT" "$MAC_CLI" "$MAC_SRV" $ADDR_CLI $ADDR_SRV
  for MODE in $MODES; do
    # The last run's output, and the burst's file, are on the disk before this one starts, so that
    # no run pays for the one before it.
    rm -f "$WORK/watch.json"
    sync
    if [ "${LOAD_TARGET:-}" = tarrow-watch ]; then
        MODE_ARGS=
        [ "$MODE" = exchanges ] || MODE_ARGS=--$MODE
        # shellcheck disable=SC2086
        ip netns exec "$SRV" "$TARGET" --address $ADDR_SRV --format json $MODE_ARGS ${LOAD_WATCH_ARGS:-} \
            > "$WORK/watch.json" 2> "$WORK/target.out" &
    else
        ip netns exec "$SRV" env QT_QPA_PLATFORM=offscreen "$TARGET" $ADDR_SRV > "$WORK/target.out" 2>&1 &
    fi
    echo $! > "$WORK/target.pid"
    ip netns exec "$SRV" tcpdump -n -l -i "$IF_SRV" "$TCPDUMP_FILTER" > "$WORK/tcpdump.txt" 2> "$WORK/tcpdump.err" &
    echo $! > "$WORK/tcpdump.pid"
    sleep 2
    TARGET_PID=$(cat "$WORK/target.pid")
    HELPER_PID=$(pgrep -P "$TARGET_PID")
    TCPDUMP_PID=$(cat "$WORK/tcpdump.pid")
    CPU_START=$(cpu_of "$TARGET_PID" $HELPER_PID)
    HELPER_START=$(cpu_of $HELPER_PID)
    TD_START=$(cpu_of "$TCPDUMP_PID")
    [ "${FREEZE:-0}" = 1 ] && kill -STOP "$(cat "$WORK/target.pid")"
    ip netns exec "$CLI" tcpreplay --preload-pcap --topspeed -i "$IF_CLI" "$WORK/burst.pcap" > "$WORK/tcpreplay.out" 2>&1
    [ "${FREEZE:-0}" = 1 ] && kill -CONT "$(cat "$WORK/target.pid")"
    # Both get time to work off what waits in their buffers.
    sleep 8
    CPU=$(awk -v a="$(cpu_of "$TARGET_PID" $HELPER_PID)" -v b="$CPU_START" 'BEGIN { printf "%.2f", a - b }')
    HELPER_CPU=$(awk -v a="$(cpu_of $HELPER_PID)" -v b="$HELPER_START" 'BEGIN { printf "%.2f", a - b }')
    TD_CPU=$(awk -v a="$(cpu_of "$TCPDUMP_PID")" -v b="$TD_START" 'BEGIN { printf "%.2f", a - b }')
    kill -INT "$(cat "$WORK/tcpdump.pid")"; wait "$(cat "$WORK/tcpdump.pid")" || true
    kill -TERM "$(cat "$WORK/target.pid")"; wait "$(cat "$WORK/target.pid")" || true
    rm -f "$WORK/target.pid" "$WORK/tcpdump.pid"

    RATE=$(awk '/Rated:/ { for (i = 1; i < NF; i++) if ($(i + 1) == "pps") print int($i) }' "$WORK/tcpreplay.out")
    if [ "${LOAD_TARGET:-}" = tarrow-watch ]; then
        LISTED=$(grep -c '"kind":"\(query\|unanswered\|exchange\)"' "$WORK/watch.json" || true)
        MISSED=$(grep -o '"missed":[0-9]*' "$WORK/watch.json" | tail -1 | cut -d: -f2)
        NAMED=$(grep -c '"sender":"program"' "$WORK/watch.json" || true)
        HELPER=$HELPER_CPU
    else
        LISTED=$(awk '/^rows/ { print $2 }' "$WORK/target.out")
        MISSED=$(awk '/^kernel_dropped/ { print $2 }' "$WORK/target.out")
        HELPER=$(awk '/^helper_cpu_s/ { print $2 }' "$WORK/target.out")
        NAMED=-
    fi
    MISSED=${MISSED:-0}
    PRINTED=$(grep -c 'burst.example' "$WORK/tcpdump.txt" || true)
    printf '%-9s %-12s %-9s %-9s %-8s %-8s %-10s %-10s %-9s %-9s %-8s %-9s\n' "$COUNT" "$MODE" "$LISTED" "$MISSED" \
        "$(awk -v a="$LISTED" -v b="$COUNT" 'BEGIN { printf "%.1f", 100 * a / b }')" "$RATE" "$PRINTED" \
        "$(awk -v a="$PRINTED" -v b="$COUNT" 'BEGIN { printf "%.1f", 100 * a / b }')" "$HELPER" "$NAMED" "$CPU" "$TD_CPU"
  done
done
