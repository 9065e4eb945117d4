#!/usr/bin/env bash
# The main job, end to end on one machine, in a sandbox that leaves nothing
# behind: image builder -> machine identifier (Key.dat) -> host image
# installed at /usr/local/cert/private.vkd -> config.ini with a recorded user
# -> Tarnhold started -> the simulated switch authenticates the host.
#
#   tools/main-job.sh BUILD_DIR        (run.sh calls it after building)
#
# Runs as root, or as a normal user through a user namespace where the kernel
# allows one. Exit status 0 when the host was authenticated.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  build=$(readlink -f "${1:?usage: tools/main-job.sh BUILD_DIR}")
  for p in Tarnhold/Tarnhold tools/switchsim/tarn-switch tools/imgbuild/tarn-imgbuild tools/sandbox/tarn-init; do
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

step "2. Record the user in config.ini"
sed -i 's/^info=.*/info=Demo User, Lab 3/' "$MAVO/config.ini"
cat "$MAVO/config.ini"

step "3. First start of Tarnhold: it makes the machine identifier, then asks for an image"
"$MAVO/Tarnhold"
echo "(exit status $?)"
[ -s "$MAVO/Key.dat" ] || fail "no Key.dat"
cid=$(od -An -v -tx1 "$MAVO/Key.dat" | tr -d ' \n')
echo "Key.dat (the host's identity): $cid"

step "4. Image builder: an issuer with its public matrix, and the host's image for that identity"
"$B/tools/imgbuild/tarn-imgbuild" issuer --out "$W/issuer.vkd" --pks-dir "$W" || fail "issuer image"
"$B/tools/imgbuild/tarn-imgbuild" host --out "$W/host.vkd" --identity-file "$MAVO/Key.dat" \
  --issuer "$W/issuer.vkd" || fail "host image"
mkdir -p /usr/local/cert
cp "$W/host.vkd" /usr/local/cert/private.vkd
ls -l /usr/local/cert

step "5. Start Tarnhold: it detaches and listens on eth0"
"$MAVO/Tarnhold" || fail "Tarnhold did not start"
sleep 0.2
ps -o pid,ppid,sid,tty,args -C Tarnhold

mac=$(cat /sys/class/net/eth0/address)
swi() {
  ip netns exec "$TARN_SWITCH_NS" "$B/tools/switchsim/tarn-switch" --if sw0 --host-mac "$mac" "$@"
}

step "6. The switch (network namespace $TARN_SWITCH_NS, interface sw0) asks for the host's identity"
swi identity --expect-macs "$mac" --expect-cid-file "$MAVO/Key.dat" \
  --expect-desc "Demo User, Lab 3" || fail "identity reply"

step "7. The switch sends an SM2 challenge encrypted to that identity"
swi challenge --matrix "$W/TARNTEST.pks" --cid-file "$MAVO/Key.dat" \
  --expect-desc "Demo User, Lab 3" || fail "challenge"

step "8. Outcome recorded by the daemon"
grep '^Result' "$MAVO/config.ini"
echo "Log /usr/local/zel_mavo_log (last lines):"
tail -n 4 /usr/local/zel_mavo_log
grep -q '^Result=1$' "$MAVO/config.ini" || fail "Result is not 1"
echo
echo "MAIN JOB OK: the switch authenticated the host (Result=1)."
