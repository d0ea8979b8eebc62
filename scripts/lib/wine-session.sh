# shellcheck shell=bash
# The Wine session, the TUN device "brumotun" and the network namespace, for the scripts that
# run BrumoVPN under Wine (scripts/test, scripts/demo, scripts/test.d/package, bench/run,
# bench/pipe/run, tests/service/e2e/run_e2e.sh). Source it; sourcing defines functions and nothing
# else (no variable is set, no command runs). The functions work under `set -e` too.
#
# Wine session
#   brumo_wine_env PREFIX
#       Exports WINEPREFIX=PREFIX, WINEDEBUG=-all and WINEDLLOVERRIDES="mscoree,mshtml=" (no
#       Mono or Gecko prompt when a prefix is made).
#   brumo_wine_start PREFIX [LINGER]
#       brumo_wine_env PREFIX, ends a wineserver left on that prefix by an aborted run,
#       creates the folder, starts a persistent wineserver (`wineserver -pLINGER`: it stays
#       LINGER seconds after its last client; LINGER empty or absent: until killed), then
#       boots the prefix with `wine cmd /c exit` (making it the first time, which takes a
#       while). Everything runs with the standard streams away from the caller's pipes: the
#       system processes Wine starts live as long as the session and would hold a pipe open.
#       Returns non-zero when Wine does not start.
#   brumo_wine_hold FIFO
#       Keeps the session alive: Wine ends its services when the last ordinary Wine process
#       exits, so this starts `wine cmd /c pause` reading the fifo FIFO (made afresh) and
#       holds the fifo open for writing. Exports BRUMO_WINE_HOLD_FIFO and
#       BRUMO_WINE_HOLD_FD (the caller's descriptor on it).
#   brumo_wine_stop
#       Closes the hold (if any) and removes its fifo, then ends every process of the
#       session (`wineserver -k`) and waits for the wineserver to exit (`wineserver -w`).
#       Uses the exported WINEPREFIX. Always returns 0.
#
# Services of the session (sc.exe output is turned into LF text)
#   brumo_sc ARGS...               runs `wine sc.exe ARGS...`
#   brumo_service_state NAME       prints the state digit of `sc query NAME` (1 stopped,
#                                  2 start pending, 3 stop pending, 4 running); nothing when
#                                  no such service exists
#   brumo_wait_service_state NAME STATE SECONDS
#                                  waits up to SECONDS for STATE; returns 1 on time-out
#
# The TUN device (a Linux device named brumotun stands for the adapter tun2proxy makes)
#   brumo_tun_present [DEVICE]     true when DEVICE (default brumotun) exists
#   brumo_tun_create [DEVICE]      makes DEVICE (`ip tuntap add ... mode tun`, then up) unless
#                                  it exists. Exports BRUMO_TUN_MADE=1 when it made it, else
#                                  0. Returns 0 when the device exists afterwards; 1 when it
#                                  could not be made (not root, no `ip`, or `ip` failed; its
#                                  message goes to stderr).
#   brumo_tun_delete [DEVICE]      deletes DEVICE only when brumo_tun_create made it
#                                  (BRUMO_TUN_MADE=1), then sets BRUMO_TUN_MADE=0. Returns
#                                  non-zero when the delete failed.
#
# The network namespace
#   brumo_netns_reexec VAR SCRIPT [ARGS...]
#       As root, re-runs `bash SCRIPT ARGS...` in a network namespace of its own
#       (`unshare --net`) with VAR=1 in its environment, replacing the current process; there
#       brumotun does not exist until made, and vanishes with the namespace. Returns (1)
#       when this is not possible (not root, no unshare, or unshare refused) or when VAR is
#       already 1. Name a VAR of the script's own, so that a namespace entered by another
#       script is not taken for this one's.
#   brumo_netns_inside VAR
#       True when VAR=1, i.e. this run is the one brumo_netns_reexec started; it then
#       brings the namespace's loopback up (a new namespace has it down).

brumo_wine_env() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

brumo_wine_start() {
  local prefix=$1 linger=${2-}
  brumo_wine_env "$prefix"
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  mkdir -p "$WINEPREFIX" || return 1
  wineserver "-p$linger" >/dev/null 2>&1 </dev/null || return 1
  wine cmd /c exit >/dev/null 2>&1 </dev/null
}

brumo_wine_hold() {
  local fifo=$1 fd
  rm -f "$fifo"
  mkfifo "$fifo" || return 1
  wine cmd /c pause <"$fifo" >/dev/null 2>&1 &
  exec {fd}>"$fifo"
  export BRUMO_WINE_HOLD_FIFO=$fifo BRUMO_WINE_HOLD_FD=$fd
}

brumo_wine_stop() {
  if [ -n "${BRUMO_WINE_HOLD_FD-}" ]; then
    exec {BRUMO_WINE_HOLD_FD}>&-
    rm -f "$BRUMO_WINE_HOLD_FIFO"
    unset BRUMO_WINE_HOLD_FD BRUMO_WINE_HOLD_FIFO
  fi
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  return 0
}

brumo_sc() { wine sc.exe "$@" </dev/null 2>&1 | tr -d '\r'; }

brumo_service_state() {
  brumo_sc query "$1" | sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p'
}

brumo_wait_service_state() {
  local name=$1 want=$2 seconds=$3 i
  for ((i = 0; i < seconds * 10; i++)); do
    [ "$(brumo_service_state "$name")" = "$want" ] && return 0
    sleep 0.1
  done
  return 1
}

brumo_tun_present() { ip link show "${1:-brumotun}" >/dev/null 2>&1; }

brumo_tun_create() {
  local device=${1:-brumotun}
  export BRUMO_TUN_MADE=0
  brumo_tun_present "$device" && return 0
  [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null 2>&1 || return 1
  ip tuntap add dev "$device" mode tun || return 1
  BRUMO_TUN_MADE=1
  ip link set "$device" up
}

brumo_tun_delete() {
  local device=${1:-brumotun}
  [ "${BRUMO_TUN_MADE:-0}" = 1 ] || return 0
  BRUMO_TUN_MADE=0
  ip tuntap del dev "$device" mode tun
}

brumo_netns_reexec() {
  local var=$1 script=$2
  shift 2
  [ "${!var:-0}" != 1 ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null 2>&1 &&
    unshare --net true 2>/dev/null || return 1
  exec env "$var=1" unshare --net -- bash "$script" "$@"
}

brumo_netns_inside() {
  [ "${!1:-0}" = 1 ] || return 1
  ip link set lo up
  return 0
}
