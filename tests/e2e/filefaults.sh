#!/usr/bin/env bash
# Failed reads and saves of the programs' own files, with errors injected
# into one run of a program (tools/faultshim: EIO from read or fsync on a
# named file) or a full file system (a small tmpfs), each beside a run
# without the fault:
# - the daemon's start: a Key.dat, a config.ini or an interface list that
#   cannot be read, or a new identifier that cannot be saved, end the start
#   with a message and status 1, and change no stored file; a missing
#   Key.dat still gets a new identifier;
# - the daemon's "Result" writes: a failed one is logged, the daemon goes on;
# - the tool: a command whose read or save failed says so on standard error
#   and ends with status 1, the stored files as they were.
source "$(dirname "$0")/lib.sh"

E2E_DESC="File Fault Test"
EIO="Input/output error"
SAVING="$MAVO/.config.ini.saving-*"

plan() {
  run_case case_key_dat_unreadable --if eth0
  run_case case_config_unreadable --if eth0
  run_case case_interface_list_unreadable --if eth0 --if eth1
  run_case case_identifier_not_saved --if eth0
  run_case case_result_not_saved --if eth0
  run_case case_tool --if eth0
}

no_daemon() { test -z "$(daemon_pids)"; }

stored_sums() { sum "$INI"; sum "$KEYDAT"; }

# A start that the fault ends: status 1, its message on the console, no
# daemon, config.ini and Key.dat as they were.
expect_refused_start() {   # expect_refused_start WHAT MESSAGE SUMS-BEFORE
  expect_eq "$1: status 1" "$RC" 1
  expect_in "$1: the reason on the console" "$E2E_TMP/console" "$2"
  check "$1: no daemon left" no_daemon
  expect_eq "$1: config.ini and Key.dat unchanged" "$(stored_sums)" "$3"
}

# start_unreadable NAME FILE: the host prepared (STORED_BEFORE: the sums of
# config.ini and Key.dat then), and a start with every read of FILE failing.
start_unreadable() {
  HOST_MAC=$(host_mac_of eth0)
  prepare_host "$E2E_DESC"
  STORED_BEFORE=$(stored_sums)
  start_daemon faulty TARN_FAULT_READ="$2" --
  expect_refused_start "$1 unreadable (EIO)" "无法读取$2(err:5, $EIO) , 启动失败" "$STORED_BEFORE"
}

case_key_dat_unreadable() {
  start_unreadable Key.dat "$KEYDAT"
  local before=$STORED_BEFORE
  expect_in "Key.dat unreadable: the log says why" "$LOGFILE" "] 无法读取$KEYDAT(err:5, $EIO) , 启动失败"
  check "Key.dat unreadable: the log ends with LOG END" log_framed 1

  # A folder in Key.dat's place is no identifier either, and is not replaced.
  mv "$KEYDAT" "$E2E_TMP/Key.dat.kept"
  mkdir "$KEYDAT"
  start_daemon
  expect_eq "a folder as Key.dat: status 1" "$RC" 1
  expect_in "a folder as Key.dat: the reason" "$E2E_TMP/console" "无法读取$KEYDAT(err:21,"
  check "a folder as Key.dat: still the folder" test -d "$KEYDAT"
  rmdir "$KEYDAT"
  mv "$E2E_TMP/Key.dat.kept" "$KEYDAT"

  start_daemon
  expect_eq "control, Key.dat readable: status 0" "$RC" 0
  check "control: one daemon process left, detached" wait_one_daemon
  sw_check "control: the identity reply carries the stored identifier" identity \
    --expect-cid-file "$KEYDAT" --expect-desc "$E2E_DESC"
  expect_eq "control: config.ini and Key.dat unchanged" "$(stored_sums)" "$before"
  stop_daemon

  cp "$KEYDAT" "$E2E_TMP/Key.dat.old"
  rm "$KEYDAT"
  start_daemon
  expect_eq "Key.dat missing: status 0" "$RC" 0
  check "Key.dat missing: a new identifier of 39 bytes saved" test "$(stat -c %s "$KEYDAT")" = 39
  check "Key.dat missing: the new identifier is another" bash -c "! cmp -s '$KEYDAT' '$E2E_TMP/Key.dat.old'"
}

