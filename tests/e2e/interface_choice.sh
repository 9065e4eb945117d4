#!/usr/bin/env bash
# Which interface the daemon answers on, with the real kernel: two
# interfaces sharing one MAC, an interface removed after start-up, and an
# interface that is a port of a bridge.
source "$(dirname "$0")/lib.sh"

E2E_DESC="Operator Three, hall 2"

plan() {
  run_case case_shared_mac --if eth0=02:00:00:00:00:a0 --if eth1=02:00:00:00:00:a0
  run_case case_interface_removed --if eth0=02:00:00:00:00:a0 --if eth1=02:00:00:00:00:b1
  run_case case_bridge_port --if eth0=02:00:00:00:00:a0
}

# sw_on LINK ARGS: the simulated switch on the switch side of another link.
sw_on() {
  local link=$1; shift
  ip netns exec "$TARN_SWITCH_NS" "$TARN_BUILD/tools/switchsim/tarn-switch" --if "$link" \
    --host-mac "$HOST_MAC" "$@"
}

# eth0 and eth1 carry the same MAC; eth0 comes first in name order, so it is
# the interface that MAC names. A frame to it that comes over eth1's link
# arrived elsewhere and chooses nothing: the switch on eth0 is answered.
case_shared_mac() {
  HOST_MAC=02:00:00:00:00:a0
  prepare_host "$E2E_DESC"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  check "one daemon process left, detached" wait_one_daemon
  check "a frame over eth1's link to the shared MAC: no reply" sw_on sw1 identity --expect-no-reply
  sw_check "the switch on eth0 gets its identity reply" identity \
    --expect-macs 02:00:00:00:00:a0,02:00:00:00:00:a0 --expect-cid-file "$KEYDAT" \
    --expect-desc "$E2E_DESC"
  challenge "the switch on eth0 gets its challenge answered"
  expect_result 1
  expect_in "eth0 was chosen" "$LOGFILE" "Index for interface eth0 is"
  check "eth1 was never chosen" sh -c "! grep -q 'Index for interface eth1' '$LOGFILE'"
  check "later frames over eth1's link: no reply" sw_on sw1 identity --expect-no-reply
  barrier "the frames over eth1's link"
}

# eth1 is removed after start-up; a frame over eth0's link to eth1's MAC
# finds no index for eth1. It chooses nothing, and the daemon goes on.
case_interface_removed() {
  HOST_MAC=02:00:00:00:00:a0
  prepare_host "$E2E_DESC"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  check "one daemon process left, detached" wait_one_daemon
  PID=$(daemon_pid)
  check "eth1 removed" ip link del eth1
  sw_check "a frame to the removed interface's MAC: no reply" identity --dst 02:00:00:00:00:b1 \
    --expect-no-reply
  barrier "the frame to the removed interface's MAC"
  still_running "after the frame to the removed interface's MAC"
  challenge "the switch on eth0 gets its challenge answered"
  expect_result 1
  expect_in "the missing index is logged" "$LOGFILE" "if_nametoindex() failed to obtain interface index! "
  expect_in "eth0 was chosen" "$LOGFILE" "Index for interface eth0 is"
  check "the log is not closed" log_framed 0
}

# bridge_port_forwarding DEV: the bridge forwards DEV's frames (waits up to
# 5 s for the port to reach the forwarding state, 3).
bridge_port_forwarding() {
  for _ in $(seq 100); do
    [ "$(cat "/sys/class/net/$1/brport/state" 2>/dev/null)" = 3 ] && return 0
    sleep 0.05
  done
  cat "/sys/class/net/$1/brport/state"
  return 1
}

# make_bridge BR MAC: a bridge with a MAC of its own, eth0 one of its ports.
make_bridge() {
  ip link add "$1" address "$2" type bridge forward_delay 0 &&
    ip link set eth0 master "$1" && ip link set "$1" up && bridge_port_forwarding eth0
}

# eth0 is a port of br0, which has a MAC of its own: the switch's frames to
# eth0's MAC arrive under br0's index and are served. The port leaves the
# bridge and joins another while the daemon runs: still served.
case_bridge_port() {
  HOST_MAC=02:00:00:00:00:a0
  check "eth0 a port of the bridge br0" make_bridge br0 02:00:00:00:00:c0
  prepare_host "$E2E_DESC"
  start_daemon
  expect_eq "daemon started: status 0" "$RC" 0
  check "one daemon process left, detached" wait_one_daemon
  sw_check "identity request to eth0's MAC through the bridge answered" identity \
    --expect-macs 02:00:00:00:00:c0,02:00:00:00:00:a0 --expect-cid-file "$KEYDAT" \
    --expect-desc "$E2E_DESC"
  challenge "challenge to eth0's MAC through the bridge answered"
  expect_result 1
  expect_in "eth0 was chosen" "$LOGFILE" "Index for interface eth0 is"
  check "eth0 leaves the bridge" ip link set eth0 nomaster
  challenge "challenge answered on eth0 outside the bridge"
  check "eth0 a port of a new bridge br1" make_bridge br1 02:00:00:00:00:c1
  challenge "challenge answered through the new bridge"
}

e2e_main "$@"
