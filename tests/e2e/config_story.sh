#!/usr/bin/env bash
# The operator's story with the real tool and daemon at their fixed paths,
# inside a private sandbox (tools/sandbox/tarn-sandbox), so nothing of the
# real system is touched and killall sees only the sandbox's processes.
#
#   tests/e2e/config_story.sh BUILD_DIR
#
# Exit status 0 when every check held, 1 otherwise, 77 when no sandbox can
# be made on this machine.
set -u

HOST_MAC=02:00:00:00:00:01
if [ "${TARN_SANDBOX:-}" != 1 ]; then
  build=${1:?usage: config_story.sh BUILD_DIR}
  here=$(dirname "$(readlink -f "$0")")
  sandbox=$here/../../tools/sandbox/tarn-sandbox
  "$sandbox" --check || exit 77
  exec "$sandbox" --build "$build" --install --if "eth0=$HOST_MAC" -- bash "$(readlink -f "$0")"
fi

# Inside. No descriptor but the standard three reaches the daemon.
for fd in /proc/$$/fd/*; do
  n=${fd##*/}
  [ "$n" -gt 2 ] 2>/dev/null && eval "exec $n>&-"
done

B=$TARN_BUILD
MAVO=/usr/local/MavoClient
C=$MAVO/config
INI=$MAVO/config.ini
KEY=$MAVO/Key.dat
IMG=/usr/local/cert/private.vkd
W=/usr/local/e2e
mkdir -p "$W" "$W/pks"
cd "$W" || exit 1
IMGBUILD=$B/tools/imgbuild/tarn-imgbuild
SWITCH() { ip netns exec "$TARN_SWITCH_NS" "$B/tools/switchsim/tarn-switch" --if sw0 --host-mac "$HOST_MAC" "$@"; }

