# shellcheck shell=bash
# The network that real traffic through tun2proxy crosses, for the tests and benchmarks that
# run the real library. Source it; sourcing defines functions and nothing else. Run as root,
# in a network namespace of the caller's own (brumo_netns_reexec in wine-session.sh): the
# caller's namespace is the client's, and nothing here touches any other.
#
#   client namespace (the caller's)                 server namespace (made here)
#   ───────────────────────────────                 ────────────────────────────
#   the program under test, tun2proxy, brumotun     HTTP server 192.0.2.80:80
#   dante (danted) at 127.0.0.1:12735,               DNS server  192.0.2.80:53 (UDP)
#     external address 198.51.100.1 ── veth ──────── 198.51.100.2
#
# Both servers answer with the address they saw the client come from (HTTP "GET /": the
# address as the body; "GET /bytes/N": N bytes; DNS: an A record of the address, whatever
# the name), so a test tells traffic relayed by the proxy (198.51.100.1) from traffic that
# came out of the tunnel device itself (10.0.0.33). 192.0.2.0/24 lies outside the private,
# loopback, link-local and 198.18.0.0/15 ranges, whose UDP/53 tun2proxy sends to 8.8.8.8.
#
# Routes. Until the tunnel device exists the client has no route to 192.0.2.0/24; once it
# does, brumo_real_net_route_tunnel sends that subnet into it. The proxy's own connections
# leave from its external address, and a policy rule ahead of the main table sends
# everything from that address through the veth (table 12735), so they never loop into
# the tunnel whatever the main table says.
#
#   brumo_real_net_up WORKDIR
#       Makes the server namespace, the veth pair, the addresses, the rule and table, starts
#       the servers and dante, and waits (at most 10 s) until all three listen. Config,
#       logs and the servers' ready mark go to WORKDIR (made if absent). Exports
#       BRUMO_NET_SERVER_ADDR (192.0.2.80), BRUMO_NET_SERVER_NET (192.0.2.0/24),
#       BRUMO_NET_PROXY_ADDR (198.51.100.1, dante's external address),
#       BRUMO_NET_PROXY (127.0.0.1:12735), BRUMO_NET_SERVER_NS (the namespace's name) and
#       BRUMO_NET_LIB (this file, for programs that call its functions through bash), and
#       BRUMO_NET_WORK (WORKDIR; dante's log there, danted.log, shows every session).
#       On failure it prints why on stderr, tears down what it made and returns 1.
#       A watch process tears the network down, as brumo_real_net_down would, once the
#       shell that sourced this file ends without doing so (killed at a timeout), and
#       server namespaces that such a shell left behind before are deleted, their
#       processes ended: nothing outlives its run for long.
#   brumo_real_net_route_tunnel [DEVICE]
#       Gives DEVICE (default brumotun) the address tun2proxy's own set-up would,
#       10.0.0.33/24, brings it up and routes BRUMO_NET_SERVER_NET through it from that
#       address in the main table. Say it after every start: the run call with
#       root_privilege false opens the device and leaves it down and unaddressed (tun
#       0.8.14, the version the lock file pins, configures it only with root privilege).
#       Returns non-zero when DEVICE does not exist.
#   brumo_real_net_down
#       Stops dante and the servers, deletes the server namespace (the veth goes with
#       it), the rule and the table. Safe to call twice or after a failed up. Returns 0.
#
# Needs `ip` (iproute2), `danted` (dante-server) and python3; scripts/setup installs them.

