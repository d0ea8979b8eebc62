#!/usr/bin/env bash
# BrumoVPN.exe under Wine over the real tun2proxy 0.7.17: the service, registered with
# Wine's service manager, loads the test-only tun2proxy.dll of this folder, whose calls
# tun2proxy-bridge carries out with the real library beside it; the filter engine is the
# recording stand-in fwpuclnt.dll. As root, in a network namespace of its own with the
# network of scripts/lib/real-net.sh (tests/real_tun2proxy/run-in-net), where wineserver,
# the bridge and dante all run. Shows, with brumoctl: start makes brumotun through the real
# library and Wine's lookup resolves it for the guard; HTTP and DNS through the tunnel are
# answered by way of the proxy; stop ends the run and the device goes; a second start and
# stop do the same; a service killed while its tunnel runs leaves no run behind; with the
# bridge gone a start fails at once and the service serves on.
#
#   run_service_e2e.sh WINDOWS_BUILD_DIR BRIDGE_PROGRAM WORKDIR
#
# Ends with one line "service over the real tun2proxy: N checks passed, M failed" and
# exits non-zero when a check failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
# shellcheck source=../../../scripts/lib/wine-session.sh
. "$root/scripts/lib/wine-session.sh"
# shellcheck source=../../../scripts/lib/real-net.sh
. "$root/scripts/lib/real-net.sh"
# shellcheck source=../../../scripts/lib/wine-bridge.sh
. "$root/scripts/lib/wine-bridge.sh"

if [ -z "${BRUMO_NET_SERVER_ADDR-}" ]; then
  [ $# -eq 3 ] || {
    echo "usage: run_service_e2e.sh WINDOWS_BUILD_DIR BRIDGE_PROGRAM WORKDIR" >&2
    exit 2
  }
  rm -rf "$3" && mkdir -p "$3" || exit 1
  exec "$root/tests/real_tun2proxy/run-in-net" "$3/net" bash "$0" "$@"
fi
build=$1
bridge=$2
work=$3
device=brumotun
folder="$work/service folder"
passed=0
failed=0

check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
  fi
}
equals() { [ "$1" = "$2" ] || { echo "   got '$1', expected '$2'" >&2 && false; }; }

unix_text() { tr -d '\r'; }
# brumoctl's reply, then its exit status on a line of its own.
ctl() {
  local out status
  out=$(wine "$folder/brumoctl.exe" "$1" </dev/null 2>&1 | unix_text)
  status=$?
  printf '%s\n%s\n' "$out" "$status"
}

ok_start=$'{"message":"VPN started successfully","status":"ok"}\n0'
ok_stop=$'{"message":"VPN stopped successfully","status":"ok"}\n0'
active_yes=$'{"message":"active","running":true,"status":"ok"}\n0'
active_no=$'{"message":"inactive","running":false,"status":"ok"}\n0'
exited_early=$'{"message":"tun2proxy thread exited prematurely","status":"error"}\n1'
run_line="run proxy_url=socks5://127.0.0.1:12735 tun=brumotun bypass=10.255.255.255/32 dns_strategy=2 root_privilege=0 verbosity=0"

mkdir -p "$folder"
for file in "$build/service/BrumoVPN.exe" "$build/tools/brumoctl.exe" \
  "$build/tests/real_tun2proxy/wine_bridge/dll/tun2proxy.dll" \
  "$build/fwpuclnt_standin/fwpuclnt.dll"; do
  cp "$file" "$folder/" || exit 1
done
: >"$folder/fwpuclnt.log"

finish() {
  brumo_wine_stop
  brumo_bridge_stop
}
trap finish EXIT
brumo_wine_start "$work/wineprefix" 60 || {
  echo "Wine could not start" >&2
  exit 1
}
brumo_wine_hold "$work/holder.fifo" || exit 1
brumo_bridge_start "$bridge" "$work/bridge.log" || {
  echo "tun2proxy-bridge did not start:" >&2
  cat "$work/bridge.log" >&2
  exit 1
}

exe_win=$(winepath -w "$folder/BrumoVPN.exe" | unix_text)
brumo_sc create BrumoVPN binPath= "\"$exe_win\"" >/dev/null
brumo_sc start BrumoVPN >/dev/null
check "the service runs" brumo_wait_service_state BrumoVPN 4 30

