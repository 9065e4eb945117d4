#!/usr/bin/env bash
# The whole road of an authentication with the daemon and the tool under
# valgrind memcheck: first start, image installation, identity and challenges
# good and bad, error reports, the tool's commands. No invalid access, no use
# of uninitialised memory, and for every process that ends by itself no leak
# (definite or indirect); the daemon, which never ends by itself, is ended
# by SIGTERM, after which valgrind still checks it for leaks.
# No suppressions: nothing reported here comes from outside the system's own
# code. In the sanitizer build this test only says so (valgrind cannot run a
# program built with AddressSanitizer, which checks the same road there).
source "$(dirname "$0")/lib.sh"

E2E_DESC="Memcheck Test"

plan() {
  run_case case_memcheck --if eth0
}

VG_OUT=
vg() {
  valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --show-leak-kinds=definite,indirect --track-origins=yes --num-callers=30 \
    --log-file="$VG_OUT/vg.%p" "$@"
}

vg_pids() {   # processes running the daemon under valgrind
  local p
  for p in /proc/[0-9]*; do
    case $(readlink "$p/exe" 2>/dev/null) in *valgrind*|*memcheck*) ;; *) continue ;; esac
    tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -q " $DAEMON *$" && echo "${p#/proc/}"
  done
  return 0
}

vg_clean() {   # every valgrind report: no error of any kind
  local f bad=0
  for f in "$VG_OUT"/vg.*; do
    if ! grep -q 'ERROR SUMMARY: 0 errors' "$f"; then
      echo "$f:"; grep -v '^==[0-9]*== *$' "$f" | head -n 80; bad=1
    fi
  done
  ls "$VG_OUT" | grep -q . && [ $bad = 0 ]
}

case_memcheck() {
  if grep -qa __asan_init "$DAEMON"; then
    ok "sanitizer build: the road runs under AddressSanitizer in the other e2e tests, not valgrind"
    return
  fi
  check "valgrind is installed" command -v valgrind
  VG_OUT=$E2E_TMP/vg
  mkdir -p "$VG_OUT"
  HOST_MAC=$(host_mac_of eth0)
  ini_write "$E2E_DESC"
  start_daemon vg
  expect_eq "first start under valgrind: status 0" "$RC" 0
  check "Key.dat made" test -s "$KEYDAT"
  check "host image built" install_host_image
  ( cd "$E2E_TMP" && vg "$DAEMON" >"$E2E_TMP/console" 2>&1 )
  local pid=
  for _ in $(seq 200); do pid=$(vg_pids | tail -n 1); [ -n "$pid" ] && break; sleep 0.05; done
  check "the daemon runs under valgrind" test -n "$pid"
  echo "$(date +%T) daemon $pid under valgrind"
  local try
  for try in $(seq 60); do
    sw identity --timeout-ms 1000 >"$E2E_TMP/sw.out" 2>&1 && break
  done
  sw_check "identity reply" identity --expect-cid-file "$KEYDAT" --expect-desc "$E2E_DESC" --timeout-ms 20000
  challenge "good challenge" --timeout-ms 20000
  challenge "short plaintext" --plaintext-len 1 --timeout-ms 20000
  challenge "block length byte 250: 0xFF" --set-n 250 --expect-fail --timeout-ms 20000
  challenge "block length byte 0: 0xFF" --set-n 0 --expect-fail --timeout-ms 20000
  sw_check "wrong lengths: no reply" send --type 1 --declared-len 276 --rec-len 250 --expect-no-reply
  sw_check "error report: no reply" send --type 7 --data 000000 --expect-no-reply
  sw_check "short frame: no reply" send --type 1 --type-only --declared-len 276 --expect-no-reply
  challenge "good challenge after the bad ones" --timeout-ms 20000
  expect_result 1 "under valgrind"

  # The tool's commands.
  local C=$MAVO/config
  echo "$(date +%T) the tool's commands"
  vg "$C" show >"$E2E_TMP/t.out" 2>&1
  vg "$C" result >>"$E2E_TMP/t.out" 2>&1
  vg "$C" analyze >>"$E2E_TMP/t.out" 2>&1
  vg "$C" info "Someone Else" >>"$E2E_TMP/t.out" 2>&1
  vg "$C" import "$E2E_TMP/host.vkd" >>"$E2E_TMP/t.out" 2>&1
  mkdir -p "$E2E_TMP/src" && cp "$E2E_TMP/host.vkd" "$E2E_TMP/src/"
  vg "$C" path "$E2E_TMP/src" >>"$E2E_TMP/t.out" 2>&1
  vg "$C" import /nonexistent.vkd >>"$E2E_TMP/t.out" 2>&1
  vg "$C" bogus >>"$E2E_TMP/t.out" 2>&1
  check "the installed image is the one built" cmp "$CERT" "$E2E_TMP/host.vkd"

  # SIGTERM ends the daemon by its default action; valgrind still makes
  # its final report, leak check included.
  [ -n "$pid" ] && kill -TERM "$pid"
  for _ in $(seq 100); do [ -z "$(vg_pids)" ] && break; sleep 0.05; done
  echo "valgrind reports: $(ls "$VG_OUT" | wc -l)"
  check "valgrind: no invalid access, no uninitialised value, no leak" vg_clean
}

e2e_main "$@"
