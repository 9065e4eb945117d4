#!/usr/bin/env bash
# The lock that guards config.ini, with the real daemon and tool:
# - a lock file at the folder's top (where earlier set-ups and the scripts
#   of their operators kept it, 0644 as flock makes it) opened by another
#   user, who keeps it open and then locks it: nothing stalls, for the
#   programs lock a file in a folder that only root can enter;
# - a root process that keeps that lock: the daemon gives up each "Result"
#   write after a few seconds, logs it and goes on answering; info gives up
#   with a message and status 1; with the lock free again all is as before;
# (configlock_stream.sh: a link at the lock file under a stream of "Result"
# writes.)
source "$(dirname "$0")/lib.sh"

E2E_DESC="Config Lock Test"
NOBODY=65534
LOCKDIR=$MAVO/.lock
LOCKFILE=$LOCKDIR/config.lock
OLDLOCK=$MAVO/.config.lock

plan() {
  run_case case_old_lock_file_held --if eth0
  run_case case_root_keeps_the_lock --if eth0
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

e2e_main "$@"
