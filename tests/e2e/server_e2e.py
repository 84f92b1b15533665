#!/usr/bin/env python3
"""velmorant-server with the bundled Tsukimi Line timetable at a frozen
clock, and the real velmorant.exe under Wine in snapshot mode as its board:
the departure rows it draws (times, destinations in their route colours,
the next train's time blinking) and the departure melody it downloads into
its cache during the melody's lead time."""

import os
import shutil
import subprocess
import sys
import tempfile

from e2elib import (Checks, Picture, SOURCE, lit, private_exe, run_exe, server_exe, to_windows_path,
                    stop_server, wait_until, write_settings)

MELODY = "月見台/発車ベル.wav"
# Tuesday 10 March 2026, 15 s before the 8:03 rapid leaves Tsukimidai
# platform 1 (the 8:06 local follows): inside the melody's 20 s lead time.
CLOCK = "2026-03-10T08:02:45"
WIDTH, TIME_X, DEST_X = 256, 4, 80
GREEN, ORANGE, LIGHT_BLUE = 1, 2, 6

STATION = """[server]
listen = "127.0.0.1"
port = 0
store = "timetable.db"
sounds = "sounds"

[[board]]
number = 1
name = "月見台 1番線"
style = "classic"
stop_id = "TKM-1"
rows = 2
melody = "%s"
melody_lead_seconds = 20
""" % MELODY


def main():
    checks = Checks()
    server = server_exe()
    work = tempfile.mkdtemp(prefix="velmorant-server-e2e-")
    process = None
    try:
        with open(os.path.join(work, "station.toml"), "w", encoding="utf-8") as f:
            f.write(STATION)
        melody_path = os.path.join(work, "sounds", *MELODY.split("/"))
        os.makedirs(os.path.dirname(melody_path))
        subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "make-melody.py"), melody_path],
                       check=True, timeout=60)
        config = os.path.join(work, "station.toml")
        result = subprocess.run([server, "import", os.path.join(SOURCE, "tools", "feed-demo"), "--config", config],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        checks.check(result.returncode == 0, "the bundled feed imports: %s" % result.stdout.decode()[-500:])

        port_file = os.path.join(work, "port")
        log = open(os.path.join(work, "server.log"), "wb")
        process = subprocess.Popen([server, "serve", "--config", config, "--now", CLOCK, "--frozen",
                                    "--port", "0", "--port-file", port_file], stdout=log, stderr=log)
        checks.check(wait_until(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 30),
                     "the server writes its port")
        port = int(open(port_file).read())

        board_dir = os.path.join(work, "board")
        os.makedirs(board_dir)
        exe = private_exe(board_dir)
        settings = write_settings(board_dir, "server=127.0.0.1\nport=%d\n台=1\n取得間隔=0.3\nメロディ=1\n" % port)

        # The next train's time blinks: snapshots until both phases are seen.
        phases = set()
        for attempt in range(8):
            picture_path = os.path.join(work, "board-%d.bmp" % attempt)
            code, _ = run_exe(exe, ["/snap", to_windows_path(picture_path), "2500", to_windows_path(settings)])
            picture = Picture(picture_path)
            first_time = lit(picture, 0, range(TIME_X, DEST_X))
            if attempt == 0:
                checks.check(code == 0, "snapshot exits with 0 (got %r)" % code)
                checks.check((picture.width, picture.height) == (780, 138),
                             "two rows of 256 dots: 780 x 138 (got %d x %d)" % (picture.width, picture.height))
                # The 8:03 rapid, then the 8:06 local, each destination in its
                # route's colour; only the next train's time blinks.
                for row, colour, name in ((0, ORANGE, "8:03 rapid"), (1, LIGHT_BLUE, "8:06 local")):
                    destination = lit(picture, row, range(DEST_X, WIDTH))
                    checks.check(set(destination) == {colour}, "row %d, the %s: destination in palette colour %d: %r"
                                 % (row + 1, name, colour, destination))
                    if row > 0:
                        steady = lit(picture, row, range(TIME_X, DEST_X))
                        checks.check(set(steady) == {GREEN}, "row %d: the time, not blinking, in green: %r"
                                     % (row + 1, steady))
                    checks.check(not lit(picture, row, range(0, TIME_X)), "nothing left of row %d's time" % (row + 1))
            checks.check(set(first_time) <= {GREEN}, "row 1: the time is green when lit: %r" % first_time)
            phases.add(bool(first_time))
            if len(phases) == 2:
                break
        checks.check(phases == {True, False}, "row 1: the rapid's time blinks (phases seen: %r)" % phases)

        # The melody event is on: the board downloaded the file into its cache.
        cached = os.path.join(board_dir, "sounds", *MELODY.split("/"))
        checks.check(os.path.exists(cached) and open(cached, "rb").read() == open(melody_path, "rb").read(),
                     "the melody is in the board's cache, byte for byte")
    finally:
        if process:
            code = stop_server(process)
            checks.check(code == 0, "the server ends on SIGTERM with 0 (got %r)" % code)
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
