#!/bin/bash
# Network test of the router's forwarding for a friend on the internet: two
# homes built from network namespaces, each a LAN behind a router that
# masquerades, the routers' WAN ends joined by an "internet" namespace. The
# host's router runs miniupnpd (UPnP IGD and NAT-PMP, or NAT-PMP only), or
# nothing, or nothing and drops what the LAN sends it, or has the provider's
# shared address 100.64.0.1 on its WAN (miniupnpd then forwards nothing and
# tells no address; a small NAT-PMP gateway tells it), or has the discovery
# port forwarded to another computer already (over UPnP or NAT-PMP). Checked
# per router: the probe's one line for "forward" and its bound; when
# forwarded, the router's rules and 600 s leases for the discovery and the
# session port, a friend that joins the router's address from its own LAN,
# messages both ways, and the rules gone soon after "close" or "unforward";
# otherwise the host still waits (a LAN computer joins it). Nothing of the
# host's is left on the router, nor is another computer's forwarding touched.
# Usage: router-netns.sh PATH/TO/lanprobe   (exit 77: skipped)
set -u
PROBE=${1:?usage: router-netns.sh lanprobe}
PATH=$PATH:/usr/sbin

if [ "$(id -u)" != 0 ]; then echo "SKIP: needs root for ip netns"; exit 77; fi
for tool in ip nft python3 miniupnpd upnpc natpmpc; do
    command -v $tool > /dev/null || { echo "SKIP: '$tool' is not installed"; exit 77; }
done

TAG=vu$$
HL=$TAG-hl; HM=$TAG-hm; HR=$TAG-hr; NET=$TAG-net; FR=$TAG-fr; FL=$TAG-fl
WORK=$(mktemp -d)
GUID=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
declare -A FD PID

