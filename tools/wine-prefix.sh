#!/usr/bin/env bash
# Prepares (start) or releases (stop) the Wine prefix that the Windows tests,
# the demo and the tools run in: created once inside the build tree, the
# Japanese, Chinese and Korean faces mapped to installed fonts so glyphs are
# the same on every machine, and a persistent wineserver kept running so that
# each program starts quickly.
#
# A new prefix's first run is where Wine is racy: wineboot leaves its server
# and helpers running after it returns, and a server with no program left
# ends a few seconds later, so a command that starts in that moment meets a
# server on its way out and fails. So the set-up waits for wineboot's server
# to end, then keeps one server up for all its registry writes, reads every
# value back, tries a failed step again on a fresh server, and when a step
# still fails prints the command and Wine's own message.
set -u
action=${1:-}
export WINEPREFIX=${2:-}
# null: no screen (unit tests, snapshots); x11: real windows on $DISPLAY.
driver=${3:-null}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine maps file names through the Unix locale; kanji names need UTF-8.
export LC_ALL=C.UTF-8
unset LANGUAGE

ATTEMPTS=4
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Wine's lines that say nothing about the step (Debian's wine wrapper
# reminds of the 32-bit half on every start).
wineMessage() {
  grep -v -e 'wine32' -e 'multiarch' -e 'dpkg --add-architecture' -e 'apt-get install wine32' \
    -e 'rundll32.exe' "$log" || true
}

fail() {
  echo "wine-prefix.sh: failed after $ATTEMPTS attempts in $WINEPREFIX: $*" >&2
  echo "Wine said:" >&2
  if [ -n "${lastMessage:-}" ]; then
    echo "$lastMessage"
  else
    wineMessage
  fi | sed 's/^/  /' >&2
  exit 1
}

# Runs a Wine command with its output in $log (never on a pipe: Wine's
# helpers outlive the command and would hold a pipe open).
quiet() {
  "$@" </dev/null >"$log" 2>&1
}

# Waits until the prefix's server and every process it serves have ended.
# Never called while a persistent server runs (that would wait it out).
settle() {
  wineserver -w </dev/null >/dev/null 2>&1 || true
}

# A server that stays up for the whole run (it ends by itself five minutes
# after its last program, or on "stop"); when one already runs for this
# prefix, that one stays.
keepServer() {
  wineserver -p 300 </dev/null >/dev/null 2>&1 || true
}

# Ends the server (it writes the registry out as it ends) and starts a new one.
restartServer() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  settle
  keepServer
}

# Makes the prefix itself, tried again when wineboot fails or leaves no
# registry behind (a second wineboot completes a half-made prefix).
makePrefix() {
  local attempt
  for attempt in $(seq $ATTEMPTS); do
    if quiet wineboot --init && settle && [ -s "$WINEPREFIX/user.reg" ] && [ -s "$WINEPREFIX/system.reg" ]; then
      return 0
    fi
    lastCommand="wineboot --init"
    settle
    sleep "$attempt"
  done
  fail "wineboot --init"
}

