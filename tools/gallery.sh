#!/usr/bin/env bash
# The README's pictures: the real velmorant.exe shows each bundled sample
# board (tools/demo/boards, tools/boards/newstyle-*.txt) in a borderless
# window on a virtual X screen under Wine, at twice the size of a first
# start so that every dot and header text is readable; the window is
# captured and saved as docs/images/NAME.png.
#
#   tools/gallery.sh [OUTDIR]   (default docs/images; needs the windows build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$(realpath -m "${1:-docs/images}")
build=$root/build/windows
exe=$build/src/shell/velmorant.exe
work=$build/gallery
[ -f "$exe" ] || { echo "missing $exe: build the windows preset first" >&2; exit 1; }
mkdir -p "$out"
rm -rf "$work"
mkdir -p "$work/root/boards"

# NAME DOCUMENT KEYS WIDTH HEIGHT: what each picture shows, the document
# keys added to the sample for the picture ("-": none) and the window's size.
# A classic board alternates Japanese and English on the clock; a phase of
# 0 ms pins the other language for its picture.
PICTURES=(
  classic-japanese tools/demo/boards/1/display.txt enMs=0 1560 276
  classic-english tools/demo/boards/1/display.txt jpMs=0 1560 276
  classic-rows tools/demo/boards/4/display.txt enMs=0 1548 282
  classic-shinkansen tools/demo/boards/2/display.txt enMs=0 1164 234
  newstyle-train tools/boards/newstyle-train.txt - 1560 276
  newstyle-scroll tools/boards/newstyle-scroll.txt - 1560 276
  newstyle-frame tools/boards/newstyle-frame.txt - 1560 276
  newstyle-approach tools/boards/newstyle-approach.txt - 1560 276
  newstyle-pos tools/boards/newstyle-pos.txt - 1560 276
)
FIELDS=5
for ((i = 0; i < ${#PICTURES[@]}; i += FIELDS)); do
  n=$((i / FIELDS + 1))
  mkdir -p "$work/root/boards/$n"
  keys=${PICTURES[i + 2]}
  [ "$keys" = - ] && keys=""
  # The added keys go before the closing "end" line; a later key wins.
  awk -v keys="$keys" '$0 == "end" && keys != "" { print keys } { print }' "${PICTURES[i + 1]}" \
    >"$work/root/boards/$n/display.txt"
done

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine maps file names through the Unix locale; kanji names need UTF-8.
export LC_ALL=C.UTF-8
export WINEPREFIX=$build/wineprefix-gallery
winpath() { echo "Z:$(realpath -m "$1" | sed 's|/|\\|g')"; }

xvfb=""
board=""
# Everything the script started ends with it, and is waited for.
finish() {
  [ -n "$board" ] && kill "$board" 2>/dev/null
  tools/wine-prefix.sh stop "$WINEPREFIX" || true
  [ -n "$board" ] && { wait "$board" 2>/dev/null || true; }
  python3 tools/boardserver.py stop --port-file "$work/port" >/dev/null 2>&1 || true
  # The server removes its port file as it ends.
  for _ in $(seq 100); do [ -f "$work/port" ] || break; sleep 0.1; done
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null || true
  fi
  return 0
}
trap finish EXIT

# A virtual screen on a free display number, chosen by the X server.
Xvfb -displayfd 3 -screen 0 1600x400x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$work/display")

python3 tools/boardserver.py start --root "$work/root" --port-file "$work/port" >/dev/null
port=$(cat "$work/port")
control() {
  python3 -c 'import json, sys; sys.path.insert(0, "tools"); import boardserver
print(boardserver.control(int(sys.argv[1]), json.loads(sys.argv[2]), 90).decode())' "$port" "$1"
}
tools/wine-prefix.sh start "$WINEPREFIX" x11

for ((i = 0; i < ${#PICTURES[@]}; i += FIELDS)); do
  name=${PICTURES[i]} w=${PICTURES[i + 3]} h=${PICTURES[i + 4]}
  n=$((i / FIELDS + 1))
  ini=$work/board-$n.ini
  printf 'server=127.0.0.1\nport=%s\n台=%s\n取得間隔=0.3\nメロディ=0\n' "$port" "$n" >"$ini"
  # The window's placement: top left corner, no frame, this size.
  printf '[window]\nx=0\ny=0\nw=%s\nh=%s\nborderless=1\n' "$w" "$h" >"$ini.pos"
  control '{"op": "reset"}' >/dev/null
  wine "$exe" "$(winpath "$ini")" </dev/null >/dev/null 2>&1 &
  board=$!
  if [ "$(control '{"op": "wait", "count": 1, "timeout_ms": 60000}')" -lt 1 ]; then
    echo "  $name: the board asked for no document" >&2
    exit 1
  fi
  # Wine may cap a window that opens before it knows the screen's size:
  # the window is put where and how large it should be.
  window=""
  for _ in $(seq 300); do
    window=$(xdotool search --onlyvisible --name '発車標' 2>/dev/null | tail -1 || true)
    [ -n "$window" ] && break
    sleep 0.2
  done
  [ -n "$window" ] || { echo "  $name: no board window" >&2; exit 1; }
  xdotool windowmove "$window" 0 0 windowsize "$window" "$w" "$h"
  sleep 3
  # Six captures in a row, over more than a blink period; the one kept has
  # the most light where departure times are (the top left), so blinking
  # times are lit.
  best=""
  best_light=-1
  for k in 1 2 3 4 5 6; do
    import -window root -crop "${w}x${h}+0+0" +repage "$work/$name-$k.png"
    light=$(convert "$work/$name-$k.png" -crop "$((w / 4))x$((h * 6 / 10))+0+0" -colorspace gray \
      -format '%[fx:int(mean*1000000)]' info:)
    if [ "$light" -gt "$best_light" ]; then
      best=$work/$name-$k.png
      best_light=$light
    fi
    sleep 0.1
  done
  # Ends the board and everything Wine started for it.
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wait "$board" 2>/dev/null || true
  board=""
  # The board keeps its aspect inside the window: the black margins go.
  convert "$best" -bordercolor black -border 1 -trim +repage -bordercolor black -border 8 "$out/$name.png"
  echo "  $name: $out/$name.png ($(identify -format '%wx%h' "$out/$name.png"))"
done
