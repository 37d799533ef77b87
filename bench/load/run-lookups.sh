#!/bin/sh
# What telling lookups costs a program: LookupProbeBench's getaddrinfo() from the hosts file, for
# any family and for IPv4 alone, in rounds one after the other in the same run: alone, beside
# tarrow-watch on loopback with --no-lookups (its watch on send calls sees each system call the
# lookup makes), and beside it telling lookups (its output thrown away). Prints CPU ns per call for
# each, and the median the probes add (lookups over no lookups). Needs root: the build's helper
# holds the capture right while it runs.
#   bench/load/run-lookups.sh BUILD_DIR [ROUNDS]      (default 3 rounds)
set -eu

BUILD=${1:?usage: $0 BUILD_DIR [ROUNDS]}
ROUNDS=${2:-3}
HELPER=$BUILD/helper/tarrow-capture-helper
WATCH=$BUILD/watch/tarrow-watch
BENCH=$BUILD/bench/LookupProbeBench
WORK=$(mktemp -d /tmp/tarrow-lookups.XXXXXX)
cleanup() {
    [ ! -f "$WORK/watch.pid" ] || kill "$(cat "$WORK/watch.pid")" 2>/dev/null || true
    setcap -r "$HELPER" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
setcap cap_net_raw,cap_bpf,cap_perfmon=p "$HELPER"

# The calls on the first processor, the capture on the others: what a call pays, not what the
# capture spends beside it (the load runs count that).
# Both variants' CPU ns per call, "unspec inet".
ns_per_call() {
    taskset -c 0 "$BENCH" --benchmark_format=csv 2>/dev/null |
        awk -F, '/^"?HostsFileLookup/ { printf "%s%.0f", n++ ? " " : "", $4 }'
}

# ns per call, "unspec inet", while tarrow-watch runs with the arguments.
ns_while_watching() {
    taskset -c "1-$(($(nproc) - 1))" "$WATCH" -i lo --format json "$@" > /dev/null 2> "$WORK/watch.err" &
    echo $! > "$WORK/watch.pid"
    # Until the helper has attached its programs.
    sleep 2
    ns_per_call
    kill "$(cat "$WORK/watch.pid")"
    wait "$(cat "$WORK/watch.pid")" 2>/dev/null || true
    rm -f "$WORK/watch.pid"
    if grep -q "lookups are not shown" "$WORK/watch.err"; then
        cat "$WORK/watch.err" >&2
        exit 1
    fi
}

printf '%-6s %-8s %-12s %-14s %-12s %-10s\n' round family alone_ns no_lookups_ns lookups_ns probe_ns
i=1
while [ "$i" -le "$ROUNDS" ]; do
    alone=$(ns_per_call)
    unprobed=$(ns_while_watching --no-lookups)
    probed=$(ns_while_watching)
    set -- $alone $unprobed $probed
    printf '%-6s %-8s %-12s %-14s %-12s %-10s\n' "$i" unspec "$1" "$3" "$5" "$(($5 - $3))" "$i" inet "$2" "$4" "$6" "$(($6 - $4))"
    echo "$(($5 - $3))" >> "$WORK/unspec"
    echo "$(($6 - $4))" >> "$WORK/inet"
    i=$((i + 1))
done
median() { sort -n "$1" | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
printf 'median the probes add: %s ns per call for any family, %s ns for IPv4 alone\n' "$(median "$WORK/unspec")" "$(median "$WORK/inet")"
