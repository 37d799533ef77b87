#!/usr/bin/env bash
# Prepares BIND to serve the test zones of tests/data/bind: example as it is, signed signed with
# NSEC3 (RSASHA256) and nsec signed with NSEC (ECDSAP256SHA256), each with fresh keys, and a
# configuration that listens where asked. Starts nothing.
#   bind-zones.sh DIR PORT ADDRESS...      then: named -g -u root -c DIR/named.conf
set -euo pipefail
DIR=${1:?usage: $0 DIR PORT ADDRESS...}
PORT=${2:?usage: $0 DIR PORT ADDRESS...}
shift 2
ZONES=$(cd "$(dirname "$0")/../data/bind" && pwd)
mkdir -p "$DIR"
cp "$ZONES"/db.* "$DIR"/
sign() {
    local zone=$1 algorithm=$2 nsec3=$3
    (
        cd "$DIR"
        dnssec-keygen -q -K . -a "$algorithm" -f KSK "$zone" > /dev/null
        dnssec-keygen -q -K . -a "$algorithm" "$zone" > /dev/null
        for key in K"$zone".+*.key; do echo "\$INCLUDE $key" >> "db.$zone"; done
        # shellcheck disable=SC2086
        dnssec-signzone -q $nsec3 -K . -o "$zone" -f "db.$zone.signed" "db.$zone" > /dev/null
    )
}
sign signed RSASHA256 "-3 aabbcc"
sign nsec ECDSAP256SHA256 ""
listen4="127.0.0.1;" listen6="none;"
for address in "$@"; do
    case $address in
        *:*) [ "$listen6" = "none;" ] && listen6=""; listen6="$listen6 $address;" ;;
        *) listen4="$listen4 $address;" ;;
    esac
done
cat > "$DIR/named.conf" <<CONF
options {
    directory "$DIR";
    pid-file "$DIR/named.pid";
    listen-on port $PORT { $listen4 };
    listen-on-v6 port $PORT { $listen6 };
    recursion no;
    dnssec-validation no;
    check-names primary ignore;
    minimal-responses yes;
};
zone "example" { type primary; file "$DIR/db.example"; };
zone "signed" { type primary; file "$DIR/db.signed.signed"; };
zone "nsec" { type primary; file "$DIR/db.nsec.signed"; };
CONF
