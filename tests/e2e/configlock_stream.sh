#!/usr/bin/env bash
# The lock that guards config.ini under a stream of error reports to the real
# daemon (each a "Result" write) while config info records a user, 200
# rounds: with a link to a file elsewhere at the lock file, no info ends with
# status 0 unless its user is recorded (each is refused with the lock's
# message, and the daemon saves nothing); the same link at the old place at
# the folder's top is not used at all, and every info records its user.
source "$(dirname "$0")/lib.sh"

E2E_DESC="Config Lock Test"
LOCKDIR=$MAVO/.lock
LOCKFILE=$LOCKDIR/config.lock
OLDLOCK=$MAVO/.config.lock

plan() {
  run_case case_link_at_old_place --if eth0
  run_case case_link_at_lock_file --if eth0
}

# The tool, bounded: a tool that hangs is a failed check, not a hung test.
cfg() { timeout 60 "$MAVO/config" "$@"; }

# error_stream: error reports to the daemon (all 0x00, then all 0xFF: each a
# "Result" write) until the file $E2E_TMP/stop appears.
error_stream() {
  while [ ! -e "$E2E_TMP/stop" ]; do
    sw send --type 7 --data 000000 --repeat 200 --expect-no-reply --quiet-ms 1 >/dev/null 2>&1
    sw send --type 7 --data ffffff --repeat 200 --expect-no-reply --quiet-ms 1 >/dev/null 2>&1
  done
}

# info_rounds N: N rounds of info Ui x after info=0, under the error stream.
# Sets LOST (status 0, nothing printed, user not recorded), RECORDED,
# REFUSED (status 1 with the lock message) and OTHER.
info_rounds() {
  LOST=0 RECORDED=0 REFUSED=0 OTHER=0
  rm -f "$E2E_TMP/stop"
  error_stream &
  local stream=$! round out rc
  for round in $(seq "$1"); do
    reset_info
    out=$(cfg info "U$round" x 2>&1)
    rc=$?
    if [ "$rc" = 0 ] && [ -z "$out" ]; then
      if grep -qx "info=U$round(x)" "$INI"; then RECORDED=$((RECORDED + 1)); else LOST=$((LOST + 1)); fi
    elif [ "$rc" = 1 ] && [[ "$out" == "无法取得配置文件的锁 $LOCKFILE："*"！" ]]; then
      REFUSED=$((REFUSED + 1))
    else
      OTHER=$((OTHER + 1)); echo "  round $round: status $rc: $out"
    fi
  done
  : >"$E2E_TMP/stop"
  wait "$stream"
}

case_link_at_old_place() {
  up
  echo "elsewhere" >/usr/local/elsewhere
  ln -s /usr/local/elsewhere "$OLDLOCK"
  info_rounds 200
  expect_eq "no info that ended with status 0 lost its user" "$LOST" 0
  expect_eq "every info recorded its user (the old place is not used)" "$RECORDED" 200
  expect_eq "the file the link names is unchanged" "$(cat /usr/local/elsewhere)" elsewhere
  expect_eq "no other outcome" "$OTHER" 0
  late_barrier "the stream"
  still_running "link at the old place"
}

case_link_at_lock_file() {
  up
  echo "elsewhere" >/usr/local/elsewhere
  # Also at the old place, where earlier versions looked for it.
  ln -s /usr/local/elsewhere "$OLDLOCK"
  rm -f "$LOCKFILE"
  ln -s /usr/local/elsewhere "$LOCKFILE"
  info_rounds 200
  expect_eq "no info that ended with status 0 lost its user" "$LOST" 0
  expect_eq "every info was refused with the lock's message" "$REFUSED" 200
  expect_eq "the file the link names is unchanged" "$(cat /usr/local/elsewhere)" elsewhere
  expect_in "the daemon logged the Result writes it could not lock" "$LOGFILE" \
    "Can't lock $LOCKFILE err:40, Too many levels of symbolic links."
  expect_eq "no other outcome" "$OTHER" 0
  late_barrier "the stream"
  rm "$LOCKFILE"
  reset_info
  check "the link gone: config info" cfg info Li Lei
  expect_in "the user is recorded" "$INI" "info=Li(Lei)"
  challenge "the link gone: a challenge"
  check "the daemon recorded Result 1 again" grep -qx 'Result=1' "$INI"
  still_running "link at the lock file"
}

e2e_main "$@"
