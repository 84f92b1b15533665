#!/usr/bin/env bash
# The demonstration: the bundled sample boards served by the board server,
# one snapshot picture (PNG) of each in demo-out/; then velmorant-server with
# the bundled Tsukimi Line timetable (tools/feed-demo/, boards in
# tools/demo-station.toml), a snapshot of each of its boards, and its board 1
# running in a window under Wine with the departure melody (on $DISPLAY when
# there is one, else on a virtual screen whose picture is saved as
# demo-out/window.png). The timetable's clock starts at this machine's local
# time (VELMORANT_DEMO_NOW="YYYY-MM-DDTHH:MM" chooses another) and runs on,
# so the departures move with the clock.
#
#   tools/demo.sh [SECONDS]   how long the window runs without a display (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-20}
build=$root/build/windows
exe=$build/src/shell/velmorant.exe
out=$root/demo-out
work=$build/demo
mkdir -p "$out" "$work"
rm -rf "$work/root"
cp -r tools/demo "$work/root"
# The new-style samples (every lower-line kind) follow as further boards.
next=$(( $(ls "$work/root/boards" | sort -n | tail -1) + 1 ))
for sample in tools/boards/newstyle-*.txt; do
  mkdir -p "$work/root/boards/$next"
  cp "$sample" "$work/root/boards/$next/display.txt"
  next=$((next + 1))
done
mkdir -p "$work/root/sounds"
cp "$build/demo-sounds/demo-bell.wav" "$work/root/sounds/"

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine maps file names through the Unix locale; kanji names need UTF-8.
export LC_ALL=C.UTF-8
winpath() { echo "Z:$(realpath -m "$1" | sed 's|/|\\|g')"; }

xvfb=""
window_board=""
server_pid=""
feed_pid=""
started=()
# Everything the demo started ends with it, and is waited for: nothing is
# left running once the script returns.
finish() {
  local status=$?
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [ -n "$feed_pid" ]; then
    kill "$feed_pid" 2>/dev/null || true
    wait "$feed_pid" 2>/dev/null || true
  fi
  [ -n "$window_board" ] && kill "$window_board" 2>/dev/null
  local prefix
  for prefix in "${started[@]}"; do
    WINEPREFIX=$prefix tools/wine-prefix.sh stop "$prefix" || true
  done
  [ -n "$window_board" ] && { wait "$window_board" 2>/dev/null || true; }
  python3 tools/boardserver.py stop --port-file "$work/port" >/dev/null 2>&1 || true
  # The server removes its port file as it ends.
  for _ in $(seq 100); do [ -f "$work/port" ] || break; sleep 0.1; done
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null || true
  fi
  exit "$status"
}
trap finish EXIT
python3 tools/boardserver.py start --root "$work/root" --port-file "$work/port" >/dev/null
port=$(cat "$work/port")
echo "Board server on 127.0.0.1:$port serving $(ls "$work/root/boards" | wc -l) sample boards"

# Snapshots need no screen: a prefix with Wine's null display driver.
export WINEPREFIX=$build/wineprefix-demo
started+=("$WINEPREFIX")
tools/wine-prefix.sh start "$WINEPREFIX" null
missing=0
for board in $(ls "$work/root/boards" | sort -n); do
  ini=$work/board-$board.ini
  printf 'server=127.0.0.1\nport=%s\n台=%s\n取得間隔=0.3\nメロディ=0\n' "$port" "$board" > "$ini"
  rm -f "$work/board-$board.bmp"
  status=0
  wine "$exe" /snap "$(winpath "$work/board-$board.bmp")" 3000 "$(winpath "$ini")" </dev/null >"$work/board-$board.log" 2>&1 ||
    status=$?
  if [ -f "$work/board-$board.bmp" ]; then
    convert "$work/board-$board.bmp" "$out/board-$board.png"
    echo "  board $board: $out/board-$board.png"
  else
    echo "  board $board: no picture (exit status $status)" >&2
    grep -v -e wine32 -e multiarch -e 'dpkg --add' "$work/board-$board.log" | tail -3 | sed 's/^/    /' >&2
    missing=$((missing + 1))
  fi
done

