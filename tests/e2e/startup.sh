#!/usr/bin/env bash
# Start-up of the daemon: the failures that end it, with their exit statuses,
# console texts and log frame; the machine identifier it creates; a host with
# several interfaces (and the choice of the one the daemon answers on), and
# one with too many for an identifier.
source "$(dirname "$0")/lib.sh"

E2E_DESC="Operator Two, desk 4"

plan() {
  run_case case_only_lo_and_vir --if virt0 --if virbr0
  run_case case_no_packet_socket --if eth0
  run_case case_info_zero_and_key_dat --if eth0=02:1a:2b:3c:4d:5e
  run_case case_no_image --if eth0
  run_case case_two_interfaces --if eth1=02:00:00:00:00:b1 --if eth0=02:00:00:00:00:a0 --if virt0
  run_case case_frame_to_the_other_mac --if eth0=02:00:00:00:00:a0 --if eth1=02:00:00:00:00:b1
  run_case case_six_interfaces --if eth0 --if eth1 --if eth2 --if eth3 --if eth4 --if eth5
}

case_only_lo_and_vir() {
  ini_write "$E2E_DESC"
  start_daemon
  expect_eq "no interface but lo and vir*: status 1" "$RC" 1
  expect_in "interfaces counted: none" "$E2E_TMP/console" "NetCardCount: 0"
  expect_in "no MAC read" "$E2E_TMP/console" "bGetMac err = 0"
  check "log framed by LOG START and LOG END" log_framed 1
  check "no Key.dat made" test ! -e "$KEYDAT"
}

case_no_packet_socket() {
  ini_write "$E2E_DESC"
  start_daemon setpriv --bounding-set -net_raw --inh-caps -net_raw --
  expect_eq "packet socket refused: status 1" "$RC" 1
  expect_in "socket failure on the console" "$E2E_TMP/console" "sock err = -1"
  check "log framed by LOG START and LOG END" log_framed 1
  check "no daemon left running" test -z "$(daemon_pids)"
}

# Key.dat of a host with one interface: 1, 0, 0, the MAC, 30 upper-case hex
# characters of a fresh UUID; kept as it is by every later start.
key_dat_layout() {
  local hex
  hex=$(od -An -v -tx1 "$KEYDAT" | tr -d ' \n')
  [ "$(stat -c %s "$KEYDAT")" = 39 ] || { echo "size $(stat -c %s "$KEYDAT")"; return 1; }
  [ "${hex:0:18}" = "010000021a2b3c4d5e" ] || { echo "head $hex"; return 1; }
  tail -c 30 "$KEYDAT" | grep -qE '^[0-9A-F]{30}$' || { echo "tail $(tail -c 30 "$KEYDAT")"; return 1; }
}

case_info_zero_and_key_dat() {
  ini_write 0
  start_daemon
  expect_eq "info 0: status 0" "$RC" 0
  expect_in "info 0: asks for the user's details" "$E2E_TMP/console" "请填写使用者信息！"
  check "log framed by LOG START and LOG END" log_framed 1
  check "no daemon left running" test -z "$(daemon_pids)"
  check "Key.dat laid out as count, two zeros, MAC, UUID tail" key_dat_layout
  cp "$KEYDAT" "$E2E_TMP/key.first"
  ini_write "$E2E_DESC"
  start_daemon
  expect_eq "no image: status 0" "$RC" 0
  check "a second start keeps Key.dat as it was" cmp "$KEYDAT" "$E2E_TMP/key.first"
}

case_no_image() {
  ini_write "$E2E_DESC"
  start_daemon
  expect_eq "no image: status 0" "$RC" 0
  expect_in "no image: asks for one" "$E2E_TMP/console" "不存在证书，请导入证书！"
  check "log framed by LOG START and LOG END" log_framed 1
  check "no daemon left running" test -z "$(daemon_pids)"
  expect_eq "config.ini untouched" "$(cat "$INI")" "$(cat "$E2E_TMP/ini.before")"
}

