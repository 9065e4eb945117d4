#!/usr/bin/env bash
# cmake --install into the sandbox's /usr/local: the programs at
# /usr/local/MavoClient, the default config.ini only where none exists, and a
# daemon that starts from that default (info=0: asks for the user); a staged
# installation under DESTDIR.
source "$(dirname "$0")/lib.sh"

plan() {
  run_case case_install --if eth0
}

install_once() {
  cmake --install "$TARN_BUILD" >"$E2E_TMP/install.out" 2>&1
}

case_install() {
  # cmake --install writes its manifest into the build folder: an overlay
  # keeps it in this test's folder.
  mkdir -p "$E2E_TMP/ov/upper" "$E2E_TMP/ov/work"
  mount -n -t overlay e2e-build \
    -o "lowerdir=$TARN_BUILD,upperdir=$E2E_TMP/ov/upper,workdir=$E2E_TMP/ov/work" "$TARN_BUILD"
  rm -rf "$MAVO"   # the sandbox's own copy of the programs
  check "cmake --install succeeds" install_once
  check "daemon installed, executable" test -x "$DAEMON"
  check "tool installed, executable" test -x "$MAVO/config"
  expect_eq "default config.ini, each line ending in a line feed" "$(od -An -c "$INI" | tr -s ' \n' ' ')" \
    "$(printf 'Version=1.0\nLogLevel=1\nMaxRowNum=10000\ninfo=0\nResult=0\n' | od -An -c | tr -s ' \n' ' ')"
  start_daemon
  expect_eq "with the default config.ini the daemon asks for the user: status 0" "$RC" 0
  expect_in "the request for the user's details" "$E2E_TMP/console" "请填写使用者信息！"
  check "the default settings give a log" log_framed 1
  printf 'Version=2\nLogLevel=0\nMaxRowNum=50\ninfo=Recorded User\nResult=1\n' >"$INI"
  cp "$INI" "$E2E_TMP/ini.mine"
  check "cmake --install again" install_once
  check "an existing config.ini is kept byte for byte" cmp "$INI" "$E2E_TMP/ini.mine"

  # A staged installation: everything under DESTDIR, nothing else.
  check "cmake --install with DESTDIR" env DESTDIR="$E2E_TMP/stage" cmake --install "$TARN_BUILD"
  expect_eq "DESTDIR holds the three files and nothing else" \
    "$(cd "$E2E_TMP/stage" && find . -type f | sort | tr '\n' ' ')" \
    "./usr/local/MavoClient/Tarnhold ./usr/local/MavoClient/config ./usr/local/MavoClient/config.ini "
  check "the staged config.ini is the default" cmp "$E2E_TMP/stage$INI" "$E2E_SRC/cmake/config.ini.default"
  check "the sandbox's config.ini untouched by the staged install" cmp "$INI" "$E2E_TMP/ini.mine"
}

e2e_main "$@"
