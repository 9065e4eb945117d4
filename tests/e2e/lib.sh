# Shared part of the end-to-end tests. A test script defines case_* functions
# and a plan() that runs each case in a sandbox of its own:
#
#   source "$(dirname "$0")/lib.sh"
#   plan() { run_case case_x --if eth0; run_case case_y --if eth0 --if eth1; }
#   case_x() { ...checks... }
#   e2e_main "$@"          # argument: the build folder
#
# Outside the sandbox: a temporary folder under /tmp for the whole script (the
# issuer image and matrix file are made there once), removed at the end.
# Inside: the programs of the build folder installed at /usr/local/MavoClient
# on the sandbox's tmpfs, the switch in the namespace "tarnsw" on "sw0" (the
# peer of the first --if). A case fails when any check fails or when the
# daemon left a sanitizer report.
set -uo pipefail

E2E_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
E2E_SCRIPT=$(readlink -f "$0")
E2E_FAILS=0

MAVO=/usr/local/MavoClient
INI=$MAVO/config.ini
KEYDAT=$MAVO/Key.dat
LOGFILE=/usr/local/zel_mavo_log
CERT=/usr/local/cert/private.vkd
DAEMON=$MAVO/Tarnhold
HOSTNAME_IN=tarnbox

ok() { echo "ok - $*"; }
not_ok() { echo "not ok - $*"; E2E_FAILS=$((E2E_FAILS + 1)); }

# check "what" command...: the command's status decides.
check() {
  local what=$1; shift
  if "$@" >>"$E2E_TMP/check.out" 2>&1; then ok "$what"; else
    not_ok "$what"; echo "  command: $*"; tail -n 20 "$E2E_TMP/check.out" | sed 's/^/  | /'
  fi
  : >"$E2E_TMP/check.out"
}

# expect_eq "what" actual expected
expect_eq() {
  if [ "$2" == "$3" ]; then ok "$1"; else
    not_ok "$1"; printf '  got:      %q\n  expected: %q\n' "$2" "$3"
  fi
}

# expect_in "what" file text: the file holds the text.
expect_in() {
  if grep -qF -- "$3" "$2" 2>/dev/null; then ok "$1"; else
    not_ok "$1"; echo "  \"$3\" not in $2:"; sed 's/^/  | /' "$2" 2>/dev/null | tail -n 20
  fi
}

# ---------------------------------------------------------------- config.ini
# A configuration file with a comment, a blank line, a key that the programs
# do not use and spacing that a rewrite must keep.
ini_write() {   # ini_write INFO [RESULT-LINE]
  mkdir -p "$MAVO"
  printf '# settings of the authentication daemon\nVersion=1.0\nLogLevel=0\nMaxRowNum=100000\n\nExtra = keep  this ; line\ninfo=%s\n%s\nTail=last\n' \
    "$1" "${2:-Result = 7 }" >"$INI"
  cp "$INI" "$E2E_TMP/ini.before"
}

# expect_result V: config.ini is the file that ini_write made with only its
# Result line rewritten as "Result=V".
expect_result() {
  local want
  want=$(sed 's/^Result *=.*/Result='"$1"'/' "$E2E_TMP/ini.before"; echo x)
  local got
  got=$(cat "$INI"; echo x)
  if [ "$got" == "$want" ]; then ok "Result $1, every other line unchanged${2:+ ($2)}"; else
    not_ok "Result $1${2:+ ($2)}"; diff <(printf '%s' "$want") <(printf '%s' "$got") | sed 's/^/  /'
  fi
}

# --------------------------------------------------------------- the daemon
# start_daemon: runs the daemon as the tool would; sets RC, OUT (console).
start_daemon() {
  ( cd "$E2E_TMP" && "$@" "$DAEMON" >"$E2E_TMP/console" 2>&1 )
  RC=$?
  OUT=$(cat "$E2E_TMP/console")
}

daemon_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2>/dev/null)" = "$DAEMON" ] && echo "${p#/proc/}"
  done
  return 0
}

# The daemon is up once its process is there; its start-up ends before the
# starter's status comes back, so no wait is needed beyond that.
daemon_pid() { daemon_pids | head -n 1; }

stop_daemon() {
  local p
  for p in $(daemon_pids); do kill -9 "$p" 2>/dev/null; done
  for _ in $(seq 50); do [ -z "$(daemon_pids)" ] && return 0; sleep 0.05; done
}

# ---------------------------------------------------------- storage faults
# fill DIR: a file takes every free block of DIR's file system.
fill() { dd if=/dev/zero of="$1/.fill" bs=4096 >/dev/null 2>&1; sync; return 0; }
unfill() { rm -f "$1/.fill"; }

# small_fs DIR: DIR moved with its files onto a tmpfs with 2 MiB to spare.
small_fs() {
  local kb
  kb=$(du -sk "$1" | cut -f1)
  mkdir -p "$E2E_TMP/keep"
  cp -a "$1/." "$E2E_TMP/keep/"
  mount -n -t tmpfs -o "size=$((kb + 2048))k,mode=0755" e2e-small "$1"
  cp -a "$E2E_TMP/keep/." "$1/"
  rm -rf "$E2E_TMP/keep"
}