case_config_unreadable() {
  start_unreadable config.ini "$INI"
  expect_in "config.ini unreadable: the settings could not be read either" "$E2E_TMP/console" \
    "read_config_info fail."

  start_daemon
  expect_eq "control, config.ini readable: status 0" "$RC" 0
  check "control: one daemon process left, detached" wait_one_daemon
  sw_check "control: the identity reply carries the description" identity --expect-desc "$E2E_DESC"
}

# Bytes of /proc/net/dev up to the end of the named interface's line (the
# counters are printed in fixed widths, so this holds while they are small).
bytes_through() { awk -v n="$1:" '{ b += length($0) + 1 } $1 == n { print b; exit }' /proc/net/dev; }

case_interface_list_unreadable() {
  ini_write "$E2E_DESC"
  local upto
  upto=$(bytes_through eth0)
  check "eth0 is listed before eth1" test -n "$upto" -a "$(bytes_through eth1)" -gt "${upto:-0}"
  local after
  for after in 0 "$upto"; do
    start_daemon faulty TARN_FAULT_READ='/proc/*/net/dev' TARN_FAULT_READ_AFTER="$after" --
    expect_eq "interface list failing after $after bytes: status 1" "$RC" 1
    expect_in "interface list failing after $after bytes: the read error" "$E2E_TMP/console" \
      "Read /proc/net/dev failed!errno:5"
    expect_in "interface list failing after $after bytes: no interface taken" "$E2E_TMP/console" \
      "bGetMac err = 0"
    check "interface list failing after $after bytes: no Key.dat made" test ! -e "$KEYDAT"
    check "interface list failing after $after bytes: no daemon" no_daemon
    check "interface list failing after $after bytes: config.ini unchanged" cmp "$INI" "$E2E_TMP/ini.before"
  done

  start_daemon
  expect_eq "control, whole list: status 0 (no image yet)" "$RC" 0
  expect_in "control: both interfaces listed" "$E2E_TMP/console" "NetCardCount: 2"
  expect_eq "control: the identifier is made from both MACs" "$(od -An -tu1 -N1 "$KEYDAT" | tr -d ' ')" 2
}

case_identifier_not_saved() {
  ini_write "$E2E_DESC"
  start_daemon faulty TARN_FAULT_FSYNC="$MAVO/.Key.dat.saving-*" --
  expect_eq "new identifier, flush fails: status 1" "$RC" 1
  expect_in "new identifier, flush fails: the reason" "$E2E_TMP/console" \
    "无法保存机器唯一标识到$KEYDAT , 启动失败"
  expect_in "new identifier, flush fails: the log says why" "$LOGFILE" \
    "] 无法保存机器唯一标识到$KEYDAT , 启动失败"
  check "new identifier, flush fails: no Key.dat" test ! -e "$KEYDAT"
  check "new identifier, flush fails: no daemon" no_daemon
  check "new identifier, flush fails: config.ini unchanged" cmp "$INI" "$E2E_TMP/ini.before"

  small_fs "$MAVO"
  fill "$MAVO"
  start_daemon
  expect_eq "new identifier, full disk: status 1" "$RC" 1
  expect_in "new identifier, full disk: the reason" "$E2E_TMP/console" \
    "无法保存机器唯一标识到$KEYDAT , 启动失败"
  check "new identifier, full disk: no Key.dat" test ! -e "$KEYDAT"
  check "new identifier, full disk: no daemon" no_daemon
  check "new identifier, full disk: config.ini unchanged" cmp "$INI" "$E2E_TMP/ini.before"
  unfill "$MAVO"

  start_daemon
  expect_eq "control, room again: status 0 (no image yet)" "$RC" 0
  check "control: Key.dat saved" test "$(stat -c %s "$KEYDAT")" = 39
}

