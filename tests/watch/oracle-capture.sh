#!/usr/bin/env bash
# Makes a capture of real exchanges for the tshark oracle: dig and kdig in one network namespace
# ask dnsmasq in another for A, AAAA, MX, TXT, a CNAME chain, a name that does not exist and one
# whose upstream is dead, over UDP and TCP, IPv4 and IPv6; tcpdump writes what crosses the link.
# Needs root; removes its namespaces on every way out.
#   oracle-capture.sh OUTPUT_PCAP
set -euo pipefail
OUT=${1:?usage: $0 OUTPUT_PCAP}
if [ "$(id -u)" -ne 0 ]; then
    echo "oracle-capture.sh: needs root to build network namespaces" >&2
    exit 77
fi
STEM=tor$$
SRV=${STEM}s
CLI=${STEM}c
WORK=$(mktemp -d /tmp/tarrow-oracle.XXXXXX)
cleanup() {
    for pid_file in "$WORK"/*.pid; do
        [ -f "$pid_file" ] && kill "$(cat "$pid_file")" 2>/dev/null || true
    done
    ip netns delete "$SRV" 2>/dev/null || true
    ip netns delete "$CLI" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

ip netns add "$SRV"
ip netns add "$CLI"
ip link add "${STEM}a" netns "$SRV" type veth peer name "${STEM}b" netns "$CLI"
ip -n "$SRV" addr add 10.203.0.1/24 dev "${STEM}a"
ip -n "$CLI" addr add 10.203.0.2/24 dev "${STEM}b"
ip -n "$SRV" addr add fd53:203::1/64 dev "${STEM}a" nodad
ip -n "$CLI" addr add fd53:203::2/64 dev "${STEM}b" nodad
for ns in "$SRV" "$CLI"; do ip -n "$ns" link set lo up; done
ip -n "$SRV" link set "${STEM}a" up
ip -n "$CLI" link set "${STEM}b" up

# fail.test goes to an upstream on the server's own loopback that fails every query.
ip netns exec "$SRV" python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 5399))
while True:
    query, peer = s.recvfrom(4096)
    s.sendto(query[:2] + bytes([0x80 | (query[2] & 0x79), 0x82]) + query[4:], peer)
' > "$WORK/upstream.log" 2>&1 &
echo $! > "$WORK/upstream.pid"
ip netns exec "$SRV" dnsmasq --no-daemon --no-resolv --no-hosts --bind-interfaces -u root --pid-file= \
    --listen-address=10.203.0.1 --listen-address=fd53:203::1 --port 53 --local=/oracle.test/ \
    --host-record=a.oracle.test,192.0.2.10,2001:db8::10 --host-record=mail.oracle.test,192.0.2.25 \
    --mx-host=oracle.test,mail.oracle.test,10 --txt-record=txt.oracle.test,"v=spf1 -all","a second string" \
    --cname=c1.oracle.test,c2.oracle.test --cname=c2.oracle.test,a.oracle.test \
    --server=/fail.test/127.0.0.1#5399 > "$WORK/dnsmasq.log" 2>&1 &
echo $! > "$WORK/dnsmasq.pid"
ip netns exec "$SRV" tcpdump -n -i "${STEM}a" -w "$OUT" -U 'port 53' > "$WORK/tcpdump.log" 2>&1 &
echo $! > "$WORK/tcpdump.pid"
for _ in $(seq 50); do
    ip netns exec "$SRV" ss -lnu | grep -q '127.0.0.1:5399 ' \
        && ip netns exec "$CLI" dig +short +tries=1 +time=1 @10.203.0.1 a.oracle.test > /dev/null 2>&1 && break
    sleep 0.1
done

# A question that gets no answer (fail.test over TCP: the upstream takes UDP only) is part of the
# capture too.
ask() { ip netns exec "$CLI" "$@" > /dev/null 2>&1 || true; }
for server in 10.203.0.1 fd53:203::1; do
    for how in +notcp +tcp; do
        for question in "a.oracle.test A" "a.oracle.test AAAA" "oracle.test MX" "txt.oracle.test TXT" \
            "c1.oracle.test A" "missing.oracle.test A" "x.fail.test A"; do
            # shellcheck disable=SC2086
            ask dig +tries=1 +time=2 $how "@$server" $question
        done
    done
    ask kdig +retry=0 +timeout=2 "@$server" c1.oracle.test AAAA
    ask kdig +retry=0 +timeout=2 +tcp "@$server" oracle.test MX
done
sleep 1
kill "$(cat "$WORK/tcpdump.pid")"
wait "$(cat "$WORK/tcpdump.pid")" 2>/dev/null || true
rm -f "$WORK/tcpdump.pid"
