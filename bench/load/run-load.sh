#!/bin/sh
# Load run for the capture: dnsperf in a client namespace sends distinct names to dnsmasq in a
# server namespace; CaptureLoadTarget and, for comparison, tcpdump capture on the server's
# interface, tcpdump printing each query as the peer it is measured against. Needs root. Prints one
# line per rate; CPU is Tarrow's (with its capture helper; helper_s is the helper's share) and
# tcpdump's while dnsperf sends, read from /proc before and after, so that what each spends once
# on starting (Tarrow's helper loading its program that names senders, above all) is left out;
# ratio is the one over the other.
#   bench/load/run-load.sh BUILD_DIR [RATE...]      (default rates: 25000 50000 100000)
# LOAD_TARGET=WindowLoadTarget runs the offscreen window instead of the bare session;
# LOAD_TARGET=tarrow-watch runs tarrow-watch --format json into a file, counted once it has ended:
# delivered counts the queries it wrote (joined to their responses or not), drops its missed
# records, exchanges the queries joined to their responses, unanswered those it gave up on, alone
# the responses it found no query for, joined% the share of the responses it saw that it joined,
# named the queries that name their sending program; answered is dnsperf's count of responses
# (those it gave up waiting for can still reach the capture); tcpdump then prints both directions,
# so its shown counts responses as well;
# LOAD_SECONDS sets how long dnsperf sends at each rate (default 10); LOAD_SENDERS=off runs the
# target without cap_bpf and cap_perfmon, so that its programs go unnamed, for the cost of naming them.
# LOAD_WATCH_ARGS is appended to tarrow-watch's command line, split at white space and never
# globbed, e.g. filters ("--exclude-name *.local --type A,AAAA") for what they cost, or "--top 20",
# whose tables come at the end: delivered is then the total of its names table.
# LOAD_DNSTOP=on also runs dnstop -l 3 on the same interface (under script(1), since it draws only on
# a terminal) as a second peer: dnstop_s is its CPU and vs_dnstop the target's over it.
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
WRAP=""
if [ "${LOAD_SENDERS:-on}" != on ] && [ "${LOAD_TARGET:-}" != tarrow-watch ]; then
    WRAP=$WORK/without-senders
    printf '#!/bin/sh\nexec capsh --drop=cap_bpf,cap_perfmon -- -c '"'"'exec "$0" "$@"'"'"' "$@"\n' > "$WRAP"
    chmod +x "$WRAP"
fi

awk 'BEGIN { for (i = 0; i < 100000; i++) printf "q%06d.load.example A\n", i }' > "$WORK/queries"

ip netns exec "$SRV" dnsmasq --no-daemon --no-resolv --no-hosts --address=/#/192.0.2.1 \
    --listen-address=$ADDR_SRV --bind-interfaces --port 53 -u root --pid-file= \
    > "$WORK/dnsmasq.log" 2>&1 &
echo $! > "$WORK/dnsmasq.pid"
sleep 1

# CPU seconds the running processes have used together, from /proc (gone once they end).
cpu_of() {
    for pid in "$@"; do cat "/proc/$pid/stat"; done | awk -v tck="$(getconf CLK_TCK)" '{ t += $14 + $15 } END { printf "%.2f", t / tck }'
}

TD_FILTER='udp dst port 53'
[ "${LOAD_TARGET:-}" != tarrow-watch ] || TD_FILTER='udp port 53'

printf '%-8s %-10s %-10s %-8s %-8s %-9s %-9s %-6s %-12s %-10s %-9s %-9s %-9s %-9s %-7s %-8s %-8s %-9s %-9s\n' rate sent delivered drops cpu_s \
    helper_s tcpdump_s ratio tcpdump_shown tcpdump_drop named answered exchanges unanswered alone joined% named% \
    dnstop_s vs_dnstop