# eth1 is created first, but interfaces go in name order: eth0 then eth1;
# virt0 is no interface of the host's identity.
case_two_interfaces() {
  HOST_MAC=02:00:00:00:00:b1   # eth1 faces the switch
  prepare_host "$E2E_DESC"
  local hex
  hex=$(head -c 15 "$KEYDAT" | od -An -v -tx1 | tr -d ' \n')
  expect_eq "Key.dat: two MACs in name order" "$hex" "0200000200000000a00200000000b1"
  check "Key.dat: 24-character UUID tail" sh -c "tail -c 24 '$KEYDAT' | grep -qE '^[0-9A-F]{24}\$'"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  sw_check "identity reply: both MACs in name order, the CID, the description" identity \
    --expect-macs 02:00:00:00:00:a0,02:00:00:00:00:b1 --expect-cid-file "$KEYDAT" \
    --expect-desc "$E2E_DESC"
  challenge "challenge over the second interface answered"
  expect_result 1
  # eth1 is now the daemon's interface for good: frames to eth0's MAC go
  # unanswered, whether they come over eth1 or over eth0 itself.
  sw_check "frame to the other interface's MAC: no reply" identity --dst 02:00:00:00:00:a0 \
    --expect-no-reply
  check "frame over the other interface: no reply" ip netns exec "$TARN_SWITCH_NS" \
    "$TARN_BUILD/tools/switchsim/tarn-switch" --if sw1 --host-mac 02:00:00:00:00:a0 identity \
    --expect-no-reply
  barrier "frames to the other interface"
}

# The switch is on eth0 (sw0). Before its first request, one frame comes
# over eth0's link addressed to eth1's MAC: it arrived on an interface that
# is not the one it names, so it chooses nothing, and the switch on eth0 is
# answered from then on.
case_frame_to_the_other_mac() {
  HOST_MAC=02:00:00:00:00:a0
  prepare_host "$E2E_DESC"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  sw_check "identity request over eth0's link to eth1's MAC: no reply" identity \
    --dst 02:00:00:00:00:b1 --expect-no-reply
  sw_check "the switch on eth0 is answered: both MACs, the CID, the description" identity \
    --expect-macs 02:00:00:00:00:a0,02:00:00:00:00:b1 --expect-cid-file "$KEYDAT" \
    --expect-desc "$E2E_DESC"
  challenge "challenge on eth0 answered"
  expect_result 1
  expect_in "eth0 was chosen" "$LOGFILE" "Index for interface eth0 is"
  check "eth1 was never chosen" sh -c "! grep -q 'Index for interface eth1' '$LOGFILE'"
  # Chosen once: a frame to eth0's MAC that comes over eth1's link is not
  # served either.
  check "frame to eth0's MAC over eth1's link: no reply" ip netns exec "$TARN_SWITCH_NS" \
    "$TARN_BUILD/tools/switchsim/tarn-switch" --if sw1 --host-mac 02:00:00:00:00:a0 identity \
    --expect-no-reply
  barrier "frames over the other link"
}

# Six interfaces: no identifier can be made, so no Key.dat; with an image the
# daemon runs but cannot answer an identity request.
case_six_interfaces() {
  HOST_MAC=$(host_mac_of eth0)
  ini_write "$E2E_DESC"
  start_daemon
  expect_eq "six MACs, no image: status 0" "$RC" 0
  check "six MACs: no Key.dat" test ! -e "$KEYDAT"
  head -c 39 /dev/urandom >"$E2E_TMP/other.id"
  mkdir -p /usr/local/cert
  check "an image for some identity installed" "$TARN_BUILD/tools/imgbuild/tarn-imgbuild" host \
    --out "$CERT" --identity-file "$E2E_TMP/other.id" --issuer "$E2E_ISSUER/issuer.vkd"
  start_daemon
  expect_eq "six MACs, with an image: status 0" "$RC" 0
  check "still no Key.dat" test ! -e "$KEYDAT"
  sw_check "no identity reply without an identifier" identity --expect-no-reply
  expect_in "the refusal is logged" "$LOGFILE" "SetMsgContentMAC err"
}

e2e_main "$@"