case_result_not_saved() {
  up
  stop_daemon
  start_daemon faulty TARN_FAULT_FSYNC="$SAVING" --
  expect_eq "daemon whose config.ini saves fail: started" "$RC" 0
  check "one daemon process left, detached" wait_one_daemon
  PID=$(daemon_pid)
  sw_check "a key-error report (Result 2 due)" send --type 7 --data FFFFFF --expect-no-reply
  barrier "key-error report"
  expect_result 1 "the failed save left Result 1"
  expect_in "the lost Result 2 is logged" "$LOGFILE" "认证结果 Result=2 未能写入 $INI！"
  challenge "a challenge after the failed save is answered"
  still_running "after failed Result saves"
  stop_daemon

  small_fs "$MAVO"
  start_daemon
  check "one daemon process left, detached" wait_one_daemon
  PID=$(daemon_pid)
  fill "$MAVO"
  sw_check "full disk: an error report (Result 3 due)" send --type 7 --data 000000 --expect-no-reply
  barrier "error report on a full disk"
  expect_result 1 "full disk left Result 1"
  expect_in "full disk: the lost Result 3 is logged" "$LOGFILE" "认证结果 Result=3 未能写入 $INI！"
  still_running "full disk"
  unfill "$MAVO"

  sw_check "control, room again: an error report" send --type 7 --data 000000 --expect-no-reply
  barrier "error report with room"
  expect_result 3 "control: saved"
  expect_eq "control: no lost Result logged for it" "$(grep -c '未能写入' "$LOGFILE")" 1
}

