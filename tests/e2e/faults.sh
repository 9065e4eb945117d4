#!/usr/bin/env bash
# Faults of the host's storage under the running daemon and the tool:
# - a read-only image: the card cannot count a PIN try, so it does not
#   compare the PIN either: the challenge is answered with 0xFF, the image is
#   left as it was, and once writable again it authenticates;
# - truncated, empty, zero-filled, random and oversized images installed as
#   private.vkd: each challenge answered with 0xFF and Result 0, the daemon
#   running on, the image not modified;
# - full file systems (small tmpfs) under config.ini, Key.dat, an image
#   installation and the card's writes: the old contents survive, the
#   operation fails, the daemon keeps running.
source "$(dirname "$0")/lib.sh"

E2E_DESC="Fault Test"

plan() {
  [ -n "${FAULTS_ONLY:-}" ] && { run_case "$FAULTS_ONLY" --if eth0; return; }
  run_case case_readonly_image --if eth0
  run_case case_bad_images --if eth0
  run_case case_full_fs --if eth0
}

case_readonly_image() {
  up
  cp "$CERT" "$E2E_TMP/image.before"
  mount -n --bind /usr/local/cert /usr/local/cert
  mount -n -o remount,bind,ro /usr/local/cert
  check "the image's folder is read-only now" bash -c "! : >>'$CERT'"
  local i
  for i in 1 2 3 4 5 6 7; do
    challenge "read-only image, challenge $i: 0xFF (no try can be counted)" --expect-fail
    expect_result 0 "read-only image, challenge $i"
  done
  check "the image is unchanged" cmp "$CERT" "$E2E_TMP/image.before"
  still_running "read-only image"
  umount -n /usr/local/cert
  challenge "writable again: the PIN was never blocked, the challenge is answered"
  expect_result 1 "writable again"
}

# A bad image of each kind, made from the good one.
make_bad() {   # make_bad KIND OUT
  local size
  size=$(stat -c %s "$E2E_TMP/host.vkd")
  case $1 in
    empty) : >"$2" ;;
    head100) head -c 100 "$E2E_TMP/host.vkd" >"$2" ;;
    half) head -c $((size / 2)) "$E2E_TMP/host.vkd" >"$2" ;;
    lastbyte) head -c $((size - 1)) "$E2E_TMP/host.vkd" >"$2" ;;
    zero) head -c "$size" /dev/zero >"$2" ;;
    random) head -c "$size" /dev/urandom >"$2" ;;
    oversized) head -c $(((8 << 20) + size)) /dev/urandom >"$2" ;;
    hugezero) head -c $((16 << 20)) /dev/zero >"$2" ;;
    # The card's file system is the first 64 KiB; what follows is its key
    # matrix area, which a host's image does not use.
    longtail) { cat "$E2E_TMP/host.vkd"; head -c $((8 << 20)) /dev/urandom; } >"$2" ;;
  esac
}

case_bad_images() {
  up
  local kind
  for kind in empty head100 half lastbyte zero random oversized hugezero; do
    make_bad "$kind" "$E2E_TMP/bad.vkd"
    # A new file in place of the image, as an installation leaves it.
    cp "$E2E_TMP/bad.vkd" "$CERT.new" && mv "$CERT.new" "$CERT"
    challenge "$kind image: 0xFF" --expect-fail --timeout-ms 10000
    expect_result 0 "$kind image"
    challenge "$kind image, again: 0xFF" --expect-fail --timeout-ms 10000
    check "$kind image: not modified" cmp "$CERT" "$E2E_TMP/bad.vkd"
    still_running "$kind image"
  done
  make_bad longtail "$E2E_TMP/bad.vkd"
  cp "$E2E_TMP/bad.vkd" "$CERT.new" && mv "$CERT.new" "$CERT"
  challenge "whole image with 8 MiB of random bytes after it: answered" --timeout-ms 10000
  expect_result 1 "image with a long tail"
  still_running "image with a long tail"
  cp "$E2E_TMP/host.vkd" "$CERT.new" && mv "$CERT.new" "$CERT"
  challenge "the good image again: answered"
  expect_result 1 "good image again"
}

# A save's temporary file is ".NAME.saving-" and six letters or digits, an
# installation's ".NAME." and six.
no_temp_left() { ! ls -A "$1" | grep -q -e '\.[A-Za-z0-9]\{6\}$' -e '\.saving-[A-Za-z0-9]\{6\}$'; }

case_full_fs() {
  up
  stop_daemon
  small_fs "$MAVO"
  small_fs /usr/local/cert
  start_daemon
  check "one daemon process left, detached" wait_one_daemon
  PID=$(daemon_pid)
  challenge "on the small file systems: answered"
  expect_result 1 "small file systems"

  # config.ini: the daemon's Result cannot be saved.
  sw_check "an error report (Result 3 due)" send --type 7 --data 000000 --expect-no-reply
  barrier "error report"
  expect_result 3 "Result 3 saved while there is room"
  cp "$INI" "$E2E_TMP/ini.full"
  fill "$MAVO"
  challenge "config.ini's file system full: the challenge is still answered"
  check "config.ini keeps its old contents" cmp "$INI" "$E2E_TMP/ini.full"
  check "no temporary file left beside config.ini" no_temp_left "$MAVO"
  still_running "config.ini full"

  # Key.dat: the tool's path command would rewrite it.
  cp "$KEYDAT" "$E2E_TMP/keydat.full"
  mkdir -p "$E2E_TMP/src"
  cp "$E2E_TMP/host.vkd" "$E2E_TMP/src/host.vkd"
  "$MAVO/config" path "$E2E_TMP/src" >"$E2E_TMP/path.out" 2>"$E2E_TMP/path.err"
  expect_eq "config path on a full file system: exit status 1" "$?" 1
  expect_in "config path reports that Key.dat was not written" "$E2E_TMP/path.err" \
    "机器唯一标识未能写入 $KEYDAT！"
  expect_in "config path reports that Result 11 was not recorded" "$E2E_TMP/path.err" \
    "认证结果未能写入 $INI！"
  check "config path prints nothing else" test ! -s "$E2E_TMP/path.out"
  check "Key.dat keeps its old contents" cmp "$KEYDAT" "$E2E_TMP/keydat.full"
  check "config.ini still keeps its old contents" cmp "$INI" "$E2E_TMP/ini.full"
  check "no temporary file left beside Key.dat" no_temp_left "$MAVO"
  unfill "$MAVO"

  # An image installation (config import) into a full folder.
  cp "$CERT" "$E2E_TMP/image.full"
  "$TARN_BUILD/tools/imgbuild/tarn-imgbuild" host --out "$E2E_TMP/other.vkd" \
    --identity-file "$KEYDAT" --issuer "$E2E_ISSUER/issuer.vkd" >/dev/null 2>&1
  fill /usr/local/cert
  "$MAVO/config" import "$E2E_TMP/other.vkd" >"$E2E_TMP/import.out" 2>&1
  expect_in "config import into a full folder reports failure" "$E2E_TMP/import.out" "证书路径错误！"
  check "the installed image keeps its old contents" cmp "$CERT" "$E2E_TMP/image.full"
  check "no temporary file left beside the image" no_temp_left /usr/local/cert
  check "Result is not 11 (nothing was installed)" bash -c "! grep -q '^Result=11' '$INI'"

  # The card's own writes (the PIN's try counter) with the image's folder
  # full: the image stays usable.
  challenge "image folder full: the challenge is answered"
  challenge "image folder full: again"
  unfill /usr/local/cert
  challenge "room again: answered"
  expect_result 1 "room again"
  still_running "full file systems"
}

e2e_main "$@"