# The station's server: the Tsukimi Line timetable imported beside a copy
# of the demonstration station, the melody in its melody folder.
server_exe=${VELMORANT_SERVER_EXE:-$root/build/server/src/server/velmorant-server}
[ -x "$server_exe" ] || { echo "no $server_exe: cmake --preset server && cmake --build --preset server" >&2; exit 1; }
station=$work/station
rm -rf "$station"
mkdir -p "$station/sounds/月見台"
cp tools/demo-station.toml "$station/station.toml"
cp "$build/demo-sounds/demo-bell.wav" "$station/sounds/月見台/発車ベル.wav"
"$server_exe" import tools/feed-demo --config "$station/station.toml" >/dev/null
clock=${VELMORANT_DEMO_NOW:-$(date +%Y-%m-%dT%H:%M:%S)}
# The line's live feed (GTFS-realtime): written for the clock from the
# timetable (one train late, the next one cancelled, works announced, a
# train's position for the new-style sign) and served on loopback the way an
# agency serves its feed.
mkdir -p "$station/realtime"
/usr/bin/python3 tools/realtime-feed.py demo "$station/realtime/tsukimi.pb" "$station" \
  "$station/timetable.db" "$clock"
/usr/bin/python3 -c '
import functools, http.server, sys
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
handler = functools.partial(Quiet, directory=sys.argv[1])
server = http.server.HTTPServer(("127.0.0.1", 0), handler)
open(sys.argv[2], "w").write(str(server.server_address[1]))
server.serve_forever()' "$station/realtime" "$station/feed-port" &
feed_pid=$!
for _ in $(seq 1 100); do [ -s "$station/feed-port" ] && break; sleep 0.1; done
printf '\n[[realtime]]\nurl = "http://127.0.0.1:%s/tsukimi.pb"\nmax_age = 86400\n' \
  "$(cat "$station/feed-port")" >> "$station/station.toml"
"$server_exe" serve --config "$station/station.toml" --now "$clock" --port 0 --port-file "$station/port" \
  >"$station/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$station/port" ] && break; sleep 0.1; done
station_port=$(cat "$station/port")
echo "velmorant-server on 127.0.0.1:$station_port: the Tsukimi Line from $clock (Tokyo time), live feed on"
# The first fetch of the live feed, before the pictures are taken.
sleep 2

export WINEPREFIX=$build/wineprefix-demo
tools/wine-prefix.sh start "$WINEPREFIX" null
for board in $(sed -n 's/^number = //p' "$station/station.toml"); do
  ini=$work/station-$board.ini
  printf 'server=127.0.0.1\nport=%s\n台=%s\n取得間隔=0.3\nメロディ=0\n' "$station_port" "$board" > "$ini"
  wine "$exe" /snap "$(winpath "$work/station-$board.bmp")" 3000 "$(winpath "$ini")" </dev/null >/dev/null 2>&1 || true
  if [ -f "$work/station-$board.bmp" ]; then
    convert "$work/station-$board.bmp" "$out/station-$board.png"
    echo "  station board $board: $out/station-$board.png"
  else
    echo "  station board $board: no picture" >&2
  fi
done
tools/wine-prefix.sh stop "$WINEPREFIX"

# Board 1 in a window, with its melody before every departure.
ini=$work/window.ini
printf 'server=127.0.0.1\nport=%s\n台=1\n取得間隔=1\n' "$station_port" > "$ini"
export WINEPREFIX=$build/wineprefix-demo-x11
started+=("$WINEPREFIX")
if [ -n "${DISPLAY:-}" ]; then
  tools/wine-prefix.sh start "$WINEPREFIX" x11
  echo "The board runs in a window; close it (Alt+F4) to end the demo."
  wine "$exe" "$(winpath "$ini")" </dev/null || true
else
  # A virtual screen on a free display number, chosen by the X server.
  rm -f "$work/display"
  Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(cat "$work/display")
  tools/wine-prefix.sh start "$WINEPREFIX" x11
  wine "$exe" "$(winpath "$ini")" </dev/null >/dev/null 2>&1 &
  window_board=$!
  echo "No display: the board runs on a virtual screen for ${seconds}s"
  sleep "$seconds"
  import -window root "$out/window.png" 2>/dev/null || true
  echo "  window: $out/window.png"
fi
echo "Pictures are in $out"
if [ "$missing" -gt 0 ]; then
  echo "$missing of the sample boards gave no picture" >&2
  exit 1
fi
