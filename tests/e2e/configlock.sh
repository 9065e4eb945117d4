#!/usr/bin/env bash
# The lock that guards config.ini, with the real daemon and tool:
# - a lock file at the folder's top (where earlier set-ups and the scripts
#   of their operators kept it, 0644 as flock makes it) opened by another
#   user, who keeps it open and then locks it: nothing stalls, for the
#   programs lock a file in a folder that only root can enter;
# - a root process that keeps that lock: the daemon gives up each "Result"
#   write after a few seconds, logs it and goes on answering; info gives up
#   with a message and status 1; with the lock free again all is as before;
# - a lock file that is a link to a file elsewhere, under a stream of error
#   reports (each a "Result" write): no info ends with status 0 unless its
#   user is recorded; the same link at the old place at the folder's top is
#   not used at all, and every info records its user.
source "$(dirname "$0")/lib.sh"

E2E_DESC="Config Lock Test"
NOBODY=65534
LOCKDIR=$MAVO/.lock
LOCKFILE=$LOCKDIR/config.lock
OLDLOCK=$MAVO/.config.lock

plan() {
  run_case case_old_lock_file_held --if eth0
  run_case case_root_keeps_the_lock --if eth0
  run_case case_link_at_old_place --if eth0
  run_case case_link_at_lock_file --if eth0
}

as_nobody() { setpriv --reuid "$NOBODY" --regid "$NOBODY" --clear-groups -- "$@"; }

# The tool, bounded: a tool that hangs is a failed check, not a hung test.
cfg() { timeout 60 "$MAVO/config" "$@"; }

# wait_for FILE: up to 10 s for a file that another process makes.
wait_for() {
  local i
  for i in $(seq 200); do [ -e "$1" ] && return 0; sleep 0.05; done
  return 1
}

case_old_lock_file_held() {
  mkdir -p "$MAVO"
  ( umask 022; : >"$OLDLOCK" )
  check "the old lock file is a root file of mode 644" \
    test "$(stat -c '%U %a' "$OLDLOCK")" = "root 644"
  # The other user opens it now and keeps it; once told, he locks it and
  # says whether he could open the lock folder or the lock file too.
  mkdir -p "$E2E_TMP/nobody" && chmod 777 "$E2E_TMP/nobody"
  cat >"$E2E_TMP/holder.sh" <<EOF
#!/usr/bin/env bash
exec {fd}<$OLDLOCK || exit 1
: >$E2E_TMP/nobody/opened
while [ ! -e $E2E_TMP/nobody/go ]; do sleep 0.05; done
flock -x "\$fd" || exit 1
opened=no
( exec 9<$LOCKDIR ) 2>/dev/null && opened=yes
( exec 9<$LOCKFILE ) 2>/dev/null && opened=yes
echo "\$opened" >$E2E_TMP/nobody/locked.new && mv $E2E_TMP/nobody/locked.new $E2E_TMP/nobody/locked
exec sleep 1000
EOF
  chmod 755 "$E2E_TMP/holder.sh"
  as_nobody "$E2E_TMP/holder.sh" &
  local holder=$!
  check "the other user holds the old lock file open" wait_for "$E2E_TMP/nobody/opened"
  up   # the daemon has used the lock: its start, and a Result write
  check "the lock folder is root's, mode 700" test "$(stat -c '%F %U %a' "$LOCKDIR")" = "directory root 700"
  : >"$E2E_TMP/nobody/go"
  check "the other user has locked the old lock file" wait_for "$E2E_TMP/nobody/locked"
  expect_eq "the other user can open neither the lock folder nor the lock file" \
    "$(cat "$E2E_TMP/nobody/locked")" no
  barrier "the other user's lock held"
  challenge "a challenge under the other user's lock: answered"
  expect_result 1 "under the other user's lock"
  sw_check "an error report (Result 3 due)" send --type 7 --data 000000 --expect-no-reply
  barrier "error report under the other user's lock"
  expect_result 3 "error report under the other user's lock"
  reset_info
  check "config info ends under the other user's lock" cfg info Han Meimei
  expect_in "the user is recorded" "$INI" "info=Han(Meimei)"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  still_running "other user's lock"
}

case_root_keeps_the_lock() {
  up
  reset_info
  cp "$INI" "$E2E_TMP/ini.held"
  ( exec 9<"$LOCKFILE" && flock -x 9 && : >"$E2E_TMP/held" && exec sleep 1000 ) &
  local holder=$!
  check "another root process holds the lock" wait_for "$E2E_TMP/held"
  challenge "a challenge while the lock is held: answered"
  late_barrier "the Result write that gave up"
  check "config.ini unchanged while the lock is held" cmp "$INI" "$E2E_TMP/ini.held"
  expect_in "the daemon logged the Result write it gave up" "$LOGFILE" \
    "Can't lock $LOCKFILE err:11, Resource temporarily unavailable."
  local out rc
  out=$(cfg info Li Lei 2>&1)
  rc=$?
  expect_eq "config info gives up: status 1" "$rc" 1
  expect_eq "config info says why" "$out" "无法取得配置文件的锁 $LOCKFILE：Resource temporarily unavailable！"
  check "config.ini still unchanged" cmp "$INI" "$E2E_TMP/ini.held"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  check "config info with the lock free" cfg info Li Lei
  expect_in "the user is recorded" "$INI" "info=Li(Lei)"
  challenge "a challenge with the lock free"
  check "the daemon recorded Result 1 again" grep -qx 'Result=1' "$INI"
  still_running "lock kept by another root process"
}

# reset_info: info=0 in config.ini, under the lock where there is one.
reset_info() {
  if [ -d "$LOCKDIR" ]; then
    flock "$LOCKFILE" sed -i 's/^info=.*/info=0/' "$INI"
  else
    sed -i 's/^info=.*/info=0/' "$INI"
  fi
}

# late_barrier "what": an identity request answered, waiting for as long as
# the frames still queued take.
late_barrier() {
  sw_check "identity request answered after: $1" identity --expect-desc "$E2E_DESC" --timeout-ms 20000
}

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
