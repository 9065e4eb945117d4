#!/usr/bin/env bash
# `config stop` (SIGKILL) at random moments of a storm of challenges, 200
# times (50 in the sanitizer build, where each start costs far more): after
# every stop the daemon starts again, the image authenticates and config.ini
# is whole. The moments come from a seeded generator; the seed is printed
# (STORM_SEED=S repeats a run, STORM_COUNT=N sets the number of stops).
source "$(dirname "$0")/lib.sh"

E2E_DESC="Storm Test"

plan() {
  run_case case_stopstorm --if eth0
}

case_stopstorm() {
  HOST_MAC=$(host_mac_of eth0)
  prepare_host "$E2E_DESC"
  local count=200
  grep -qa __asan_init "$DAEMON" && count=50
  count=${STORM_COUNT:-$count}
  local seed=${STORM_SEED:-$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')}
  echo "stop storm: $count stops, seed $seed"
  RANDOM=$seed
  local i bench fails=0 answered=0 delay resent=0
  cp "$CERT" "$E2E_TMP/image.first"
  for ((i = 1; i <= count; i++)); do
    "$MAVO/config" start >"$E2E_TMP/start.out" 2>&1
    # The daemon answers once its socket is open: a challenge sent before
    # that finds no listener, so it is sent again (at most 5 times).
    local try ok_now=0
    for try in 1 2 3 4 5; do
      if sw challenge --matrix "$E2E_ISSUER/TARNTEST.pks" --cid-file "$KEYDAT" --timeout-ms 1000 \
           --expect-desc "$E2E_DESC" --expect-hostname "$HOSTNAME_IN" >"$E2E_TMP/sw.out" 2>&1; then
        ok_now=1; resent=$((resent + try - 1)); break
      fi
      grep -q "MISMATCH: no reply" "$E2E_TMP/sw.out" || break
    done
    if [ $ok_now = 1 ]; then
      answered=$((answered + 1))
    else
      not_ok "after $((i - 1)) stops the image no longer authenticates"
      sed 's/^/  | /' "$E2E_TMP/sw.out" | tail -n 5; fails=$((fails + 1)); break
    fi
    sw bench --matrix "$E2E_ISSUER/TARNTEST.pks" --cid-file "$KEYDAT" --count 100000 \
      --distinct 8 --timeout-ms 200 >"$E2E_TMP/bench.out" 2>&1 &
    bench=$!
    delay=$((RANDOM % 250))
    sleep "$(printf '0.%03d' "$delay")"
    "$MAVO/config" stop >"$E2E_TMP/stop.out" 2>&1
    kill "$bench" 2>/dev/null
    wait "$bench" 2>/dev/null
    for _ in $(seq 100); do [ -z "$(daemon_pids)" ] && break; sleep 0.02; done
    if [ -n "$(daemon_pids)" ]; then
      not_ok "stop $i: the daemon is still running"; fails=$((fails + 1)); break
    fi
  done
  echo "stop storm: $answered challenges answered after a stop, $resent sent again before the daemon listened"
  expect_eq "$count stops at random moments of a challenge storm: the image authenticated after each" \
    "$answered/$fails" "$count/0"
  "$MAVO/config" start >"$E2E_TMP/start.out" 2>&1
  check "the daemon starts once more" wait_one_daemon
  challenge "a challenge after the last stop"
  expect_result 1 "after the storm"
  check "the image's PINs were never blocked: the card answers after the storm" \
    sw challenge --matrix "$E2E_ISSUER/TARNTEST.pks" --cid-file "$KEYDAT" \
    --expect-desc "$E2E_DESC" --expect-hostname "$HOSTNAME_IN"
}

e2e_main "$@"