failed=0
check() { # name want got
  if [ "$2" == "$3" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1"
    printf '  want: %q\n  got:  %q\n' "$2" "$3"
    failed=1
  fi
}
# What the tool printed (standard output and error), then its exit status.
cfg() { timeout 60 "$C" "$@" 2>&1; echo "rc=$?"; }

# Processes named Tarnhold that are neither zombies nor session leaders.
daemons() {
  local n=0 f st pid comm
  for f in /proc/[0-9]*/stat; do
    st=$(cat "$f" 2>/dev/null) || continue
    pid=${st%% *}
    comm=${st#*(}
    comm=${comm%)*}
    set -- ${st##*) }   # state ppid pgrp session tty ...
    if [ "$comm" = Tarnhold ] && [ "$1" != Z ] && [ "$4" != "$pid" ]; then
      n=$((n + 1))
    fi
  done
  echo "$n"
}
# Polls briefly for the count to settle at want; prints the count.
wait_daemons() {
  local i
  for i in $(seq 100); do
    [ "$(daemons)" = "$1" ] && break
    sleep 0.05
  done
  daemons
}
# The daemon has its own session and no terminal.
detached() {
  local f st pid comm mysid
  mysid=$(awk '{print $6}' /proc/$$/stat)
  for f in /proc/[0-9]*/stat; do
    st=$(cat "$f" 2>/dev/null) || continue
    comm=${st#*(}
    comm=${comm%)*}
    [ "$comm" = Tarnhold ] || continue
    set -- ${st##*) }
    [ "$1" != Z ] && [ "$4" != "$mysid" ] && [ "$5" = 0 ] && { echo yes; return; }
  done
  echo no
}
result_is() { # polls for the text of "config result"
  local i out
  for i in $(seq 100); do
    out=$(cfg result)
    [ "$out" = "$1"$'\nrc=0' ] && break
    sleep 0.05
  done
  echo "$out"
}
sum() { sha256sum "$@" 2>/dev/null | awk '{print $1}' | tr '\n' ' '; }

# ---------------------------------------------------------------- nothing yet
check "show before anything" $'还未获取该机器的唯一标识。\nrc=0' "$(cfg show)"
check "result without config.ini" $'认证失败！\nrc=0' "$(cfg result)"
check "analyze without image" $'不存在证书，请导入证书！\nrc=0' "$(cfg analyze)"
check "no arguments" $'请输入正确命令！ \nrc=0' "$(cfg)"
check "unknown word" 'rc=0' "$(cfg frobnicate)"
check "no config.ini made" "absent" "$([ -e "$INI" ] && echo present || echo absent)"

printf 'Version=1.0\nLogLevel=1\nMaxRowNum=10000\ninfo=0\nResult=0\n' >"$INI"

# --------------------------------------------- start while no user is known
out=$(cfg start)
check "start with info 0: the daemon's message on the console" yes \
  "$(grep -q '请填写使用者信息！' <<<"$out" && echo yes || echo no)"
check "start with info 0: no daemon left" 0 "$(wait_daemons 0)"
check "the daemon made the machine identifier" 39 "$(stat -c %s "$KEY" 2>/dev/null)"
cid_hex=$(od -An -v -tx1 "$KEY" | tr -d ' \n' | tr a-f A-F)
check "show" "该机器的唯一标识是：TYPE=SM2-KMX,CID=$cid_hex。"$'\n,rc=0' "$(cfg show)"

# -------------------------------------------------------------------- info
long=$(printf '%.0s张' $(seq 40))
check "over-long info refused" $'请输入正确命令！ \nrc=0' "$(cfg info "$long" 研发部)"
check "over-long info records nothing" "info=0" "$(grep '^info=' "$INI")"
check "info one argument" $'请输入正确命令！ \nrc=0' "$(cfg info Alice)"
check "info" 'rc=0' "$(cfg info Alice Sales)"
check "info recorded" "info=Alice(Sales)" "$(grep '^info=' "$INI")"
check "second info" $'当前已有使用者信息：Alice(Sales)。\n,rc=0' "$(cfg info Bob IT)"
check "second info changes nothing" "info=Alice(Sales)" "$(grep '^info=' "$INI")"

# ------------------------------------------------------------------ images
"$IMGBUILD" host --out "$W/host.img" --identity-file "$KEY" --route soft --pks-dir "$W/pks" >/dev/null ||
  { echo "FAIL cannot build the host image"; exit 1; }
"$IMGBUILD" host --out "$W/decoy.img" --secret "$W/pks/TARNSOFT.secret" \
  --identity-hex "$(printf '01%076X' 7)" --route soft >/dev/null ||
  { echo "FAIL cannot build the decoy image"; exit 1; }
"$IMGBUILD" blank --out "$W/blank.img" >/dev/null || { echo "FAIL cannot build a blank image"; exit 1; }

cp "$W/host.img" "$W/a.txt"
check "import a.txt" $'证书类型暂不支持！\nrc=0' "$(cfg import "$W/a.txt")"
check "image folder made, not writable by others" 755 "$(stat -c %a /usr/local/cert)"
check "import a.txt installs nothing" absent "$([ -e "$IMG" ] && echo present || echo absent)"

mkdir -p "$W/with blank"
cp "$W/host.img" "$W/with blank/my key.vkd"
sed -i 's/^Result=.*/Result=1/' "$INI"
check "import of a path with a blank" 'rc=0' "$(cfg import "$W/with blank/my key.vkd")"
check "installed bytes" "$(sum "$W/host.img")" "$(sum "$IMG")"
check "installed mode and owner" "600 root" "$(stat -c '%a %U' "$IMG")"
check "Result 11 after an installation" $'等待认证！\nrc=0' "$(cfg result)"

mkdir -p "$W/meta"
for name in '$(touch pwned).vkd' '`touch pwned`.vkd' 'a";touch pwned;".vkd' 'x;touch pwned;.vkd' \
  '-rf.vkd' 'a&&touch pwned||.vkd'; do
  cp "$W/decoy.img" "$W/meta/$name"
  out=$(cd "$W/meta" && cfg import "$name")
  check "import of '$name'" 'rc=0' "$out"
  check "installed '$name'" "$(sum "$W/decoy.img")" "$(sum "$IMG")"
done
check "nothing ran" "" "$(ls "$W/meta" / "$W" "$MAVO" | grep -x pwned)"

mkfifo "$W/x.vkd"
mkdir "$W/d.vkd"
cp "$W/host.img" "$W/host.vkd"
cfg import "$W/host.vkd" >/dev/null
sed -i 's/^Result=.*/Result=2/' "$INI"
check "import of a FIFO refused at once" $'证书路径错误！ \nrc=0' "$(cfg import "$W/x.vkd")"
check "import of a folder refused" $'证书路径错误！ \nrc=0' "$(cfg import "$W/d.vkd")"
check "refusals keep Result" $'密钥错误！\nrc=0' "$(cfg result)"
check "refusals keep the image" "$(sum "$W/host.img")" "$(sum "$IMG")"
check "import of the installed image onto itself" 'rc=0' "$(cfg import "$IMG")"
check "onto itself: intact" "$(sum "$W/host.img")" "$(sum "$IMG")"

# -------------------------------------------------------------------- path
T=$W/tree
mkdir -p "$T/sub" "$T/locked"
cp "$W/host.img" "$T/sub/host.vkd"
cp "$W/decoy.img" "$T/decoy.vkd"
cp "$W/decoy.img" "$T/x.vkd.bak"
cp "$W/decoy.img" "$T/locked/other.vkd"
head -c 65536 /dev/zero >"$T/junk.vkd"
mkfifo "$T/x.vkd"
ln -s decoy.vkd "$T/link.vkd"
chmod 000 "$T/locked"
# The image that path adopts differs in bytes 1 and 2 from Key.dat.
cp "$KEY" "$W/Key.dat.orig"
printf '\x99\x98' | dd of="$KEY" bs=1 seek=1 conv=notrunc 2>/dev/null
before=$(cd "$T" && sum sub/host.vkd decoy.vkd x.vkd.bak junk.vkd locked/other.vkd)
modes_before=$(stat -c '%n %a %s %Y' "$T"/* "$T"/sub/* | sort)
rm -f "$IMG"
out=$(cfg path "$T")
check "path adopts the host image" 'rc=0' "$(grep -v "can't open dir." <<<"$out")"
check "path installed the host image" "$(sum "$W/host.img")" "$(sum "$IMG")"
check "path: Key.dat holds the image's identity" "$(sum "$W/Key.dat.orig")" "$(sum "$KEY")"
check "path: no candidate modified" "$before" "$(cd "$T" && sum sub/host.vkd decoy.vkd x.vkd.bak junk.vkd locked/other.vkd)"
check "path: no candidate touched" "$modes_before" "$(stat -c '%n %a %s %Y' "$T"/* "$T"/sub/* | sort)"
check "path: image mode" 600 "$(stat -c %a "$IMG")"
check "path: Result 11" $'等待认证！\nrc=0' "$(cfg result)"
chmod 755 "$T/locked"

# path with a full /tmp: this run gets a tmpfs of 32 KiB as /tmp, in a mount
# namespace of its own. No candidate can be copied there for its probe;
# that is said on standard error with status 1, not as "no match", and the
# installed image, Key.dat and "Result" stay as they are.
sed -i 's/^Result=.*/Result=1/' "$INI"
before=$(sum "$IMG" "$KEY" "$INI")
out=$(unshare --mount sh -c 'mount -n -t tmpfs -o size=32k tarn-full /tmp && exec "$0" path "$1"' \
  "$C" "$T" 2>"$W/path.err"; echo "rc=$?")
check "path with a full /tmp: status 1, nothing on standard output" 'rc=1' "$out"
check "path with a full /tmp: the host's image named on standard error" yes \
  "$(grep -qxF "无法复制候选证书 $T/sub/host.vkd：No space left on device！" "$W/path.err" && echo yes || echo no)"
check "path with a full /tmp: image, Key.dat and config.ini unchanged" "$before" "$(sum "$IMG" "$KEY" "$INI")"

# ----------------------------------------------------------------- analyze
id_hex=$(od -An -v -tx1 "$KEY" | tr -d ' \n' | tr a-f A-F)
check "analyze good image" "当前证书公钥：$id_hex，该机器的唯一标识是：$id_hex。"$'\nrc=0' "$(cfg analyze)"
cp "$W/blank.img" "$W/blank.vkd"
cfg import "$W/blank.vkd" >/dev/null
check "analyze image without identity" "当前证书公钥：，该机器的唯一标识是：$id_hex。"$'\nrc=0' "$(cfg analyze)"
cfg import "$W/host.vkd" >/dev/null

# ------------------------------------------------------- start, challenges
sed -i 's/^Result=.*/Result=11/' "$INI"
cfg start >/dev/null
check "start: exactly one daemon" 1 "$(wait_daemons 1)"
check "start: detached" yes "$(detached)"
SWITCH challenge --matrix "$W/pks/TARNSOFT.pks" --cid-file "$KEY" --expect-desc 'Alice(Sales)' >"$W/sw.log" 2>&1
check "challenge answered" 0 "$?"
check "result after a challenge" $'认证成功！\nrc=0' "$(result_is 认证成功！)"
SWITCH send --type 7 --data FFFFFFFF >/dev/null 2>&1
check "result after a key error report" $'密钥错误！\nrc=0' "$(result_is 密钥错误！)"
SWITCH send --type 7 --data 00000000 >/dev/null 2>&1
check "result after a MAC report" $'非认证mac！\nrc=0' "$(result_is 非认证mac！)"

check "stop" 'rc=0' "$(cfg stop)"
check "stop: no daemon left" 0 "$(wait_daemons 0)"
cfg start >/dev/null
cfg start >/dev/null
check "start twice: one daemon" 1 "$(wait_daemons 1)"

# Stop while the switch sends challenges: config.ini stays whole and the
# image stays usable.
SWITCH bench --matrix "$W/pks/TARNSOFT.pks" --cid-file "$KEY" --count 400 >/dev/null 2>&1 &
bench=$!
sleep 0.3
cfg stop >/dev/null
wait "$bench"
check "stop under load: no daemon left" 0 "$(wait_daemons 0)"
check "stop under load: config.ini whole" \
  "Version=1.0 LogLevel=1 MaxRowNum=10000 info=Alice(Sales) Result=N" \
  "$(sed 's/^Result=[0-3]$/Result=N/' "$INI" | tr '\n' ' ' | sed 's/ $//')"
check "stop under load: image usable" "当前证书公钥：$id_hex，该机器的唯一标识是：$id_hex。"$'\nrc=0' "$(cfg analyze)"
cfg start >/dev/null
wait_daemons 1 >/dev/null
SWITCH challenge --matrix "$W/pks/TARNSOFT.pks" --cid-file "$KEY" >/dev/null 2>&1
check "challenge after the interrupted stream" 0 "$?"

# info while the daemon writes "Result" for a stream of challenges.
lost=0
for round in $(seq 20); do
  flock "$MAVO/.lock/config.lock" sed -i 's/^info=.*/info=0/' "$INI"
  SWITCH bench --matrix "$W/pks/TARNSOFT.pks" --cid-file "$KEY" --count 40 >/dev/null 2>&1 &
  bench=$!
  cfg info "user$round" x >/dev/null
  wait "$bench"
  grep -qx "info=user$round(x)" "$INI" || lost=$((lost + 1))
done
check "info racing Result writes is never lost" 0 "$lost"
cfg stop >/dev/null

exit "$failed"
