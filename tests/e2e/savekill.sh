#!/usr/bin/env bash
# A process killed with SIGKILL at random moments while it saves config.ini or
# Key.dat: the file is always the old or the new version, never short or
# empty (tarn-savekill, seeded; SAVEKILL_SEED=S repeats a run). 1,000 kills
# each at the fixed paths on the sandbox's tmpfs, and a shorter run on a disk
# file system, where every save waits for the disk. The temporary files that
# killed saves leave are taken away by the next save: none remains after the
# save that follows the run.
source "$(dirname "$0")/lib.sh"

plan() {
  run_case case_savekill
}

savekill() {   # savekill what path iterations
  local seed=${SAVEKILL_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
  "$TARN_BUILD/tools/savekill/tarn-savekill" --what "$1" --path "$2" --iterations "$3" --seed "$seed"
}

case_savekill() {
  mkdir -p "$MAVO" "$E2E_TMP/disk"
  check "config.ini killed while saving, 1000 times (tmpfs)" savekill ini "$INI" 1000
  check "Key.dat killed while saving, 1000 times (tmpfs)" savekill cid "$KEYDAT" 1000
  check "config.ini killed while saving, 100 times (disk)" savekill ini "$E2E_TMP/disk/config.ini" 100
  check "Key.dat killed while saving, 100 times (disk)" savekill cid "$E2E_TMP/disk/Key.dat" 100
}

# The figures of each run go to the test's output.
check() {
  local what=$1; shift
  if "$@" >"$E2E_TMP/check.out" 2>&1; then ok "$what"; else not_ok "$what"; fi
  sed 's/^/  | /' "$E2E_TMP/check.out" | grep -v '^  | OK$'
}

e2e_main "$@"
