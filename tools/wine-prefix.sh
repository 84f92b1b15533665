#!/usr/bin/env bash
# Prepares (start) or releases (stop) the Wine prefix that the Windows tests
# run in: created once inside the build tree, the Japanese faces mapped to
# installed fonts so glyphs are the same on every machine, and a persistent
# wineserver kept running so that each test program starts quickly.
set -eu
action=$1
export WINEPREFIX=$2
# null: no screen (unit tests, snapshots); x11: real windows on $DISPLAY.
driver=${3:-null}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

case "$action" in
start)
  if [ ! -f "$WINEPREFIX/.velmorant-ready" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w || true
    reg() { wine reg add "$@" /f >/dev/null 2>&1; }
    # Glyphs must not depend on which fonts Wine happens to pick.
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS Gothic' /t REG_SZ /d 'IPAGothic'
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS PGothic' /t REG_SZ /d 'IPAPGothic'
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS UI Gothic' /t REG_SZ /d 'IPAPGothic'
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS Mincho' /t REG_SZ /d 'IPAMincho'
    # Unit tests never need a screen: windows they create (hidden) use the
    # null graphics driver, with or without an X display.
    reg 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d "$driver"
    wineserver -w || true
    touch "$WINEPREFIX/.velmorant-ready"
  fi
  if [ ! -f "$WINEPREFIX/.velmorant-cjk" ]; then
    reg() { wine reg add "$@" /f >/dev/null 2>&1; }
    # One Chinese (simplified and traditional) and one Korean candidate face
    # of the new-style sign's language slots, each behind a first choice that
    # stays unmapped (SimHei, MingLiU), so the tests see both an installed and
    # a missing face. Dotum, Batang and the rest stay missing too.
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'SimSun' /t REG_SZ /d 'AR PL UMing CN'
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'PMingLiU' /t REG_SZ /d 'AR PL UMing TW'
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'Gulim' /t REG_SZ /d 'NanumGothic'
    wineserver -w || true
    touch "$WINEPREFIX/.velmorant-cjk"
  fi
  # A program that faults starts Wine's debugger, whose crash dialog would
  # wait for a click that never comes (with the null driver, on no screen at
  # all). Without the dialog the debugger writes its backtrace to the
  # program's standard error and ends it with the fault's code, as Windows
  # does when its error boxes are off. Checked at every start (the value may
  # be added to a prefix whose server is running, which writes it out later).
  if ! wine reg query 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog 2>/dev/null | grep -q 0x0; then
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
  fi
  # Keep one server alive for the whole run (it exits by itself when idle
  # after the run, or on "stop").
  wineserver -p 300 </dev/null >/dev/null 2>&1 || true
  # Start Wine's own background processes now, away from the test runner's
  # output pipe: a process that inherits that pipe keeps it open and the
  # runner would wait for it until the time-out.
  wineboot </dev/null >/dev/null 2>&1 || true
  ;;
stop)
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
