#!/usr/bin/env bash
# The installed image replaced twice between two challenges on a disk file
# system (ext4 on a loop device at /usr/local/cert). Such a file system hands
# a freed inode number out again at once, so without a hold on the image the
# daemon bound last, the host's image installed second takes the number of
# the blocked image the daemon used before it. The challenge after the two
# installations is answered with the host's image, without a restart.
source "$(dirname "$0")/lib.sh"

E2E_DESC="Rebind Test"

plan() {
  run_case case_two_installs --if eth0
}

# A fresh ext4 file system of its own at /usr/local/cert (nothing else
# creates files there, so inode numbers are handed out in a fixed order).
disk_cert() {
  truncate -s 16M "$E2E_TMP/cert.ext4" &&
    mkfs.ext4 -q -F "$E2E_TMP/cert.ext4" &&
    mkdir -p /usr/local/cert &&
    mount -n -t ext4 -o loop "$E2E_TMP/cert.ext4" /usr/local/cert &&
    chmod 755 /usr/local/cert
}

inode() { stat -c %i "$CERT"; }
install() { "$MAVO/config" import "$1" >"$E2E_TMP/import.out" 2>&1 && test ! -s "$E2E_TMP/import.out"; }

case_two_installs() {
  check "ext4 on a loop device at /usr/local/cert" disk_cert
  up
  local build=$TARN_BUILD/tools/imgbuild/tarn-imgbuild
  cp "$E2E_TMP/host.vkd" "$E2E_TMP/blocked.vkd"
  check "a blocked copy of the host's image" "$build" block --image "$E2E_TMP/blocked.vkd"
  check "another image" "$build" blank --out "$E2E_TMP/other.vkd"

  check "the blocked image installed" install "$E2E_TMP/blocked.vkd"
  challenge "the blocked image: 0xFF" --expect-fail
  challenge "the blocked image, again: 0xFF" --expect-fail
  check "another image installed" install "$E2E_TMP/other.vkd"
  check "the host's image installed" install "$E2E_TMP/host.vkd"
  challenge "after two installations the host's image answers"
  expect_result 1 "the host's image"
  still_running "two installations"

  # The same installations with no daemon holding anything: the host's image
  # gets the inode number of the blocked one, which is what the daemon saw
  # before it held the image it had bound.
  stop_daemon
  check "the blocked image installed (no daemon)" install "$E2E_TMP/blocked.vkd"
  local was
  was=$(inode)
  check "another image installed (no daemon)" install "$E2E_TMP/other.vkd"
  check "the host's image installed (no daemon)" install "$E2E_TMP/host.vkd"
  expect_eq "the file system hands the blocked image's inode number to the host's" "$(inode)" "$was"
}

e2e_main "$@"