# faulty VAR=VALUE... -- PROGRAM ARG...: the program with injected I/O
# errors (tools/faultshim: TARN_FAULT_READ, TARN_FAULT_READ_AFTER,
# TARN_FAULT_FSYNC). In a sanitizer build the program's sanitizer runtime
# must come first in the preload list, the fault library after it.
faulty() {
  local envs=()
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  local rt
  rt=$(ldd "$1" 2>/dev/null | awk '/libasan\.so/ {print $3; exit}')
  env "${envs[@]}" LD_PRELOAD="${rt:+$rt }$TARN_BUILD/tools/faultshim/libtarn-faultshim.so" "$@"
}

# ---------------------------------------------------------------- images
# install_host_image: an image issued to the identity in Key.dat, installed.
install_host_image() {
  mkdir -p /usr/local/cert
  "$TARN_BUILD/tools/imgbuild/tarn-imgbuild" host --out "$E2E_TMP/host.vkd" \
    --identity-file "$KEYDAT" --issuer "$E2E_ISSUER/issuer.vkd" >"$E2E_TMP/imgbuild.out" 2>&1 &&
    cp "$E2E_TMP/host.vkd" "$CERT"
}

# prepare_host INFO: Key.dat made by a first start without image, then the
# host image for it installed; config.ini written with INFO.
prepare_host() {
  ini_write "$1"
  start_daemon
  expect_eq "first start without an image ends with status 0" "$RC" 0
  expect_in "first start says that no image is installed" "$E2E_TMP/console" "不存在证书，请导入证书！"
  check "Key.dat made at the first start" test -s "$KEYDAT"
  check "host image built for the identity in Key.dat and installed" install_host_image
}

# up: the host prepared (description E2E_DESC, interface eth0), the daemon
# started and one good challenge answered; sets PID.
up() {
  HOST_MAC=$(host_mac_of eth0)
  prepare_host "$E2E_DESC"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  check "one daemon process left, detached" wait_one_daemon
  PID=$(daemon_pid)
  challenge "a good challenge first"
  expect_result 1 "first"
}

still_running() { check "the daemon is still the same process ($1)" test "$(daemon_pid)" = "$PID"; }

sum() { sha256sum "$1" | cut -d' ' -f1; }

# ---------------------------------------------------------------- switch
HOST_MAC=
host_mac_of() { cat "/sys/class/net/$1/address"; }

# sw ARGS: the simulated switch on sw0, talking to HOST_MAC.
sw() {
  ip netns exec "$TARN_SWITCH_NS" "$TARN_BUILD/tools/switchsim/tarn-switch" --if sw0 \
    --host-mac "$HOST_MAC" "$@"
}

# sw_check "what" ARGS: the switch's own checks decide.
sw_check() {
  local what=$1; shift
  if sw "$@" >"$E2E_TMP/sw.out" 2>&1; then ok "$what"; else
    not_ok "$what"; echo "  tarn-switch $*"; sed 's/^/  | /' "$E2E_TMP/sw.out" | tail -n 15
  fi
}

# barrier: an identity request answered proves that every earlier frame has
# been handled (frames are handled one after the other).
barrier() {
  sw_check "identity request answered after: $1" identity --expect-desc "$E2E_DESC"
}

challenge() {   # challenge "what" ARGS: an SM2 challenge to the host's identity
  local what=$1; shift
  sw_check "$what" challenge --matrix "$E2E_ISSUER/TARNTEST.pks" --cid-file "$KEYDAT" \
    --expect-desc "$E2E_DESC" --expect-hostname "$HOSTNAME_IN" "$@"
}

# ---------------------------------------------------------------- driver
run_case() {   # run_case CASE [tarn-sandbox options]
  local name=$1; shift
  mkdir -p "$E2E_ROOT/$name"
  echo "=== $name"
  E2E_TMP="$E2E_ROOT/$name" "$E2E_SRC/tools/sandbox/tarn-sandbox" --build "$E2E_BUILD" --install \
    --hostname "$HOSTNAME_IN" "$@" -- bash "$E2E_SCRIPT" --inside "$name"
  local rc=$?
  if [ $rc -ne 0 ]; then
    echo "=== $name FAILED ($rc)"
    E2E_CASE_FAILS=$((E2E_CASE_FAILS + 1))
  fi
}

sanitizer_reports() {
  local f found=1
  for f in $(find "$E2E_ROOT" -name 'asan.*' -type f 2>/dev/null); do
    echo "sanitizer report $f:"; sed 's/^/  | /' "$f" | head -n 60
    found=0
  done
  return $found
}