# setValues KEY NAME TYPE DATA [NAME TYPE DATA]...: reads the key, writes
# what is missing or different, and reads it back again until all is there.
setValues() {
  local key=$1 attempt i listing missing
  shift
  local values=("$@")
  for attempt in $(seq $((ATTEMPTS + 1))); do
    listing=""
    if quiet wine reg query "$key"; then
      listing=$(cat "$log")
    fi
    missing=()
    for ((i = 0; i < ${#values[@]}; i += 3)); do
      valuePresent "$listing" "${values[@]:i:3}" || missing+=("$i")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$attempt" -gt $ATTEMPTS ] && break
    lastCommand="wine reg query '$key' (a value written was not read back)"
    lastMessage=""
    for i in "${missing[@]}"; do
      local name=${values[i]} type=${values[i + 1]} data=${values[i + 2]}
      if ! quiet wine reg add "$key" /v "$name" /t "$type" /d "$data" /f; then
        lastCommand="wine reg add '$key' /v '$name' /t $type /d '$data' /f"
        lastMessage=$(wineMessage)
        sleep "$attempt"
        restartServer
        break
      fi
    done
  done
  fail "$lastCommand"
}

# valuePresent LISTING NAME TYPE DATA: whether reg query's listing holds the
# value (a DWORD is listed in hexadecimal).
valuePresent() {
  local listing=$1 name=$2 type=$3 data=$4
  [ "$type" = REG_DWORD ] && data=$(printf '0x%x' "$data")
  grep -Fq -- "    $name    $type    $data" <<<"${listing//$'\r'/}"
}

case "$action" in
start)
  [ -n "$WINEPREFIX" ] || { echo "usage: $0 start|stop PREFIX [null|x11]" >&2; exit 2; }
  mkdir -p "$WINEPREFIX"
  lastCommand=""
  if [ ! -f "$WINEPREFIX/.velmorant-ready" ]; then
    makePrefix
  fi
  # A fresh server that stays up: one left from before may be on its way
  # out (a server with no program ends after a few seconds), and a program
  # started in that moment would fail.
  restartServer
  written=0
  if [ ! -f "$WINEPREFIX/.velmorant-ready" ]; then
    # Glyphs must not depend on which fonts Wine happens to pick. One
    # Chinese (simplified and traditional) and one Korean candidate face of
    # the new-style sign's language slots are mapped too, each behind a first
    # choice that stays unmapped (SimHei, MingLiU), so the tests see both an
    # installed and a missing face. Dotum, Batang and the rest stay missing.
    setValues 'HKCU\Software\Wine\Fonts\Replacements' \
      'MS Gothic' REG_SZ 'IPAGothic' \
      'MS PGothic' REG_SZ 'IPAPGothic' \
      'MS UI Gothic' REG_SZ 'IPAPGothic' \
      'MS Mincho' REG_SZ 'IPAMincho' \
      'SimSun' REG_SZ 'AR PL UMing CN' \
      'PMingLiU' REG_SZ 'AR PL UMing TW' \
      'Gulim' REG_SZ 'NanumGothic'
    # A program that faults starts Wine's debugger, whose crash dialog would
    # wait for a click that never comes. Without the dialog the debugger
    # writes its backtrace to the program's standard error and ends it with
    # the fault's code, as Windows does when its error boxes are off.
    setValues 'HKCU\Software\Wine\WineDbg' ShowCrashDialog REG_DWORD 0
    written=1
  fi
  # Unit tests never need a screen: windows they create (hidden) use the
  # null graphics driver, with or without an X display. The driver last set
  # is noted beside the registry, so a prefix asked for another one changes.
  if [ "$(cat "$WINEPREFIX/.velmorant-driver" 2>/dev/null)" != "$driver" ]; then
    setValues 'HKCU\Software\Wine\Drivers' Graphics REG_SZ "$driver"
    written=2
  fi
  if [ "$written" != 0 ]; then
    # Fonts and the graphics driver are taken up by a new server's programs
    # only (the desktop keeps the driver it started with), and the registry
    # is on disk once the server has ended: so the server starts again
    # before the prefix is marked ready.
    restartServer
    touch "$WINEPREFIX/.velmorant-ready"
    echo "$driver" >"$WINEPREFIX/.velmorant-driver"
  fi
  # Start Wine's own background processes now, away from the test runner's
  # output pipe: a process that inherits that pipe keeps it open and the
  # runner would wait for it until the time-out.
  quiet wineboot || fail "wineboot"
  ;;
stop)
  [ -n "$WINEPREFIX" ] || { echo "usage: $0 start|stop PREFIX [null|x11]" >&2; exit 2; }
  wineserver -k </dev/null >/dev/null 2>&1 || true
  settle
  ;;
*)
  echo "usage: $0 start|stop PREFIX [null|x11]" >&2
  exit 2
  ;;
esac
