#!/usr/bin/env bash
# Round trip of an SM2 challenge: the simulated switch's N challenges against
# the running daemon in a sandbox, beside a bare kmx_decryption and a bare
# SM2_Decrypt measured in the same run. Prints the median and 99th-percentile
# round trip, challenges per second, the ratio round trip / SM2_Decrypt and
# the daemon's VmRSS after the warm-up and at the end.
#
#   tools/bench-roundtrip.sh BUILD_DIR [N]     (N defaults to 2000)
#
# Two runs: config.ini (and the rest of /usr/local/MavoClient) on the
# sandbox's tmpfs, then on a disk file system (a folder under /var/tmp,
# bind-mounted there and removed afterwards). Not part of the test command.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  build=$(readlink -f "${1:?usage: tools/bench-roundtrip.sh BUILD_DIR [N]}")
  count=${2:-2000}
  why=$("$src/tools/sandbox/tarn-sandbox" --check) || { echo "bench: $why"; exit 1; }
  work=$(mktemp -d /tmp/tarn-bench.XXXXXX)
  disk=$(mktemp -d /var/tmp/tarn-bench.XXXXXX)
  trap 'rm -rf "$work" "$disk"' EXIT
  chmod 755 "$work" "$disk"
  "$build/tools/imgbuild/tarn-imgbuild" issuer --out "$work/issuer.vkd" --pks-dir "$work" >/dev/null ||
    { echo "bench: no issuer image"; exit 1; }
  rc=0
  echo "== config.ini on tmpfs, $count challenges"
  BENCH_WORK=$work BENCH_COUNT=$count "$src/tools/sandbox/tarn-sandbox" --build "$build" \
    --install --if eth0 -- bash "$0" --inside || rc=1
  echo "== config.ini on $(df --output=fstype "$disk" | tail -n 1) ($disk), $count challenges"
  BENCH_WORK=$work BENCH_COUNT=$count "$src/tools/sandbox/tarn-sandbox" --build "$build" \
    --mavo-dir "$disk" --install --if eth0 -- bash "$0" --inside || rc=1
  exit $rc
fi

B=$TARN_BUILD
W=$BENCH_WORK
M=/usr/local/MavoClient
cp "$src/cmake/config.ini.default" "$M/config.ini" ||
  printf 'Version=1.0\nLogLevel=1\nMaxRowNum=10000\ninfo=0\nResult=0\n' >"$M/config.ini"
sed -i 's/^info=.*/info=bench user/' "$M/config.ini"
rm -f "$M/Key.dat"
"$M/Tarnhold" >/dev/null
"$B/tools/imgbuild/tarn-imgbuild" host --out "$W/host-$$.vkd" --identity-file "$M/Key.dat" \
  --issuer "$W/issuer.vkd" >/dev/null || exit 1
mkdir -p /usr/local/cert
cp "$W/host-$$.vkd" /usr/local/cert/private.vkd
cp "$W/host-$$.vkd" "$W/baseline-$$.vkd"
"$M/Tarnhold" >/dev/null || exit 1
pid=
for _ in $(seq 100); do
  pid=$(ps -o pid= -o sid= -C Tarnhold | awk '$1 != $2 {print $1}' | head -n 1)
  [ -n "$pid" ] && break
  sleep 0.05
done
distinct=$BENCH_COUNT; [ "$distinct" -gt 1000 ] && distinct=1000
ip netns exec "$TARN_SWITCH_NS" "$B/tools/switchsim/tarn-switch" --if sw0 \
  --host-mac "$(cat /sys/class/net/eth0/address)" bench --matrix "$W/TARNTEST.pks" \
  --cid-file "$M/Key.dat" --count "$BENCH_COUNT" --distinct "$distinct" --rss-pid "$pid" \
  --baseline-image "$W/baseline-$$.vkd" --baseline-count 1000 | grep -v '^OK$'
grep '^Result' "$M/config.ini"
