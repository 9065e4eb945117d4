#!/usr/bin/env bash
# The operator's files, a hostile local user and the image on disk, with the
# real daemon and tool:
# - files beside config.ini and Key.dat ("config.ini.backup" and the like)
#   survive every save of both programs, while a killed save's leftover of
#   the saves' own private pattern is taken away;
# - another user who holds an exclusive flock on everything he can open in
#   /usr/local/MavoClient stalls neither the daemon nor the tool;
# - private.vkd replaced by a link or a FIFO: the linked file is never
#   written, the daemon never hangs, and the image back in place works;
# - an image folder left world-writable is closed before an installation,
#   another user's folder is refused;
# - a link at the log's path is not followed.
source "$(dirname "$0")/lib.sh"

E2E_DESC="Local User Test"
NOBODY=65534

plan() {
  run_case case_operator_files --if eth0
  run_case case_lock_stall --if eth0
  run_case case_image_swap --if eth0
  run_case case_image_folder --if eth0
  run_case case_log_link --if eth0
}

# as_nobody CMD...: runs CMD as another user.
as_nobody() { setpriv --reuid "$NOBODY" --regid "$NOBODY" --clear-groups -- "$@"; }

# The tool, bounded: a tool that hangs is a failed check, not a hung test.
cfg() { timeout 60 "$MAVO/config" "$@"; }

case_operator_files() {
  up
  # The operator's own files: a dot and six letters or digits is how people
  # name backups and dated copies.
  local keep=(config.ini.backup config.ini.241210 config.ini.orig01 Key.dat.backup Key.dat.a1B2c3
              .config.ini.backup config.ini.saving-a1B2c3)
  local f
  for f in "${keep[@]}"; do echo "operator's $f" >"$MAVO/$f"; done
  # What killed saves leave: the saves' private pattern, unlocked.
  echo "half a save" >"$MAVO/.config.ini.saving-Dead01"
  echo "half a save" >"$MAVO/.Key.dat.saving-Dead02"

  challenge "a challenge: the daemon writes Result"
  expect_result 1 "after the operator's files were put beside it"
  flock "$MAVO/.lock/config.lock" sed -i 's/^info=.*/info=0/' "$INI"
  check "config info records a user (a save of config.ini)" cfg info Li Lei
  expect_in "the user is recorded" "$INI" "info=Li(Lei)"
  mkdir -p "$E2E_TMP/src"
  cp "$E2E_TMP/host.vkd" "$E2E_TMP/src/host.vkd"
  cfg path "$E2E_TMP/src" >"$E2E_TMP/path.out" 2>&1
  expect_eq "config path adopts the image (saves of Key.dat and config.ini): status 0" "$?" 0
  expect_in "config path records Result 11" "$INI" "Result=11"
  challenge "another challenge"
  check "the daemon recorded Result 1 again" grep -qx 'Result=1' "$INI"
  for f in "${keep[@]}"; do
    expect_eq "$f survives every save" "$(cat "$MAVO/$f" 2>&1)" "operator's $f"
  done
  check "a killed save's leftover beside config.ini is gone" test ! -e "$MAVO/.config.ini.saving-Dead01"
  check "a killed save's leftover beside Key.dat is gone" test ! -e "$MAVO/.Key.dat.saving-Dead02"
  still_running "operator's files"
}