down() {
    local name fd ns
    for name in "${!PID[@]}"; do kill -9 "${PID[$name]}" 2> /dev/null; done
    wait 2> /dev/null
    for name in "${!FD[@]}"; do fd=${FD[$name]}; exec {fd}>&-; done
    PID=(); FD=()
    for ns in $HL $HM $HR $NET $FR $FL; do ip netns del $ns 2> /dev/null; done
    rm -f "$WORK"/*.out "$WORK"/*.in "$WORK/leases"
} 2> /dev/null
trap 'down; rm -rf "$WORK"' EXIT

source "$(dirname "$0")/netns-lib.sh"

# wire NS IF ADDRESS PEER-NS PEER-IF [PEER-ADDRESS]: a veth pair, both ends up.
wire() {
    ip link add $2 netns $1 type veth peer name $5 netns $4 || return 1
    ip -n $1 addr add $3 dev $2 && ip -n $1 link set $2 up
    [ -z "${6:-}" ] || ip -n $4 addr add $6 dev $5
    ip -n $4 link set $5 up
}
# A home router: forwards out of wan0, within its LAN's bridge (where
# br_netfilter hands bridged frames to the forward hook) and what miniupnpd
# lets in, masquerades out of wan0; the table and chains are those miniupnpd
# fills by default.
router() {
    ip netns exec $1 sysctl -qw net.ipv4.ip_forward=1
    ip netns exec $1 nft -f - <<'NFT'
table inet filter {
    chain forward { type filter hook forward priority 0; policy drop;
        ct state established,related accept; oifname "wan0" accept;
        iifname "br0" oifname "br0" accept; jump miniupnpd; }
    chain miniupnpd { }
    chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
    chain postrouting { type nat hook postrouting priority 100; policy accept;
        jump postrouting_miniupnpd; oifname "wan0" masquerade; }
    chain prerouting_miniupnpd { }
    chain postrouting_miniupnpd { }
}
NFT
}
# homes WAN: the host's LAN 192.168.77.0/24 (the host .2, another computer .3,
# on a bridge in the router, .1), its router's WAN address WAN/24, the
# internet namespace (.254 of both WAN subnets), the friend's router
# 52.10.20.1 and the friend 192.168.88.2 behind it.
homes() {
    local ns
    for ns in $HL $HM $HR $NET $FR $FL; do ip netns add $ns && ip -n $ns link set lo up || return 1; done
    ip -n $HR link add br0 type bridge && ip -n $HR link set br0 up &&
        ip -n $HR addr add 192.168.77.1/24 dev br0 || return 1
    wire $HL lan0 192.168.77.2/24 $HR ph && wire $HM lan0 192.168.77.3/24 $HR pm || return 1
    ip -n $HR link set ph master br0 && ip -n $HR link set pm master br0
    wire $HR wan0 $1/24 $NET toh ${1%.*}.254/24 && wire $FR wan0 52.10.20.1/24 $NET tof 52.10.20.254/24 &&
        wire $FL lan0 192.168.88.2/24 $FR lan0 192.168.88.1/24 || return 1
    ip -n $HL route add default via 192.168.77.1 && ip -n $HM route add default via 192.168.77.1 &&
        ip -n $HR route add default via ${1%.*}.254 && ip -n $FR route add default via 52.10.20.254 &&
        ip -n $FL route add default via 192.168.88.1 || return 1
    ip netns exec $NET sysctl -qw net.ipv4.ip_forward=1
    router $HR && router $FR
}

# upnp_daemon UPNP: miniupnpd on the host's router in the foreground, UPnP IGD
# on or off (yes|no), NAT-PMP on, the LAN allowed any port from 1024 up.
upnp_daemon() {
    rm -f "$WORK/leases"
    cat > "$WORK/miniupnpd.conf" <<EOF
ext_ifname=wan0
listening_ip=br0
enable_upnp=$1
enable_natpmp=yes
secure_mode=no
lease_file=$WORK/leases
allow 1024-65535 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
EOF
    ip netns exec $HR miniupnpd -d -f "$WORK/miniupnpd.conf" -P "$WORK/miniupnpd.pid" > "$WORK/miniupnpd.out" 2>&1 &
    PID[miniupnpd]=$!
    await miniupnpd 'Listening for NAT-PMP' 5
}
# A NAT-PMP gateway that tells 100.64.0.1 as its address and grants every
# mapping, for 120 s at most.
fake_natpmp() {
    ip netns exec $HR python3 -c '
import socket, struct, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("192.168.77.1", 5351))
s.settimeout(1)
print("listening", flush=True)
end = time.monotonic() + 120
while time.monotonic() < end:
    try:
        data, peer = s.recvfrom(64)
    except socket.timeout:
        continue
    epoch = int(time.monotonic()) & 0xFFFFFFFF
    if data[:2] == b"\0\0":
        s.sendto(struct.pack("!BBHI4s", 0, 128, 0, epoch, socket.inet_aton("100.64.0.1")), peer)
    elif len(data) >= 12 and data[1] in (1, 2):
        inside, outside, lease = struct.unpack("!HHI", data[4:12])
        s.sendto(struct.pack("!BBHIHHI", 0, 128 + data[1], 0, epoch, inside, outside or inside, lease), peer)
' > "$WORK/natpmp.out" 2>&1 &
    PID[natpmp]=$!
    await natpmp '^listening' 5
}

# The router's rules forwarding UDP port PORT to ADDRESS (the host by default).
forwarded() {
    ip netns exec $HR nft list chain inet filter prerouting_miniupnpd 2> /dev/null |
        grep -Eq "dport $1 dnat ip to ${2:-192.168.77.2}:"
}
# unforwarded DEADLINE_MS: nothing on the router forwards to the host, at the latest by then.
unforwarded() {
    while ip netns exec $HR nft list chain inet filter prerouting_miniupnpd 2> /dev/null |
        grep -q 'to 192.168.77.2:'; do
        [ "$(now_ms)" -ge $1 ] && return 1
        sleep 0.1
    done
}
# The seconds left of the lease miniupnpd keeps for UDP port PORT.
lease_left() { awk -F: -v p=$1 -v now="$(date +%s)" '$1 == "UDP" && $2 == p { print $5 - now }' "$WORK/leases"; }

# NAME WAN ROUTER BOUND_S END EXPECTED: the host's router and its WAN address,
# the bound on the answer to "forward", the command that ends the forwarding
# and the answer expected.
CASES=(
    "upnp 45.67.89.1 upnp 10 close ^forward forwarded external=45\.67\.89\.1 via=upnp ms=[0-9]+$"
    "natpmp 45.67.89.1 natpmp 10 unforward ^forward forwarded external=45\.67\.89\.1 via=natpmp ms=[0-9]+$"
    "norouter 45.67.89.1 none 6 close ^forward norouter ms=[0-9]+$"
    "silent 45.67.89.1 silent 6 close ^forward norouter ms=[0-9]+$"
    "shared 100.64.0.1 fakepmp 10 close ^forward notpublic external=100\.64\.0\.1 ms=[0-9]+$"
    "sharedigd 100.64.0.1 upnp 10 close ^forward (notpublic external=[0-9.]*|refused) ms=[0-9]+$"
    "taken 45.67.89.1 taken 10 close ^forward taken port=43517 ms=[0-9]+$"
    "takenpmp 45.67.89.1 takenpmp 10 close ^forward taken port=43517 ms=[0-9]+$"
)
for case in "${CASES[@]}"; do
    read -r name wan kind bound end expected <<< "$case"
    homes $wan || fail "$name: cannot build the namespaces"
    case $kind in
    upnp) upnp_daemon yes ;;
    natpmp) upnp_daemon no ;;
    fakepmp) fake_natpmp ;;
    # Nothing answers, not even "port unreachable": SSDP and NAT-PMP are dropped.
    silent) ip netns exec $HR nft -f - <<< $'table inet quiet {\n chain input { type filter hook input priority 0;
        iifname "br0" udp dport { 1900, 5351 } drop; }\n}' ;;
    taken) upnp_daemon yes && ip netns exec $HM upnpc -e other -a 192.168.77.3 43517 43517 UDP 600 > /dev/null 2>&1 ;;
    # Over NAT-PMP the router grants another outside port instead of refusing.
    takenpmp) upnp_daemon no && ip netns exec $HM natpmpc -g 192.168.77.1 -a 43517 43517 udp 600 > /dev/null 2>&1 ;;
    esac || fail "$name: cannot set up the router"
    [[ $kind != taken* ]] || forwarded 43517 192.168.77.3 || fail "$name: 43517 is not forwarded to 192.168.77.3"

    start host $HL alice; say host host
    await host '^player id=' 5 || fail "$name: the host did not start"
    port=$(sed -n 's/^hosting port=//p' "$WORK/host.out")
    # Over NAT-PMP the lease is 6 s, so that its renewal (at half) is seen.
    lease=600; [ $kind != natpmp ] || lease=6
    say host "forward $lease"
    await host '^forward ' $((bound + 1)) || fail "$name: no answer to forward within $bound s"
    line=$(grep '^forward ' "$WORK/host.out")
    [[ $line =~ $expected ]] || fail "$name: '$line', expected /$expected/"
    [ "${line##*ms=}" -le $((bound * 1000)) ] || fail "$name: '$line' came after more than $bound s"
    if [[ $line == "forward forwarded "* ]]; then
        forwarded 43517 && forwarded $port || fail "$name: the router does not forward 43517 and $port"
        for p in 43517 $port; do
            left=$(lease_left $p)
            [ "${left:-0}" -gt $((lease * 2 / 3)) ] && [ "$left" -le $lease ] ||
                fail "$name: port $p leased for '$left' s, not $lease"
        done
        if [ $lease = 6 ]; then
            sleep 4.5 # renewed 3 s in: else 1.5 s would be left
            left=$(lease_left $port)
            [ "${left:-0}" -ge 3 ] || fail "$name: the lease was not renewed ('$left' s left)"
        fi
        start friend $FL bob 45.67.89.1; say friend join
        await friend '^player id=' 10 || fail "$name: the friend did not join 45.67.89.1"
        await host '^created .*name=bob' 5 || fail "$name: the host did not see the friend"
        say friend "send all 64 g 3"; say host "send all 64 g 3"
        await host '^msg .*seq=3 ' 10 && await friend '^msg .*seq=3 ' 10 ||
            fail "$name: messages did not pass both ways"
        joined="friend joined 45.67.89.1, messages both ways"
    else
        # The host still waits: a computer of its LAN finds and joins it.
        start lan $HM cid; say lan join
        await lan '^player id=' 8 && await host '^created .*name=cid' 5 ||
            fail "$name: the host no longer waits after '$line'"
        joined="host still waits"
    fi
    ended=$(now_ms); say host $end
    unforwarded $((ended + 3000)) || fail "$name: the router still forwards to the host 3 s after $end"
    await host '^unforwarded ms=' 5 || fail "$name: no answer to $end"
    [[ $kind != taken* ]] || forwarded 43517 192.168.77.3 || fail "$name: the other computer's forwarding is gone"
    ! grep -q 'Sanitizer' "$WORK"/*.out || fail "$name: a sanitizer reported an error"
    echo "ok: $name: $line; $joined; $(grep '^unforwarded' "$WORK/host.out") after $end"
    down
done
echo "all router checks passed"
