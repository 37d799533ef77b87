# Sourced by the load scripts: a server and a client network namespace joined by a veth pair,
# SRV/IF_SRV/ADDR_SRV and CLI/IF_CLI/ADDR_CLI, and a scratch folder WORK. Everything, and every
# process whose pid is in WORK/*.pid, goes when the script ends. Set STEM (a few letters) and NET
# (the first three parts of a private /24) before sourcing. With LOAD_TARGET=tarrow-watch, which gives
# up root's rights as the window does, the build's helper holds the right as a file capability
# (without cap_bpf and cap_perfmon for LOAD_SENDERS=off) until the script ends.
ID=$$
SRV=trw${STEM}${ID}s
CLI=trw${STEM}${ID}c
IF_SRV=${STEM}${ID}s
IF_CLI=${STEM}${ID}c
ADDR_SRV=$NET.1
ADDR_CLI=$NET.2
WORK=$(mktemp -d)

cleanup() {
    for pid in $(cat "$WORK"/*.pid 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    ip netns delete "$SRV" 2>/dev/null || true
    ip netns delete "$CLI" 2>/dev/null || true
    rm -rf "$WORK"
    [ -z "${GRANTED_HELPER:-}" ] || setcap -r "$GRANTED_HELPER" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

if [ "${LOAD_TARGET:-}" = tarrow-watch ]; then
    GRANTED_HELPER=$(find "$BUILD/helper" -maxdepth 1 -name 'tarrow-capture-helper' -type f)
    if [ "${LOAD_SENDERS:-on}" = on ]; then
        setcap cap_net_raw,cap_bpf,cap_perfmon=p "$GRANTED_HELPER"
    else
        setcap cap_net_raw=p "$GRANTED_HELPER"
    fi
fi

ip netns add "$SRV"
ip netns add "$CLI"
ip link add "$IF_SRV" netns "$SRV" type veth peer name "$IF_CLI" netns "$CLI"
ip -n "$SRV" addr add "$ADDR_SRV/24" dev "$IF_SRV"
ip -n "$CLI" addr add "$ADDR_CLI/24" dev "$IF_CLI"
for ns in "$SRV" "$CLI"; do ip -n "$ns" link set lo up; done
ip -n "$SRV" link set "$IF_SRV" up
ip -n "$CLI" link set "$IF_CLI" up
sleep 1