e2e_main() {
  if [ "${1:-}" = --inside ]; then
    # The daemon detaches from the console: its sanitizer reports go to files.
    mkdir -p "$E2E_TMP/asan"
    export ASAN_OPTIONS="log_path=$E2E_TMP/asan/asan:detect_leaks=1:abort_on_error=0"
    export UBSAN_OPTIONS="log_path=$E2E_TMP/asan/asan:print_stacktrace=1:halt_on_error=1"
    : >"$E2E_TMP/check.out"
    "$2"
    stop_daemon
    [ $E2E_FAILS -eq 0 ] && echo "--- $2: all checks passed" || echo "--- $2: $E2E_FAILS checks failed"
    [ $E2E_FAILS -eq 0 ]
    exit
  fi
  E2E_BUILD=$(readlink -f "${1:?usage: $0 BUILD_DIR}")
  local p
  for p in Tarnhold/Tarnhold tools/sandbox/tarn-init tools/switchsim/tarn-switch tools/imgbuild/tarn-imgbuild tools/savekill/tarn-savekill tools/faultshim/libtarn-faultshim.so; do
    [ -x "$E2E_BUILD/$p" ] || { echo "missing $E2E_BUILD/$p"; exit 1; }
  done
  local why
  if ! why=$("$E2E_SRC/tools/sandbox/tarn-sandbox" --check); then
    if [ "${CI:-}" = true ]; then echo "FAIL (CI=true, no skipping): $why"; exit 1; fi
    echo "SKIP: $why"; exit 77
  fi
  E2E_ROOT=$(mktemp -d /tmp/tarn-e2e.XXXXXX)
  trap 'rm -rf "$E2E_ROOT"' EXIT
  chmod 755 "$E2E_ROOT"
  E2E_ISSUER=$E2E_ROOT/issuer
  mkdir -p "$E2E_ISSUER"
  "$E2E_BUILD/tools/imgbuild/tarn-imgbuild" issuer --out "$E2E_ISSUER/issuer.vkd" \
    --pks-dir "$E2E_ISSUER" >/dev/null || { echo "issuer image not made"; exit 1; }
  export E2E_ROOT E2E_ISSUER E2E_BUILD
  E2E_CASE_FAILS=0
  plan
  if sanitizer_reports; then E2E_CASE_FAILS=$((E2E_CASE_FAILS + 1)); fi
  [ $E2E_CASE_FAILS -eq 0 ] && echo "PASSED" || echo "FAILED: $E2E_CASE_FAILS"
  [ $E2E_CASE_FAILS -eq 0 ]
}

# detached PID: the daemon's process is not a session leader, has no
# controlling terminal, fds 0 to 2 on /dev/null and the file-creation mask 0.
# The starter's status comes back before the second fork is done, so this
# waits (up to 5 s) for the last process of the chain to settle.
detached() {
  local pid=$1 stat sid tty
  for _ in $(seq 100); do
    stat=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null) || return 1
    # after "(comm) ": state ppid pgrp session tty_nr ...
    sid=$(echo "$stat" | awk '{print $4}')
    tty=$(echo "$stat" | awk '{print $5}')
    if [ "$sid" != "$pid" ] && [ "$tty" = 0 ] &&
       [ "$(readlink "/proc/$pid/fd/0")" = /dev/null ] &&
       [ "$(readlink "/proc/$pid/fd/1")" = /dev/null ] &&
       [ "$(readlink "/proc/$pid/fd/2")" = /dev/null ] &&
       grep -q '^Umask:[[:space:]]*0000$' "/proc/$pid/status"; then
      return 0
    fi
    sleep 0.05
  done
  echo "stat: $stat"; ls -l "/proc/$pid/fd"; grep Umask "/proc/$pid/status"
  return 1
}

# wait_one_daemon: the two starter processes have ended; prints the pid.
wait_one_daemon() {
  local pids
  for _ in $(seq 100); do
    pids=$(daemon_pids)
    if [ "$(echo "$pids" | grep -c .)" = 1 ] && detached "$pids" >/dev/null; then
      echo "$pids"; return 0
    fi
    sleep 0.05
  done
  echo "$pids"
  return 1
}

# The log: first line "LOG START", and (ended=1) last line "LOG END".
log_framed() {
  head -n 1 "$LOGFILE" | grep -q '^\[[0-9/ :]*\] LOG START$' || { cat "$LOGFILE"; return 1; }
  if [ "${1:-0}" = 1 ]; then
    tail -n 1 "$LOGFILE" | grep -q '^\[[0-9/ :]*\] LOG END$' || { cat "$LOGFILE"; return 1; }
  else
    ! grep -q 'LOG END' "$LOGFILE" || { cat "$LOGFILE"; return 1; }
  fi
}

# reset_info: info=0 in config.ini, under the lock where there is one.
reset_info() {
  if [ -d "$MAVO/.lock" ]; then
    flock "$MAVO/.lock/config.lock" sed -i 's/^info=.*/info=0/' "$INI"
  else
    sed -i 's/^info=.*/info=0/' "$INI"
  fi
}

# late_barrier "what": an identity request answered, waiting for as long as
# the frames still queued take.
late_barrier() {
  sw_check "identity request answered after: $1" identity --expect-desc "$E2E_DESC" --timeout-ms 20000
}
