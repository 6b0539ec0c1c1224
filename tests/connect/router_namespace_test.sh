#!/bin/bash
# Maps ports through a real router daemon (miniupnpd) running in network
# namespaces that this script makes and removes:
#
#   client namespace  ---- LAN veth 192.168.77.0/24 ----  router namespace
#   (fwpost, upnpc)                                       (miniupnpd, nftables,
#                                                          WAN veth 203.0.114.5)
#
# The daemon refuses documentation and private addresses on its WAN side, so
# the WAN veth carries an address it counts as public. Both ends of that veth
# stay inside the router namespace, which has no route out: nothing is ever
# sent to it, and nothing leaves the machine.
#
# Usage: router_namespace_test.sh FWPOST. Exit 0 when every check passed,
# 77 (skipped) when namespaces or the daemon are not available, 1 otherwise.
set -u
. "$(dirname "$0")/../support/namespace_script.sh"

FWPOST=$1
MINIUPNPD=/usr/sbin/miniupnpd
SKIP=77
# A generous limit for one fwpost call; the measured times are printed.
CALL_LIMIT=10


[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
for tool in ip nft upnpc "$MINIUPNPD"; do
    command -v "$tool" > /dev/null || skip "$tool is not installed (tools/packages.sh installs it)"
done

ROUTER=fwpr$$
CLIENT=fwpc$$
LAN=fwl$$
WAN=fww$$
WORK=$(mktemp -d)
DAEMON_PID=
LISTENER_PID=

cleanup() {
    [ -n "$LISTENER_PID" ] && stop_process "$LISTENER_PID"
    [ -n "$DAEMON_PID" ] && stop_process "$DAEMON_PID"
    ip netns del "$ROUTER" 2> /dev/null
    ip netns del "$CLIENT" 2> /dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

ip netns add "$ROUTER" 2> /dev/null || skip "cannot make a network namespace here"
ip netns add "$CLIENT" || exit 1
set -e
ip link add "$LAN" type veth peer name "${LAN}c"
ip link set "$LAN" netns "$ROUTER"
ip link set "${LAN}c" netns "$CLIENT"
ip -n "$ROUTER" link set lo up
ip -n "$CLIENT" link set lo up
ip -n "$ROUTER" addr add 192.168.77.1/24 dev "$LAN"
ip -n "$ROUTER" link set "$LAN" up
ip -n "$CLIENT" addr add 192.168.77.2/24 dev "${LAN}c"
ip -n "$CLIENT" link set "${LAN}c" up
ip -n "$CLIENT" route add default via 192.168.77.1
ip -n "$ROUTER" link add "$WAN" type veth peer name "${WAN}p"
ip -n "$ROUTER" addr add 203.0.114.5/24 dev "$WAN"
ip -n "$ROUTER" link set "$WAN" up
ip -n "$ROUTER" link set "${WAN}p" up
# The chains the daemon fills in.
ip netns exec "$ROUTER" nft -f - << 'RULES' || skip "nftables cannot make its tables here"
table inet filter {
    chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
    chain miniupnpd { }
    chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
    chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
}
RULES
set +e

FAILED=0

# Installing the daemon must not have started it for the machine itself: every
# miniupnpd that runs belongs to some network namespace of a test.
for pid in $(pgrep -x miniupnpd); do
    [ -n "$(ip netns identify "$pid" 2> /dev/null)" ] || fail "a system miniupnpd runs (process $pid)"
done



# Starts the daemon with UPnP on or off (NAT-PMP is always on).
start_router() {
    cat > "$WORK/router.conf" << CONF
ext_ifname=$WAN
listening_ip=$LAN
port=0
enable_natpmp=yes
enable_upnp=$1
secure_mode=yes
system_uptime=yes
lease_file=$WORK/leases
uuid=3f1b2c4e-0000-4000-8000-$(printf %012d $$)
allow 1024-65535 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
    : > "$WORK/router.log"
    ip netns exec "$ROUTER" "$MINIUPNPD" -d -f "$WORK/router.conf" -P "$WORK/router.pid" \
        > "$WORK/router.log" 2>&1 &
    DAEMON_PID=$!
    wait_for_line "$WORK/router.log" "Listening for NAT-PMP" || {
        cat "$WORK/router.log"
        fail "the router daemon did not start"
        exit 1
    }
}

stop_router() {
    stop_process "$DAEMON_PID"
    DAEMON_PID=
}

# Runs fwpost in the client namespace, pointed at the router; output in
# $WORK/out, seconds taken in ELAPSED.
in_client() {
    local start
    start=$(date +%s.%N)
    ip netns exec "$CLIENT" env FWP_SSDP_TARGET=192.168.77.1:1900 FWP_NATPMP_GATEWAY=192.168.77.1 \
        "$FWPOST" "$@" > "$WORK/out" 2>&1
    STATUS=$?
    ELAPSED=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    echo "fwpost $* -> status $STATUS in ${ELAPSED}s: $(tr '\n' ' ' < "$WORK/out")"
    if awk -v t="$ELAPSED" -v l="$CALL_LIMIT" 'BEGIN { exit !(t > l) }'; then
        fail "fwpost $* took ${ELAPSED}s"
    fi
}

expect_output() {
    grep -q -- "$1" "$WORK/out" || fail "expected \"$1\""
}

# The router's mapping of a TCP port to the client, as nftables holds it.
mapped() {
    ip netns exec "$ROUTER" nft list chain inet filter prerouting_miniupnpd |
        grep -q "dport $1 dnat ip to 192.168.77.2:$1"
}

upnpc_lists() {
    ip netns exec "$CLIENT" upnpc -u "$DESCRIPTION" -l 2> /dev/null | grep -q "TCP  *$1->192.168.77.2:$1"
}

echo "== UPnP"
start_router yes
PORT_LINE=$(grep -o 'HTTP listening on port [0-9]*' "$WORK/router.log")
DESCRIPTION="http://192.168.77.1:${PORT_LINE##* }/rootDesc.xml"

in_client upnp
[ "$STATUS" -eq 0 ] || fail "upnp: status $STATUS"
expect_output "external-address 203.0.114.5 method upnp"
expect_output "control-url http://192.168.77.1:"

in_client upnp add 4006
[ "$STATUS" -eq 0 ] || fail "upnp add: status $STATUS"
expect_output "mapped 4006"
upnpc_lists 4006 || fail "upnpc -l does not list 4006"

in_client upnp delete 4006
[ "$STATUS" -eq 0 ] || fail "upnp delete: status $STATUS"
expect_output "unmapped 4006"
upnpc_lists 4006 && fail "upnpc -l still lists 4006"
stop_router

echo "== NAT-PMP"
start_router no
in_client upnp
[ "$STATUS" -eq 0 ] || fail "upnp: status $STATUS"
expect_output "external-address 203.0.114.5 method natpmp"

in_client upnp add 4007
expect_output "mapped 4007"
mapped 4007 || fail "4007 is not mapped"
in_client upnp delete 4007
expect_output "unmapped 4007"
mapped 4007 && fail "4007 is still mapped"

# A waiting session keeps its short lease alive and gives it back at the end.
ip netns exec "$CLIENT" env FWP_SSDP_TARGET=192.168.77.1:1900 FWP_NATPMP_GATEWAY=192.168.77.1 \
    FWP_NATPMP_LEASE=2 "$FWPOST" listen -q -p 4008 -d "$WORK" --upnp > "$WORK/listen" 2>&1 &
LISTENER_PID=$!
wait_for_line "$WORK/listen" "mapped 4008" || fail "listen --upnp did not map"
# The first request and two renewals of the 2 s lease.
renewals() { grep -c "NAT-PMP port mapping request.*4008" "$WORK/router.log"; }
for i in $(seq 200); do
    [ "$(renewals)" -ge 3 ] && break
    sleep 0.1
done
[ "$(renewals)" -ge 3 ] || fail "the lease was not renewed ($(renewals) requests)"
mapped 4008 || fail "4008 is not mapped while the session waits"
stop_process "$LISTENER_PID"
LISTENER_PID=
grep -q "unmapped 4008" "$WORK/listen" || fail "listen --upnp did not unmap"
mapped 4008 && fail "4008 is still mapped after the session"
stop_router

echo "== A name with a silent address first"
# peerhost names 192.168.77.3 first, a second address of the router where
# every connection attempt is dropped, then the router's 192.168.77.1, where
# fwpost waits. The name comes from a hosts file of the test's own, mounted
# over /etc/hosts for the one connecting process only; the machine's own
# name is in it too, so that fwpost's look-up of its own address asks no
# name server.
ip -n "$ROUTER" addr add 192.168.77.3/24 dev "$LAN"
ip netns exec "$ROUTER" nft add table inet silent
ip netns exec "$ROUTER" nft add chain inet silent input '{ type filter hook input priority 0; policy accept; }'
ip netns exec "$ROUTER" nft add rule inet silent input ip daddr 192.168.77.3 tcp dport 4010 drop
printf '127.0.0.1 localhost\n192.168.77.2 %s\n192.168.77.3 peerhost\n192.168.77.1 peerhost\n' \
    "$(hostname)" > "$WORK/hosts"
printf '[Config]\r\nReconnect=0\r\n' > "$WORK/config.ini"
mkdir "$WORK/in"
ip netns exec "$ROUTER" "$FWPOST" listen -q -y -p 4010 -c "$WORK/config.ini" -d "$WORK/in" > "$WORK/listen" 2>&1 &
LISTENER_PID=$!
wait_for_line "$WORK/listen" "listening 4010" || fail "fwpost did not listen on 4010"
echo "a file" > "$WORK/a.txt"
start=$(date +%s.%N)
ip netns exec "$CLIENT" unshare -m sh -c 'mount --bind "$1" /etc/hosts && exec "$2" connect peerhost -q \
    -p 4010 -c "$3" "$4"' sh "$WORK/hosts" "$FWPOST" "$WORK/config.ini" "$WORK/a.txt" > "$WORK/connect" 2>&1
STATUS=$?
ELAPSED=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
echo "fwpost connect peerhost -> status $STATUS in ${ELAPSED}s: $(tr '\n' ' ' < "$WORK/connect")"
[ "$STATUS" -eq 0 ] || fail "connect peerhost: status $STATUS"
grep -q "connected peerhost" "$WORK/connect" || fail "expected \"connected peerhost\""
grep -q "connected 192.168.77.2" "$WORK/listen" || fail "the peer did not come from 192.168.77.2"
# The silent address costs its few seconds, not the whole connect wait.
awk -v t="$ELAPSED" 'BEGIN { exit !(t < 15) }' || fail "connect peerhost took ${ELAPSED}s"
wait_for_line "$WORK/listen" "disconnected" || fail "the waiting side did not end"
stop_process "$LISTENER_PID"
LISTENER_PID=
cmp -s "$WORK/a.txt" "$WORK/in/a.txt" || fail "a.txt did not arrive whole"

if [ "$FAILED" -ne 0 ]; then
    echo "router log:"
    cat "$WORK/router.log"
    exit 1
fi
echo "1 passed, 0 failed"