# The other user's holder: an exclusive flock on the folder and on every
# entry of it that he can open, held until it is killed. It writes how many
# it holds, and whether the lock folder or the lock file opened, to $1.
holder_script() {
  cat >"$E2E_TMP/holder.sh" <<'EOF'
#!/usr/bin/env bash
out=$1; n=0; lockfile=no
for f in /usr/local/MavoClient /usr/local/MavoClient/* /usr/local/MavoClient/.[!.]*; do
  [ -e "$f" ] || continue
  exec {fd}<"$f" 2>/dev/null || continue
  [ "$f" = /usr/local/MavoClient/.lock ] && lockfile=yes
  flock -xn "$fd" && n=$((n + 1))
done
( exec 9</usr/local/MavoClient/.lock/config.lock ) 2>/dev/null && lockfile=yes
echo "$n $lockfile" >"$out.new" && mv "$out.new" "$out"
exec sleep 1000
EOF
  chmod 755 "$E2E_TMP/holder.sh"
}

case_lock_stall() {
  up
  cfg result >/dev/null   # every program's save has made the lock file by now
  check "the lock folder is a folder of root, mode 700" \
    test "$(stat -c '%F %U %a' "$MAVO/.lock")" = "directory root 700"
  check "the lock file is a regular file of root, mode 600" \
    test "$(stat -c '%F %U %a' "$MAVO/.lock/config.lock")" = "regular empty file root 600"
  holder_script
  mkdir -p "$E2E_TMP/nobody" && chmod 777 "$E2E_TMP/nobody"
  as_nobody "$E2E_TMP/holder.sh" "$E2E_TMP/nobody/held" &
  local holder=$!
  local i
  for i in $(seq 200); do [ -e "$E2E_TMP/nobody/held" ] && break; sleep 0.05; done
  local held lockfile
  read -r held lockfile <"$E2E_TMP/nobody/held"
  # The folder, config.ini, Key.dat and both programs.
  check "the other user holds the folder and its files ($held locks)" test "$held" -ge 5
  expect_eq "the other user can open neither the lock folder nor the lock file" "$lockfile" no
  challenge "a challenge while the other user holds his locks: answered"
  expect_result 1 "under the other user's locks"
  sw_check "an error report (Result 3 due)" send --type 7 --data 000000 --expect-no-reply
  barrier "error report under the other user's locks"
  expect_result 3 "error report under the other user's locks"
  flock "$MAVO/.lock/config.lock" sed -i 's/^info=.*/info=0/' "$INI"
  check "config info ends under the other user's locks" cfg info Han Meimei
  expect_in "the user is recorded" "$INI" "info=Han(Meimei)"
  check "config result ends under the other user's locks" cfg result
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  still_running "other user's locks"
}

case_image_swap() {
  up
  local victim=/usr/local/victim.vkd
  cp "$CERT" "$victim"
  local before
  before=$(sum "$victim")
  mv "$CERT" "$CERT.aside"
  ln -s "$victim" "$CERT"
  challenge "private.vkd a link to another image: answered with 0xFF" --expect-fail
  expect_result 0 "link"
  challenge "again" --expect-fail
  expect_eq "the file the link names is unchanged" "$(sum "$victim")" "$before"
  rm "$CERT"
  mkfifo "$CERT"
  challenge "private.vkd a FIFO: answered with 0xFF" --expect-fail --timeout-ms 10000
  barrier "FIFO in place of the image"
  expect_result 0 "FIFO"
  still_running "FIFO"
  rm "$CERT"
  mv "$CERT.aside" "$CERT"
  challenge "the image back in place: answered"
  expect_result 1 "image back"
  still_running "image swaps"
}

case_image_folder() {
  HOST_MAC=$(host_mac_of eth0)
  prepare_host "$E2E_DESC"
  chmod 777 /usr/local/cert
  local out
  out=$(cfg import "$E2E_TMP/host.vkd" 2>&1)
  expect_eq "import into a world-writable image folder: installed, no message" "$out" ""
  expect_eq "the image folder is closed to others' writes" "$(stat -c %a /usr/local/cert)" 755
  check "the installed image is the new one" cmp "$CERT" "$E2E_TMP/host.vkd"

  rm -f "$CERT"
  chown "$NOBODY" /usr/local/cert
  out=$(cfg import "$E2E_TMP/host.vkd" 2>&1)
  expect_eq "import into another user's image folder: refused" "$out" "证书路径错误！ "
  check "nothing installed" test ! -e "$CERT"
  check "the folder is left as it was" test "$(stat -c '%U %a' /usr/local/cert)" = "nobody 755"
  chown root /usr/local/cert

  mv /usr/local/cert /usr/local/cert.real
  ln -s /usr/local/cert.real /usr/local/cert
  out=$(cfg import "$E2E_TMP/host.vkd" 2>&1)
  expect_eq "import into an image folder that is a link: refused" "$out" "证书路径错误！ "
  check "nothing installed behind the link" test -z "$(ls -A /usr/local/cert.real)"
  rm /usr/local/cert
  mv /usr/local/cert.real /usr/local/cert
  out=$(cfg import "$E2E_TMP/host.vkd" 2>&1)
  expect_eq "a real folder again: installed" "$out" ""
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  challenge "the installed image answers"
}

case_log_link() {
  HOST_MAC=$(host_mac_of eth0)
  prepare_host "$E2E_DESC"
  local victim=/usr/local/victim.txt
  echo "precious" >"$victim"
  ln -sf "$victim" "$LOGFILE"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  expect_in "the log cannot be created" "$E2E_TMP/console" "Can't create log file."
  check "one daemon process left, detached" wait_one_daemon
  challenge "answered without a log"
  expect_eq "the file the link names is unchanged" "$(cat "$victim")" "precious"
  check "the link is still a link" test -L "$LOGFILE"
}

e2e_main "$@"
