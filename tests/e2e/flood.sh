#!/usr/bin/env bash
# Load: a flood of random and malformed frames at the running daemon over the
# veth pair, mixed with valid challenges. Every valid challenge is answered
# with its plaintext, the daemon's resident memory stays flat and the daemon
# is the same process at the end. The frames come from a seeded generator;
# the seed is printed (FLOOD_SEED=S repeats a run, FLOOD_COUNT=N sets the
# number of frames).
source "$(dirname "$0")/lib.sh"

E2E_DESC="Flood Test"

plan() {
  run_case case_flood --if eth0
}

case_flood() {
  HOST_MAC=$(host_mac_of eth0)
  prepare_host "$E2E_DESC"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  check "one daemon process left, detached" wait_one_daemon
  local pid
  pid=$(daemon_pid)
  challenge "a challenge before the flood"
  local seed=${FLOOD_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
  echo "flood seed $seed"
  # Growth allowed after the warm-up: far below what a leak of a few bytes
  # per frame would give over 100,000 frames. The sanitizer build holds
  # freed memory back in its quarantine (up to 256 MiB), so there the
  # figures are only shown.
  local growth=256
  grep -qa __asan_init "$DAEMON" && growth=-1
  sw_check "flood of ${FLOOD_COUNT:-100000} frames: every valid challenge answered, VmRSS flat" \
    flood --matrix "$E2E_ISSUER/TARNTEST.pks" --cid-file "$KEYDAT" --count "${FLOOD_COUNT:-100000}" \
    --every 500 --seed "$seed" --rss-pid "$pid" --max-rss-growth-kb $growth --timeout-ms 2000
  grep '^flood:\|VmRSS' "$E2E_TMP/sw.out"
  check "the daemon is still the same process" test "$(daemon_pid)" = "$pid"
  challenge "a challenge after the flood"
  expect_result 1 "after the flood"
}

e2e_main "$@"
