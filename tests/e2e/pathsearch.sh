#!/usr/bin/env bash
# config path, the real tool over a real image, on a tree that anyone who can
# write in the searched folder makes in seconds: a chain of 4,000 folders
# with 255-byte names, the host's image in the last one (its path is some
# 1 MB long). Under an address-space limit of 256 MiB the search ends and
# installs the image. (The sanitizer build's shadow memory alone takes more
# address space: there it runs without the limit.)
source "$(dirname "$0")/lib.sh"

plan() {
  run_case case_deep_chain --if eth0
}

# chain_under DIR DEPTH FILE: DIR/n/n/.../n (DEPTH folders, each name 255
# bytes long) with FILE copied into the last one. The chain is built from
# pieces of 15 folders, made first, each step moving the chain made so far
# into the last folder of the next piece: no path handed to the system is
# longer than PATH_MAX, and each step is one rename.
chain_under() {
  local dir=$1 depth=$2 file=$3 name piece first top i
  name=$(printf 'n%.0s' $(seq 255))
  piece=$name
  for i in $(seq 14); do piece=$piece/$name; done
  first=$((depth % 15))
  [ "$first" -eq 0 ] && first=15
  top=$name
  for i in $(seq 2 "$first"); do top=$top/$name; done
  local steps=$(((depth - first) / 15))
  mkdir -p "$dir" || return 1
  (
    cd "$dir" || exit 1
    mkdir -p "p0/$top" && cp "$file" "p0/$top/host.vkd" || exit 1
    # The pieces, 50 to a command.
    for ((i = 1; i <= steps; i += 50)); do
      mkdir -p $(seq -f "p%g/$piece" "$i" $((i + 49 < steps ? i + 49 : steps))) || exit 1
    done
    for ((i = 1; i <= steps; i++)); do
      mv "p$((i - 1))/$name" "p$i/$piece/" || exit 1
    done
    rmdir $(seq -f "p%g" 0 $((steps - 1))) && mv "p$steps" chain
  )
}

sanitized() { ldd "$MAVO/config" 2>/dev/null | grep -q libasan; }

case_deep_chain() {
  prepare_host "Chain(Ops)"
  rm -f "$CERT"
  local tree=$E2E_TMP/tree
  check "a chain of 4,000 folders with the host's image at its end" \
    chain_under "$tree" 4000 "$E2E_TMP/host.vkd"
  expect_eq "the chain is 4,000 folders deep" \
    "$(find "$tree/chain" -mindepth 1 -type d | wc -l)" 4000
  local limit=(prlimit --as=$((256 << 20)) --)
  sanitized && limit=()
  "${limit[@]}" "$MAVO/config" path "$tree" >"$E2E_TMP/path.out" 2>"$E2E_TMP/path.err"
  expect_eq "path over the chain: status 0" "$?" 0
  expect_eq "path over the chain prints nothing" "$(cat "$E2E_TMP/path.out" "$E2E_TMP/path.err")" ""
  check "the host's image is installed" cmp "$E2E_TMP/host.vkd" "$CERT"
  expect_result 11
  rm -rf "$tree"
}

e2e_main "$@"
