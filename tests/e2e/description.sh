#!/usr/bin/env bash
# What the daemon tells the switch about its user: no config.ini at all (no
# log, empty description: no identity reply, SM2 replies with an empty
# description record), and descriptions too long for the identity reply.
source "$(dirname "$0")/lib.sh"

plan() {
  run_case case_no_config --if eth0
  run_case case_long_description --if eth0
}

case_no_config() {
  HOST_MAC=$(host_mac_of eth0)
  E2E_DESC=
  prepare_host "first start"
  rm -f "$INI" "$LOGFILE"
  start_daemon
  expect_eq "no config.ini: the daemon starts (status 0)" "$RC" 0
  expect_in "no config.ini: said on the console" "$E2E_TMP/console" "read_config_info fail."
  check "one daemon process left, detached" wait_one_daemon
  sw_check "empty description: no identity reply" identity --expect-no-reply
  challenge "challenge answered with an empty description record" --expect-desc ""
  check "no log file without settings" test ! -e "$LOGFILE"
  check "config.ini is not created by the Result write" test ! -e "$INI"
}

case_long_description() {
  HOST_MAC=$(host_mac_of eth0)
  E2E_DESC=$(printf 'L%.0s' $(seq 300))
  prepare_host "$E2E_DESC"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  sw_check "300-byte description: no identity reply" identity --expect-no-reply
  challenge "300-byte description sent whole in the SM2 reply (length byte mod 256)"
  expect_result 1
  stop_daemon
  E2E_DESC=$(printf 'D%.0s' $(seq 128))
  ini_write "$E2E_DESC"
  start_daemon
  expect_eq "daemon restarted: status 0" "$RC" 0
  sw_check "128-byte description: identity reply" identity --expect-desc "$E2E_DESC" \
    --expect-cid-file "$KEYDAT"
}

e2e_main "$@"