# The allow filters name the device by the index found through Wine's lookup of its alias:
# the one Linux gave it, or, for a device made again in the same Wine session, the one Wine
# saw first (Wine keeps every interface it has seen, under its first index, for the rest of
# its session).
first_index=
filters_name_device() {
  local index
  index=$(brumo_device_index "$device")
  [ -n "$index" ] || return 1
  first_index=${first_index:-$index}
  wine "$build/tests/support/standin_log.exe" "$(winepath -w "$folder/fwpuclnt.log" | unix_text)" \
    </dev/null 2>/dev/null | unix_text | grep -qE "only on interface ($index|$first_index)\$"
}
through_tunnel() {
  check "$1: the real library made $device" brumo_tun_present "$device"
  check "$1: the bridge ran the library's run call as the service asked" \
    grep -qxF "$run_line" <(bridge_since_mark)
  check "$1: the guard's allow filters name $device's index" filters_name_device
  # On Linux the library leaves the device down and routes to the caller; here the part
  # of the set-up that it does itself on Windows.
  check "$1: $device up, the server's subnet routed into it" brumo_real_net_route_tunnel "$device"
  check "$1: HTTP through the tunnel, seen coming from the proxy" \
    equals "$(brumo_tunnel_http)" "$BRUMO_NET_PROXY_ADDR"
  check "$1: DNS through the tunnel, seen coming from the proxy" \
    equals "$(brumo_tunnel_dns)" "$BRUMO_NET_PROXY_ADDR"
}

# The bridge's log since the round began.
bridge_since_mark() { tail -n "+$((mark + 1))" "$work/bridge.log"; }
# True once the bridge has logged that the round's run returned 0 (waits up to 5 s: the
# device goes in the library's teardown, before its run call returns).
run_returned() {
  local i
  for ((i = 0; i < 50; i++)); do
    bridge_since_mark | grep -q '^run -> 0 after' && return 0
    sleep 0.1
  done
  return 1
}

for round in "first start" "second start"; do
  : >"$folder/fwpuclnt.log"
  mark=$(wc -l <"$work/bridge.log")
  check "$round: brumoctl start" equals "$(ctl start)" "$ok_start"
  check "$round: active" equals "$(ctl active)" "$active_yes"
  through_tunnel "$round"
  check "$round: brumoctl stop" equals "$(ctl stop)" "$ok_stop"
  check "$round: the run returned 0" run_returned
  check "$round: $device is gone" brumo_wait_device_gone "$device" 5
  check "$round: inactive" equals "$(ctl active)" "$active_no"
done

# The service's process ended while its run call is inside (killed by its id, as the SCM
# would find it): the bridge takes its closed connection for a stop, and the run ends.
service_pid() {
  # The path through the environment: awk -v would read its backslashes as escapes.
  ps -eo pid=,args= | EXE=$exe_win awk 'index($0, ENVIRON["EXE"]) { print $1; exit }'
}
mark=$(wc -l <"$work/bridge.log")
check "service killed: brumoctl start" equals "$(ctl start)" "$ok_start"
pid=$(service_pid)
check "service killed: its process found" test -n "$pid"
[ -n "$pid" ] && kill -KILL "$pid"
check "service killed: $device is gone" brumo_wait_device_gone "$device" 10
check "service killed: the bridge stopped the run" run_returned
brumo_wait_service_state BrumoVPN 1 10
brumo_sc start BrumoVPN >/dev/null
check "service killed: the service runs again" brumo_wait_service_state BrumoVPN 4 30

# The bridge gone: the run call fails at once and the service answers as for a tunnel
# that ended by itself, then serves on.
brumo_bridge_stop
started=$(date +%s)
check "no bridge: brumoctl start fails" equals "$(ctl start)" "$exited_early"
check "no bridge: the start did not hang" test $(($(date +%s) - started)) -lt 10
check "no bridge: inactive" equals "$(ctl active)" "$active_no"
check "no bridge: brumoctl stop" equals "$(ctl stop)" "$ok_stop"

brumo_sc stop BrumoVPN >/dev/null
check "the service stops" brumo_wait_service_state BrumoVPN 1 30
brumo_sc delete BrumoVPN >/dev/null

echo "--- tun2proxy-bridge's log:"
cat "$work/bridge.log"
echo "service over the real tun2proxy: $passed checks passed, $failed failed"
[ "$failed" -eq 0 ]