# tool WHAT STATUS OUT ERR [VAR=VALUE...] -- ARG...: config ARG..., with the
# faults given (none: as it is); its status and both outputs as expected.
tool() {
  local what=$1 want_rc=$2 want_out=$3 want_err=$4
  shift 4
  local envs=()
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  if [ ${#envs[@]} -gt 0 ]; then
    faulty "${envs[@]}" -- "$MAVO/config" "$@" >"$E2E_TMP/tool.out" 2>"$E2E_TMP/tool.err"
  else
    "$MAVO/config" "$@" >"$E2E_TMP/tool.out" 2>"$E2E_TMP/tool.err"
  fi
  local rc=$?
  expect_eq "$what: status $want_rc" "$rc" "$want_rc"
  expect_eq "$what: standard output" "$(cat "$E2E_TMP/tool.out")" "$want_out"
  expect_eq "$what: standard error" "$(cat "$E2E_TMP/tool.err")" "$want_err"
}

# tool_fails WHAT ERR VAR=VALUE... -- ARG...: status 1, ERR on standard
# error, nothing on standard output, config.ini and Key.dat unchanged.
tool_fails() {
  local what=$1 err=$2 before
  shift 2
  before=$(stored_sums)
  tool "$what" 1 "" "$err" "$@"
  expect_eq "$what: config.ini and Key.dat unchanged" "$(stored_sums)" "$before"
}

set_ini() { ini_write "$1" "$2"; }

case_tool() {
  prepare_host "$E2E_DESC"
  local cid
  cid=$(od -An -tx1 -v "$KEYDAT" | tr -d ' \n' | tr a-f A-F)
  local notini="无法读取 $INI：$EIO！" notkey="无法读取 $KEYDAT：$EIO！"

  # info: the save fails (flush), or config.ini cannot be read.
  set_ini 0 "Result=1"
  tool_fails "info, flush of config.ini fails" "使用者信息未能写入 $INI！" \
    TARN_FAULT_FSYNC="$SAVING" -- info Alice Sales
  tool "control: info records the user" 0 "" "" -- info Alice Sales
  check "control: info=Alice(Sales) recorded" grep -qx 'info=Alice(Sales)' "$INI"
  tool_fails "info, config.ini unreadable" "$notini" TARN_FAULT_READ="$INI" -- info Carol Desk
  tool "control: info shows the recorded user" 0 "当前已有使用者信息：Alice(Sales)。"$'\n'"," "" \
    -- info Carol Desk

  # result: config.ini cannot be read.
  set_ini "$E2E_DESC" "Result=1"
  tool_fails "result, config.ini unreadable" "$notini" TARN_FAULT_READ="$INI" -- result
  tool "control: result" 0 "认证成功！" "" -- result

  # import, update, path: the image is installed, "Result" 11 is lost.
  "$TARN_BUILD/tools/imgbuild/tarn-imgbuild" host --out "$E2E_TMP/other.vkd" \
    --identity-file "$KEYDAT" --issuer "$E2E_ISSUER/issuer.vkd" >/dev/null 2>&1
  local cmd src
  mkdir -p "$E2E_TMP/tree"
  cp "$E2E_TMP/host.vkd" "$E2E_TMP/tree/host.vkd"
  for cmd in import update path; do
    case $cmd in
      path) src=$E2E_TMP/tree; cp "$E2E_TMP/other.vkd" "$CERT" ;;
      *) src=$E2E_TMP/other.vkd; cp "$E2E_TMP/host.vkd" "$CERT" ;;
    esac
    set_ini "$E2E_DESC" "Result=1"
    tool_fails "$cmd, flush of config.ini fails" "认证结果未能写入 $INI！" \
      TARN_FAULT_FSYNC="$SAVING" -- "$cmd" "$src"
    if [ "$cmd" = path ]; then
      check "$cmd: the matching image is installed all the same" cmp "$CERT" "$E2E_TMP/host.vkd"
    else
      check "$cmd: the image is installed all the same" cmp "$CERT" "$E2E_TMP/other.vkd"
    fi
    tool "control: $cmd" 0 "" "" -- "$cmd" "$src"
    expect_result 11 "control: $cmd"
  done

  # show, analyze, path: Key.dat cannot be read; nothing claims that the
  # machine has no identifier, path installs nothing.
  cp "$E2E_TMP/other.vkd" "$CERT"
  set_ini "$E2E_DESC" "Result=1"
  tool_fails "show, Key.dat unreadable" "$notkey" TARN_FAULT_READ="$KEYDAT" -- show
  tool "control: show" 0 "该机器的唯一标识是：TYPE=SM2-KMX,CID=$cid。"$'\n'"," "" -- show
  tool_fails "analyze, Key.dat unreadable" "$notkey" TARN_FAULT_READ="$KEYDAT" -- analyze
  tool_fails "path, Key.dat unreadable" "$notkey" TARN_FAULT_READ="$KEYDAT" -- path "$E2E_TMP/tree"
  check "path, Key.dat unreadable: nothing installed" cmp "$CERT" "$E2E_TMP/other.vkd"
  "$MAVO/config" analyze >"$E2E_TMP/tool.out" 2>&1
  expect_in "control: analyze shows the identifier" "$E2E_TMP/tool.out" "该机器的唯一标识是：$cid。"

  # A full disk under config.ini: info and import.
  set_ini 0 "Result=1"
  small_fs "$MAVO"
  fill "$MAVO"
  tool_fails "info, full disk" "使用者信息未能写入 $INI！" -- info Dave Lab
  tool_fails "import, full disk" "认证结果未能写入 $INI！" -- import "$E2E_TMP/host.vkd"
  check "import, full disk: the image is installed all the same" cmp "$CERT" "$E2E_TMP/host.vkd"
  check "no temporary file left beside config.ini" \
    bash -c "! ls -A '$MAVO' | grep -q '\\.saving-'"
  unfill "$MAVO"
  tool "control, room again: info" 0 "" "" -- info Dave Lab
  check "control: info=Dave(Lab) recorded" grep -qx 'info=Dave(Lab)' "$INI"
}

e2e_main "$@"