for RATE in $RATES; do
    if [ "${LOAD_TARGET:-}" = tarrow-watch ]; then
        # Split on purpose, one option or value a word; its globs are tarrow-watch's, not the shell's.
        set -f
        # shellcheck disable=SC2086
        ip netns exec "$SRV" $WRAP "$TARGET" --address $ADDR_SRV --format json ${LOAD_WATCH_ARGS:-} \
            > "$WORK/watch.json" 2> "$WORK/target.out" &
        set +f
    else
        ip netns exec "$SRV" env QT_QPA_PLATFORM=offscreen $WRAP "$TARGET" $ADDR_SRV > "$WORK/target.out" 2>&1 &
    fi
    TARGET_PID=$!
    echo $TARGET_PID > "$WORK/target.pid"
    ip netns exec "$SRV" tcpdump -n -l -i "$IF_SRV" "$TD_FILTER" > "$WORK/tcpdump.txt" 2> "$WORK/tcpdump.out" &
    TCPDUMP_PID=$!
    echo $TCPDUMP_PID > "$WORK/tcpdump.pid"
    DNSTOP_PID=""
    if [ "${LOAD_DNSTOP:-off}" = on ]; then
        ip netns exec "$SRV" env TERM=xterm script -qfc "dnstop -l 3 $IF_SRV" /dev/null < /dev/null \
            > /dev/null 2> "$WORK/dnstop.out" &
        echo $! > "$WORK/dnstop-script.pid"
    fi
    sleep 1
    if [ "${LOAD_DNSTOP:-off}" = on ]; then
        DNSTOP_PID=$(pgrep -xf "dnstop -l 3 $IF_SRV")
        echo "$DNSTOP_PID" > "$WORK/dnstop.pid"
        DNSTOP_START=$(cpu_of "$DNSTOP_PID")
    fi
    HELPER_PID=$(pgrep -P $TARGET_PID)
    TARGET_START=$(cpu_of $TARGET_PID)
    HELPER_START=$(cpu_of $HELPER_PID)
    TD_START=$(cpu_of $TCPDUMP_PID)
    ip netns exec "$CLI" dnsperf -s $ADDR_SRV -d "$WORK/queries" -Q "$RATE" -l $SECONDS_PER_RATE -c 1 -q 2000 \
        > "$WORK/dnsperf.out" 2>&1 || true
    sleep 2
    TD_CPU=$(awk -v a="$(cpu_of $TCPDUMP_PID)" -v b="$TD_START" 'BEGIN { printf "%.2f", a - b }')
    DNSTOP_CPU=-
    [ -z "$DNSTOP_PID" ] || DNSTOP_CPU=$(awk -v a="$(cpu_of "$DNSTOP_PID")" -v b="$DNSTOP_START" 'BEGIN { printf "%.2f", a - b }')
    HELPER=$(awk -v a="$(cpu_of $HELPER_PID)" -v b="$HELPER_START" 'BEGIN { printf "%.2f", a - b }')
    CPU=$(awk -v a="$(cpu_of $TARGET_PID $HELPER_PID)" -v b="$TARGET_START" -v c="$HELPER_START" \
        'BEGIN { printf "%.2f", a - b - c }')
    kill -INT $TCPDUMP_PID; wait $TCPDUMP_PID || true
    if [ -n "$DNSTOP_PID" ]; then
        kill "$DNSTOP_PID"; wait "$(cat "$WORK/dnstop-script.pid")" || true
        rm -f "$WORK/dnstop.pid" "$WORK/dnstop-script.pid"
    fi
    kill -TERM $TARGET_PID; wait $TARGET_PID || true
    rm -f "$WORK/target.pid" "$WORK/tcpdump.pid"
    NAMED=- EXCHANGES=- UNANSWERED=- ALONE=- ANSWERED=- JOINED=- NAMED_SHARE=-
    if [ "${LOAD_TARGET:-}" = tarrow-watch ] && grep -q '^{"table":' "$WORK/watch.json"; then
        # --top wrote only its tables: each counts every line once.
        ANSWERED=$(awk '/Queries completed:/ { print $3 }' "$WORK/dnsperf.out")
        echo "delivered $(sed -n 's/^{"table":"names","total":\([0-9]*\),.*/\1/p' "$WORK/watch.json")" >> "$WORK/target.out"
    elif [ "${LOAD_TARGET:-}" = tarrow-watch ]; then
        # Counted after it ended, when the queries still waiting have been written as unanswered.
        EXCHANGES=$(grep -c '"kind":"exchange"' "$WORK/watch.json" || true)
        UNANSWERED=$(grep -c '"kind":"unanswered"' "$WORK/watch.json" || true)
        ALONE=$(grep -c '"kind":"response"' "$WORK/watch.json" || true)
        ANSWERED=$(awk '/Queries completed:/ { print $3 }' "$WORK/dnsperf.out")
        NAMED=$(grep -c '"kind":"\(query\|exchange\|unanswered\)".*"sender":"program"' "$WORK/watch.json" || true)
        {
            echo "delivered $((EXCHANGES + UNANSWERED + $(grep -c '"kind":"query"' "$WORK/watch.json" || true)))"
            echo "kernel_dropped $(grep -o '"missed":[0-9]*' "$WORK/watch.json" | tail -1 | cut -d: -f2)"
        } >> "$WORK/target.out"
        JOINED=$(awk -v a="$EXCHANGES" -v b="$((EXCHANGES + ALONE))" 'BEGIN { if (b > 0) printf "%.2f", 100 * a / b; else print "-" }')
    fi

    SENT=$(awk '/Queries sent:/ { print $3 }' "$WORK/dnsperf.out")
    DELIVERED=$(awk '/^delivered/ { print $2 }' "$WORK/target.out")
    DROPS=$(awk '/^kernel_dropped/ { print $2 }' "$WORK/target.out")
    DROPS=${DROPS:-0}
    RATIO=$(awk -v a="$CPU" -v b="$TD_CPU" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    VS_DNSTOP=$(awk -v a="$CPU" -v b="$DNSTOP_CPU" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    TD_SHOWN=$(grep -c 'load.example' "$WORK/tcpdump.txt" || true)
    [ "${LOAD_TARGET:-}" != tarrow-watch ] || TD_SHOWN=$(wc -l < "$WORK/tcpdump.txt")
    TD_DROP=$(awk '/packets dropped by kernel/ { print $1 }' "$WORK/tcpdump.out")
    [ "$NAMED" = - ] || NAMED_SHARE=$(awk -v a="$NAMED" -v b="$DELIVERED" 'BEGIN { if (b > 0) printf "%.2f", 100 * a / b; else print "-" }')
    printf '%-8s %-10s %-10s %-8s %-8s %-9s %-9s %-6s %-12s %-10s %-9s %-9s %-9s %-9s %-7s %-8s %-8s %-9s %-9s\n' "$RATE" "$SENT" "$DELIVERED" \
        "$DROPS" "$CPU" "$HELPER" "$TD_CPU" "$RATIO" "$TD_SHOWN" "$TD_DROP" "$NAMED" "$ANSWERED" "$EXCHANGES" "$UNANSWERED" \
        "$ALONE" "$JOINED" "$NAMED_SHARE" "$DNSTOP_CPU" "$VS_DNSTOP"
done
