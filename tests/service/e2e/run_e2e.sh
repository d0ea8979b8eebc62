#!/usr/bin/env bash
# Runs the end-to-end test program under Wine, in a Wine prefix and wineserver of its own,
# and while it runs creates and deletes the TUN device "brumotun" on its requests: a
# Windows program cannot run `ip`, and only root can.
#
#   run_e2e.sh <wineprefix> <program.exe> [program arguments...]
#
# As root the whole Wine session runs in a network namespace of its own, where brumotun
# does not exist until the program asks for it and is gone with the namespace: the host's
# device, if any, is never touched. Wine's interface table (nsiproxy) keeps every interface
# it has seen for the life of the session, under the index it had then, which is one more
# reason for a fresh session per run. Without a namespace (it could not be made) a
# brumotun that exists is left alone; one that does not is created on request and deleted
# at the end.
#
# The program gets, in its environment:
#   BRUMO_E2E_DEVICE_CONTROL  "yes", or why the device cannot be changed here
#   BRUMO_E2E_REQUESTS        the request folder, as a Windows path
# It writes "create brumotun" or "delete brumotun" to request-<n> (n = 1, 2, ...); this
# script carries the requests out in turn and answers each in reply-<n> with "ok" or the
# reason of the failure. Exits with the program's status.
set -u

if [ $# -lt 2 ]; then
  echo "usage: run_e2e.sh <wineprefix> <program.exe> [program arguments...]" >&2
  exit 2
fi

# shellcheck source=scripts/lib/wine-session.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../../scripts/lib/wine-session.sh"
brumo_netns_reexec BRUMO_E2E_IN_NAMESPACE "${BASH_SOURCE[0]}" "$@"

prefix=$1
program=$2
shift 2
device=brumotun

present() { brumo_tun_present "$device"; }

# Both answer a request of the program (in a subshell, with their messages as the reply):
# the device is deleted on request whoever made it.
create_device() { brumo_tun_create "$device" 2>&1; }

delete_device() {
  present || return 0
  ip tuntap del dev "$device" mode tun 2>&1
}

had_device=0
if [ "$(id -u)" -ne 0 ]; then
  BRUMO_E2E_DEVICE_CONTROL="not root: the TUN device brumotun cannot be created or deleted"
elif ! command -v ip >/dev/null 2>&1; then
  BRUMO_E2E_DEVICE_CONTROL="no 'ip' command (iproute2): the TUN device cannot be changed"
elif brumo_netns_inside BRUMO_E2E_IN_NAMESPACE; then
  BRUMO_E2E_DEVICE_CONTROL=yes
elif present; then
  had_device=1
  BRUMO_E2E_DEVICE_CONTROL="brumotun exists and no network namespace of our own could be made: the device is left alone"
else
  BRUMO_E2E_DEVICE_CONTROL=yes
fi
export BRUMO_E2E_DEVICE_CONTROL

requests=$(mktemp -d "${TMPDIR:-/tmp}/brumo-e2e.XXXXXX") || exit 1
# Wine's drive Z: is the Unix root.
BRUMO_E2E_REQUESTS="Z:${requests//\//\\}"
export BRUMO_E2E_REQUESTS

# Ends every Wine process of the prefix (the service included) and puts the device back.
finish() {
  brumo_wine_stop
  if [ "$BRUMO_E2E_DEVICE_CONTROL" = yes ] && [ "$had_device" -eq 0 ]; then
    delete_device >/dev/null || echo "run_e2e.sh: could not delete $device" >&2
  fi
  rm -rf "$requests"
}

# A persistent wineserver and the session booted (the prefix made, the first time) before
# the program starts, all without ctest's output pipes: the system processes that Wine
# starts here live as long as the session and would hold them open. A wineserver left by
# an aborted run (it would live outside this namespace) is ended first.
if ! brumo_wine_start "$prefix" 60; then
  echo "run_e2e.sh: Wine could not start in $WINEPREFIX" >&2
  finish
  exit 1
fi

serve() {
  local file=$1 reply=$2 verb name out
  read -r verb name <"$file"
  if [ "$BRUMO_E2E_DEVICE_CONTROL" != yes ]; then
    out=$BRUMO_E2E_DEVICE_CONTROL
  elif [ "$name" != "$device" ]; then
    out="refused: only $device is managed here"
  else
    case $verb in
      create) out=$(create_device) && out=ok ;;
      delete) out=$(delete_device) && out=ok ;;
      *) out="unknown request '$verb'" ;;
    esac
  fi
  [ -n "$out" ] || out=failed
  printf '%s\n' "$out" >"$reply.tmp" && mv "$reply.tmp" "$reply"
}

wine "$program" "$@" &
pid=$!
trap 'kill "$pid" 2>/dev/null; finish; exit 143' INT TERM

n=1
while :; do
  if [ -f "$requests/request-$n" ]; then
    serve "$requests/request-$n" "$requests/reply-$n"
    n=$((n + 1))
    continue
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.02
done

wait "$pid"
status=$?
finish
exit "$status"
