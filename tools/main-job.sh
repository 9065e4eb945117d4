#!/usr/bin/env bash
# The main job, end to end on one machine, in a sandbox that leaves nothing
# behind, driven through config as an operator would: config info -> config
# start (Tarnhold makes the machine identifier) -> image builder makes the
# host's image -> config path installs it -> config start -> the simulated
# switch authenticates the host -> config result -> config stop.
#
#   tools/main-job.sh BUILD_DIR        (run.sh calls it after building)
#
# Runs as root, or as a normal user through a user namespace where the kernel
# allows one. Exit status 0 when the host was authenticated.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  build=$(readlink -f "${1:?usage: tools/main-job.sh BUILD_DIR}")
  for p in Tarnhold/Tarnhold config/config tools/switchsim/tarn-switch tools/imgbuild/tarn-imgbuild tools/sandbox/tarn-init; do
    [ -x "$build/$p" ] || { echo "main job: $build/$p is not built"; exit 1; }
  done
  if ! why=$("$src/tools/sandbox/tarn-sandbox" --check); then
    echo "main job: cannot run here: $why"
    echo "main job: run it as root, or on a kernel that allows unprivileged user namespaces."
    exit 1
  fi
  work=$(mktemp -d /tmp/tarn-demo.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  echo "== Main job in a sandbox (private namespaces; /usr/local is a tmpfs; work folder $work)"
  DEMO_WORK=$work "$src/tools/sandbox/tarn-sandbox" --build "$build" --hostname demo-host \
    --if eth0 -- bash "$src/tools/main-job.sh" --inside
  rc=$?
  echo "== Sandbox closed; $work removed."
  exit $rc
fi

# ---- inside the sandbox
B=$TARN_BUILD
W=$DEMO_WORK
MAVO=/usr/local/MavoClient
step() { echo; echo "-- $*"; }
fail() { echo "MAIN JOB FAILED: $*"; exit 1; }

step "1. Install the programs: cmake --install (into the sandbox's /usr/local)"
# cmake --install also writes its manifest into the build folder: an overlay
# keeps that write in the work folder.
mkdir -p "$W/overlay/upper" "$W/overlay/work"
mount -n -t overlay tarn-build -o "lowerdir=$B,upperdir=$W/overlay/upper,workdir=$W/overlay/work" "$B" ||
  fail "overlay on the build folder"
cmake --install "$B" >"$W/install.log" 2>&1 || { cat "$W/install.log"; fail "install"; }
ls -l "$MAVO"

cfg() { printf '$ config'; printf ' %q' "$@"; echo; "$MAVO/config" "$@"; }

step "2. Nothing is set up yet: the operator asks for the identity and the result"
cfg show
cfg result

step "3. Record the user (config info NAME DETAIL)"
cfg info "Demo User" "Lab 3"
grep '^info' "$MAVO/config.ini"

step "4. First start: Tarnhold makes the machine identifier (Key.dat), then asks for an image"
cfg start
[ -s "$MAVO/Key.dat" ] || fail "no Key.dat"
cfg show
cid=$(od -An -v -tx1 "$MAVO/Key.dat" | tr -d ' \n')

step "5. Image builder: an issuer with its public matrix, the host's image for that identity, and a decoy for another"
mkdir -p "$W/images/old"
"$B/tools/imgbuild/tarn-imgbuild" issuer --out "$W/issuer.vkd" --pks-dir "$W" || fail "issuer image"
"$B/tools/imgbuild/tarn-imgbuild" host --out "$W/images/host.vkd" --identity-file "$MAVO/Key.dat" \
  --issuer "$W/issuer.vkd" || fail "host image"
"$B/tools/imgbuild/tarn-imgbuild" host --out "$W/images/old/decoy.vkd" --identity-hex "${cid:0:76}00" \
  --issuer "$W/issuer.vkd" >/dev/null || fail "decoy image"
find "$W/images" -name '*.vkd'

step "6. config path: the image whose identity is this machine's is installed"
cfg path "$W/images"
ls -l /usr/local/cert
cfg analyze
cfg result

step "7. config start: Tarnhold detaches and listens on eth0"
cfg start
sleep 0.2
ps -o pid,ppid,sid,tty,args -C Tarnhold

mac=$(cat /sys/class/net/eth0/address)
swi() {
  ip netns exec "$TARN_SWITCH_NS" "$B/tools/switchsim/tarn-switch" --if sw0 --host-mac "$mac" "$@"
}

step "8. The switch (network namespace $TARN_SWITCH_NS, interface sw0) asks for the host's identity"
swi identity --expect-macs "$mac" --expect-cid-file "$MAVO/Key.dat" \
  --expect-desc "Demo User(Lab 3)" || fail "identity reply"

step "9. The switch sends an SM2 challenge encrypted to that identity"
swi challenge --matrix "$W/TARNTEST.pks" --cid-file "$MAVO/Key.dat" \
  --expect-desc "Demo User(Lab 3)" || fail "challenge"

step "10. The outcome, as the operator reads it"
out=$(cfg result)
echo "$out"
echo "Log /usr/local/zel_mavo_log (last lines):"
tail -n 4 /usr/local/zel_mavo_log
grep -q '^Result=1$' "$MAVO/config.ini" || fail "Result is not 1"

step "11. config stop"
cfg stop
sleep 0.2
if pgrep -x Tarnhold >/dev/null; then fail "Tarnhold still runs after config stop"; fi
echo "no Tarnhold process left"
echo
echo "MAIN JOB OK: the switch authenticated the host (Result=1), all through config."
