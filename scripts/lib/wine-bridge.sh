# shellcheck shell=bash
# The service under Wine over the real tun2proxy: the Linux end of the test-only
# tun2proxy.dll (tests/real_tun2proxy/wine_bridge) and the looks at the device and at the
# traffic through it, for tests/real_tun2proxy/wine_bridge/run_service_e2e.sh and
# scripts/demo. Source it; sourcing defines functions and nothing else. The traffic
# functions use the network of real-net.sh (BRUMO_NET_SERVER_ADDR).
#
#   brumo_bridge_start PROGRAM LOG
#       Starts tun2proxy-bridge PROGRAM in the background (it ends by itself after 900 s at
#       the latest), its output to LOG, and waits at most 10 s until it listens. Exports
#       BRUMO_BRIDGE_PID. Returns 1 when it does not listen.
#   brumo_bridge_stop
#       Ends the bridge (TERM; a run inside is stopped first), waits at most 20 s, then
#       KILL. Returns 0.
#   brumo_tunnel_http
#       Prints the body of GET http://BRUMO_NET_SERVER_ADDR/ (5 s bound); non-zero on failure.
#   brumo_tunnel_dns
#       Prints the A record that the DNS server at BRUMO_NET_SERVER_ADDR:53 gives for
#       brumo.test over UDP (5 s bound); non-zero on failure.
#   brumo_device_index DEVICE
#       Prints DEVICE's interface index; nothing when there is no DEVICE. (Read from `ip`:
#       in a namespace made by `unshare --net` /sys/class/net still shows the host's.)
#   brumo_wait_device_gone DEVICE SECONDS
#       Waits up to SECONDS for DEVICE to vanish; returns 1 on time-out.

brumo_bridge_start() {
  local program=$1 log=$2 i
  # Its sanitizers' leak check would judge the library's threads, which live until exit.
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0} "$program" --for 900 >"$log" 2>&1 </dev/null &
  export BRUMO_BRIDGE_PID=$!
  for ((i = 0; i < 100; i++)); do
    grep -q '^listening on ' "$log" 2>/dev/null && return 0
    kill -0 "$BRUMO_BRIDGE_PID" 2>/dev/null || break
    sleep 0.1
  done
  brumo_bridge_stop
  return 1
}

brumo_bridge_stop() {
  local pid=${BRUMO_BRIDGE_PID-} i
  unset BRUMO_BRIDGE_PID
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 200; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

brumo_tunnel_http() {
  curl -sS --noproxy '*' --max-time 5 "http://$BRUMO_NET_SERVER_ADDR/"
}

brumo_tunnel_dns() {
  python3 - "$BRUMO_NET_SERVER_ADDR" <<'PY'
import socket, struct, sys
question = b"\x05brumo\x04test\x00" + struct.pack(">HH", 1, 1)
query = struct.pack(">HHHHHH", 0x4272, 0x0100, 1, 0, 0, 0) + question
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
try:
    s.sendto(query, (sys.argv[1], 53))
    reply = s.recv(512)
except OSError as e:
    sys.exit(f"no DNS answer: {e}")
ident, _, _, answers = struct.unpack(">HHHH", reply[:8])
at = 12 + len(question) + 10  # the answer's name pointer, type, class and TTL
if ident != 0x4272 or answers < 1 or struct.unpack(">H", reply[at:at + 2])[0] != 4:
    sys.exit("a DNS reply without an A record")
print(socket.inet_ntoa(reply[at + 2:at + 6]))
PY
}

brumo_device_index() {
  ip -o link show dev "$1" 2>/dev/null | sed -n 's/^\([0-9]*\): .*/\1/p'
}

brumo_wait_device_gone() {
  local device=$1 seconds=$2 i
  for ((i = 0; i < seconds * 10; i++)); do
    brumo_tun_present "$device" || return 0
    sleep 0.1
  done
  return 1
}