brumo_real_net_up() {
  local work=$1 here ns i
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  ns=brumo-srv-$$
  mkdir -p "$work" || return 1
  export BRUMO_NET_SERVER_ADDR=192.0.2.80 BRUMO_NET_SERVER_NET=192.0.2.0/24
  export BRUMO_NET_PROXY_ADDR=198.51.100.1 BRUMO_NET_PROXY=127.0.0.1:12735
  export BRUMO_NET_SERVER_NS=$ns BRUMO_NET_WORK=$work BRUMO_NET_LIB=${BASH_SOURCE[0]}
  local python=python3
  [ -x /usr/bin/python3 ] && python=/usr/bin/python3
  if ! command -v danted >/dev/null 2>&1; then
    echo "real-net: no danted (dante-server) on this machine" >&2
    return 1
  fi

  brumo_real_net_clear_stale

  if ! {
    ip link set lo up &&
      ip netns add "$ns" &&
      ip -n "$ns" link set lo up &&
      ip link add brumo-veth0 type veth peer name brumo-veth1 netns "$ns" &&
      ip addr add 198.51.100.1/24 dev brumo-veth0 &&
      ip link set brumo-veth0 up &&
      ip -n "$ns" addr add 198.51.100.2/24 dev brumo-veth1 &&
      ip -n "$ns" link set brumo-veth1 up &&
      ip -n "$ns" addr add 192.0.2.80/24 dev lo &&
      ip route replace 192.0.2.0/24 via 198.51.100.2 dev brumo-veth0 table 12735 &&
      ip rule add from 198.51.100.1 lookup 12735 priority 100
  }; then
    echo "real-net: could not make the namespaces, veth or routes" >&2
    brumo_real_net_down
    return 1
  fi

  # The watch: polls its maker's life once a second, then tears down. It removes its own
  # id first, so that the tear-down it runs does not end it.
  setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done
    rm -f "$3/watch.pid"; . "$2"; BRUMO_NET_WORK=$3 BRUMO_NET_SERVER_NS=$4 brumo_real_net_down' \
    _ "$$" "${BASH_SOURCE[0]}" "$work" "$ns" >/dev/null 2>&1 </dev/null &
  echo $! >"$work/watch.pid"

  rm -f "$work/servers.ready"
  # Each runs as the leader of a session of its own, whose id it writes itself (setsid
  # may fork), and which the tear-down ends as a whole (dante forks its workers).
  ip netns exec "$ns" setsid bash -c 'echo $$ >"$1"; shift; exec "$@"' _ "$work/servers.pid" \
    "$python" "$here/tests/real_tun2proxy/peer_servers.py" 192.0.2.80 "$work/servers.ready" \
    >"$work/servers.log" 2>&1 </dev/null &

  cat >"$work/danted.conf" <<'CONF'
logoutput: stderr
internal: 127.0.0.1 port = 12735
external: 198.51.100.1
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect error }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect disconnect error
  command: connect udpassociate }
socks pass { from: 0.0.0.0/0 to: 127.0.0.0/8 command: udpreply }
CONF
  setsid bash -c 'echo $$ >"$1"; shift; exec "$@"' _ "$work/danted.leader" \
    danted -f "$work/danted.conf" -p "$work/danted.pid" >"$work/danted.log" 2>&1 </dev/null &

  for ((i = 0; i < 100; i++)); do
    if [ -e "$work/servers.ready" ] && ss -Hltn 'sport = :12735' | grep -q .; then
      return 0
    fi
    sleep 0.1
  done
  echo "real-net: the servers or dante did not start; see $work/*.log:" >&2
  tail -n 5 "$work/servers.log" "$work/danted.log" >&2
  brumo_real_net_down
  return 1
}

brumo_real_net_route_tunnel() {
  local device=${1:-brumotun}
  ip addr replace 10.0.0.33/24 dev "$device" &&
    ip link set "$device" up &&
    ip route replace "${BRUMO_NET_SERVER_NET:-192.0.2.0/24}" dev "$device" src 10.0.0.33
}

# Ends the process group led by the process whose id is in file $1, then waits (at most
# 2 s) for its leader to go.
brumo_real_net_end_group() {
  local pid i
  [ -f "$1" ] || return 0
  pid=$(cat "$1")
  rm -f "$1"
  [ -n "$pid" ] || return 0
  kill -TERM -- "-$pid" 2>/dev/null || return 0
  for ((i = 0; i < 20; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null
  return 0
}

# Deletes the server namespaces whose maker (the id in the name) no longer runs, after
# ending the processes in them.
brumo_real_net_clear_stale() {
  local name
  for name in $(ip netns list 2>/dev/null | sed -nE 's/^(brumo-srv-[0-9]+).*/\1/p'); do
    kill -0 "${name#brumo-srv-}" 2>/dev/null && continue
    ip netns pids "$name" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
    ip netns del "$name" 2>/dev/null
  done
  return 0
}

brumo_real_net_down() {
  if [ -n "${BRUMO_NET_WORK-}" ]; then
    brumo_real_net_end_group "$BRUMO_NET_WORK/watch.pid"
    brumo_real_net_end_group "$BRUMO_NET_WORK/danted.leader"
    brumo_real_net_end_group "$BRUMO_NET_WORK/servers.pid"
  fi
  ip rule del from 198.51.100.1 lookup 12735 priority 100 2>/dev/null
  ip route flush table 12735 2>/dev/null
  ip link del brumo-veth0 2>/dev/null
  [ -n "${BRUMO_NET_SERVER_NS-}" ] && ip netns del "$BRUMO_NET_SERVER_NS" 2>/dev/null
  return 0
}
