#!/usr/bin/env python3
"""The demonstration station's live feed, served as ./velmorant.sh demo
serves it: velmorant-server with the bundled Tsukimi Line and the line's
GTFS-realtime feed (tools/realtime-feed.py demo) fetched from a loopback HTTP
server, at a frozen weekday clock. The boards' documents carry a train 4
minutes late, the next one cancelled, the works alert and a position diagram
on the new-style sign; the real velmorant.exe under Wine draws board 1 from
it: the late train's row with its delay text, the cancellation in red and
the alert in yellow."""

import functools
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.request

from e2elib import Checks, Picture, SOURCE, classic_dot, palette_index, private_exe, run_exe, server_exe, \
    stop_server, to_windows_path, wait_until, write_settings

# Tuesday 10 March 2026: the 8:03 from Tsukimidai platform 1 is the late
# train, the 8:06 the cancelled one.
CLOCK = "2026-03-10T08:02:00"
ALERT = "本日 月見線の一部の駅で工事をしています"
RED, YELLOW = 3, 4
# The 8:03's destination alone ends before this column of the 256-dot board
# in either language; with the delay text after it the row reaches past it.
DELAY_REACHES = 216


def layout(width, height, rows):
    """Pitch and LED panel corner of a 256-dot classic board in a picture of
    width x height (the board's own layout: 4 extra columns, 14 extra rows
    of housing, the panel 2 dots in and 12 dots down)."""
    n = max(1, min(width // 260, height // (16 * rows + 14)))
    return n, (width - 260 * n) // 2 + 2 * n, (height - (16 * rows + 14) * n) // 2 + 12 * n


def row_dots(picture, panel, row):
    """{column: palette index} of the lit dots of one row."""
    found = {}
    for dot_row in range(16 * row, 16 * row + 16):
        for column in range(256):
            index = palette_index(classic_dot(picture, panel, column, dot_row))
            if index not in (0, None):
                found[column] = index
    return found


def document(port, board):
    with urllib.request.urlopen("http://127.0.0.1:%d/api/boards/%d/display.txt" % (port, board), timeout=10) as r:
        return r.read().decode("utf-8")


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve_feed(folder):
    """The live feed's folder on a free loopback port, as the demo serves it."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def start_station(checks, server, work):
    """The demo's station with its live feed; (process, port)."""
    station = os.path.join(work, "station")
    os.makedirs(os.path.join(station, "sounds", "月見台"))
    os.makedirs(os.path.join(station, "realtime"))
    config = os.path.join(station, "station.toml")
    shutil.copyfile(os.path.join(SOURCE, "tools", "demo-station.toml"), config)
    subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "make-melody.py"),
                    os.path.join(station, "sounds", "月見台", "発車ベル.wav")], check=True, timeout=60)
    result = subprocess.run([server, "import", os.path.join(SOURCE, "tools", "feed-demo"), "--config", config],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    checks.check(result.returncode == 0, "the bundled feed imports: %s" % result.stdout.decode()[-500:])
    # Debian's Python protobuf belongs to the system's Python.
    subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tools", "realtime-feed.py"), "demo",
                    os.path.join(station, "realtime", "tsukimi.pb"), station,
                    os.path.join(station, "timetable.db"), CLOCK], check=True, timeout=120)
    feed = serve_feed(os.path.join(station, "realtime"))
    with open(config, "a", encoding="utf-8") as f:
        f.write('\n[[realtime]]\nurl = "http://127.0.0.1:%d/tsukimi.pb"\nmax_age = 86400\n' % feed.server_address[1])
    port_file = os.path.join(station, "port")
    log = open(os.path.join(station, "server.log"), "wb")
    process = subprocess.Popen([server, "serve", "--config", config, "--now", CLOCK, "--frozen", "--port", "0",
                                "--port-file", port_file], stdout=log, stderr=log)
    checks.check(wait_until(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 30),
                 "the server writes its port")
    return process, int(open(port_file).read())


def check_documents(checks, port):
    checks.check(wait_until(lambda: "遅れ" in document(port, 1), 20), "board 1 takes the live feed")
    classic = document(port, 1).splitlines()
    lines = [line.split("\t") for line in classic if line.startswith("line=")]
    checks.check(len(lines) == 3 and lines[0][0] == "line=train" and lines[0][1] == "8:03" and
                 "約4分遅れ" in lines[0][2] and "4 min late" in lines[0][3],
                 "board 1, row 1: the 8:03, 4 minutes late: %r" % lines[:1])
    checks.check(len(lines) == 3 and lines[1][0] == "line=text" and "8:06発" in lines[1][1] and "運休" in lines[1][1]
                 and lines[1][3] == "R", "board 1, row 2: the 8:06 cancelled, in red: %r" % lines[1:2])
    checks.check(len(lines) == 3 and lines[2][1] == ALERT and lines[2][3] == "Y",
                 "board 1, row 3: the works alert in yellow: %r" % lines[2:])
    sign = [line.split("\t") for line in document(port, 3).splitlines() if line.startswith("msg=")]
    checks.check(len(sign) == 1 and sign[0][0] == "msg=pos" and sign[0][1] == "2" and "港中央|Minato-Chuo" in sign[0],
                 "board 3: the position diagram, the train at the station before: %r" % sign)


def check_board(checks, work, port):
    """The real board's snapshot of board 1."""
    board_dir = os.path.join(work, "board")
    os.makedirs(board_dir)
    exe = private_exe(board_dir)
    settings = write_settings(board_dir, "server=127.0.0.1\nport=%d\n台=1\n取得間隔=0.3\nメロディ=0\n" % port)
    picture_path = os.path.join(work, "board.bmp")
    code, _ = run_exe(exe, ["/snap", to_windows_path(picture_path), "3000", to_windows_path(settings)])
    checks.check(code == 0 and os.path.exists(picture_path), "snapshot exits with 0 (got %r)" % code)
    if not os.path.exists(picture_path):
        return
    picture = Picture(picture_path)
    panel = layout(picture.width, picture.height, 3)
    late = row_dots(picture, panel, 0)
    checks.check(late and max(late) >= DELAY_REACHES, "row 1: the delay text after the destination (last lit "
                 "column %r)" % (max(late) if late else None))
    cancelled = set(row_dots(picture, panel, 1).values())
    checks.check(cancelled == {RED}, "row 2: the cancellation in red: %r" % cancelled)
    alert = set(row_dots(picture, panel, 2).values())
    checks.check(alert == {YELLOW}, "row 3: the alert in yellow: %r" % alert)
    keep = os.environ.get("VELMORANT_DEMO_PICTURE")
    if keep:
        shutil.copyfile(picture_path, keep)


def main():
    checks = Checks()
    server = server_exe()
    if not os.access(server, os.X_OK):
        print("FAIL: no velmorant-server at %s (build the host preset first, or set VELMORANT_SERVER_EXE)" % server)
        sys.exit(1)
    work = tempfile.mkdtemp(prefix="velmorant-demo-e2e-")
    process = None
    try:
        process, port = start_station(checks, server, work)
        check_documents(checks, port)
        check_board(checks, work, port)
    finally:
        if process:
            code = stop_server(process)
            checks.check(code == 0, "the server ends on SIGTERM with 0 (got %r)" % code)
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
