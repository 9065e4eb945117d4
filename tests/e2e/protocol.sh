#!/usr/bin/env bash
# The running daemon against the simulated switch: detaching, the identity
# reply, SM2 challenges good and bad, replays, wrong lengths, short frames,
# error reports, unknown and ignored record types, frames to other addresses;
# "Result" after each outcome with every other line of config.ini unchanged.
# One sandbox and one daemon serve all checks.
source "$(dirname "$0")/lib.sh"

E2E_DESC="Zhang Wei, room 101"

plan() {
  run_case case_protocol --if eth0
}

good() { challenge "good challenge: plaintext returned ($1)"; expect_result 1 "$1"; }

case_protocol() {
  HOST_MAC=$(host_mac_of eth0)
  prepare_host "$E2E_DESC"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  local pid
  check "one daemon process left, detached" wait_one_daemon
  pid=$(daemon_pid)
  check "not a session leader, no terminal, fds 0-2 on /dev/null, umask 0" detached "$pid"
  check "log begins with LOG START and is still open" log_framed 0

  sw_check "identity reply: MAC, CID from Key.dat, description" identity \
    --expect-macs "$HOST_MAC" --expect-cid-file "$KEYDAT" --expect-desc "$E2E_DESC"

  good "first"
  challenge "short plaintext (1 byte) returned, zero-padded" --plaintext-len 1
  expect_result 1 "1-byte plaintext"

  # Blocks the card cannot or must not decrypt: 0xFF plaintext and Result 0.
  local n
  for n in 0 97 250 255; do
    good "before n=$n"
    challenge "block length byte $n: answered with 0xFF" --set-n "$n" --expect-fail
    expect_result 0 "n=$n"
  done
  good "before 152 bytes"
  challenge "152-byte plaintext (n=249) does not fit the field: 0xFF" --plaintext-len 152 --expect-fail
  expect_result 0 "n=249"
  good "before another identity"
  sw_check "challenge to another identity: 0xFF" challenge --matrix "$E2E_ISSUER/TARNTEST.pks" \
    --cid "$(head -c 39 /dev/urandom | od -An -v -tx1 | tr -d ' \n')" --expect-fail \
    --expect-desc "$E2E_DESC" --expect-hostname "$HOSTNAME_IN"
  expect_result 0 "another identity"

  # Replay: right after a good challenge, 26 bytes that declare 276/250 must
  # not be answered from the block still in the daemon's buffer.
  good "before the replay frame"
  sw_check "26-byte frame declaring 276/250: no reply" send --type 1 --declared-len 276 \
    --rec-len 250 --expect-no-reply
  barrier "replay frame"
  expect_result 0 "replay"

  # Wrong lengths with a real block: no reply, Result 0.
  local lens
  for lens in 276:249 276:251 275:250 277:250 0:250 276:0; do
    good "before lengths $lens"
    challenge "lengths ${lens/:/\/}: no reply" --declared-len "${lens%%:*}" \
      --rec-len "${lens##*:}" --expect-no-reply
    barrier "lengths $lens"
    expect_result 0 "lengths $lens"
  done

  # Too short to be a request: no reply, Result unchanged.
  good "before short frames"
  sw_check "25-byte frame: no reply" send --type 8 --type-only --expect-no-reply
  sw_check "25-byte challenge: no reply" send --type 1 --type-only --declared-len 276 --expect-no-reply
  sw_check "14-byte frame: no reply" send --raw-hex "${HOST_MAC//:/}020000000001876D" --expect-no-reply
  barrier "short frames"
  expect_result 1 "short frames change nothing"

  # Error reports: all 0x00 (or none) 3, all 0xFF 2, anything else nothing.
  local row data rec want
  for row in "000000::3" ":0:3" "FFFFFFFF::2" "00FF::" "FF00::" "0102::" "0000:10:" "FFFF:200:"; do
    IFS=: read -r data rec want <<<"$row"
    good "before error report '$data' declaring '${rec:-its length}'"
    sw_check "error report '$data': no reply" send --type 7 --data "$data" \
      ${rec:+--rec-len "$rec"} --expect-no-reply
    barrier "error report '$data'"
    expect_result "${want:-1}" "error report '$data' declaring '${rec:-its length}'"
  done

  # Record types the host does not serve, or drops: no reply, Result kept.
  local t
  for t in 0 2 3 4 5 6 9 10 11 255; do
    sw_check "record type $t: no reply" send --type "$t" --data 00 --expect-no-reply
  done
  barrier "unknown and ignored types"
  expect_result 1 "unknown and ignored types"

  # Frames the host must not take: another destination, a wrong marker.
  sw_check "identity request to another MAC: no reply" identity --dst 02:99:99:99:99:99 \
    --expect-no-reply
  sw_check "challenge to another MAC: no reply" challenge --matrix "$E2E_ISSUER/TARNTEST.pks" \
    --cid-file "$KEYDAT" --dst 02:99:99:99:99:99 --expect-no-reply
  sw_check "identity request with a wrong marker: no reply" identity --marker akqwakqx \
    --expect-no-reply
  barrier "frames to others"
  expect_result 1 "frames to others"

  check "the daemon is still the same process" test "$(daemon_pid)" = "$pid"
  check "its log was never closed" log_framed 0
}

e2e_main "$@"
