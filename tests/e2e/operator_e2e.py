#!/usr/bin/env python3
"""The operator's JSON API reaching the real board: velmorant-server with the
small bundled feed at a frozen clock, velmorant.exe under Wine in snapshot
mode as board 1. A delay and a notice posted with a bearer token change
what the board draws: the late train keeps its time and gets a longer
destination (the delay text), and the notice takes the lowest row in its
colour in place of the second train."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.request

from e2elib import (Checks, Picture, SOURCE, lit, private_exe, run_exe, server_exe, to_windows_path,
                    stop_server, wait_until, write_settings)

TOKEN = "e2e-token-0123456789abcdef0123456789"
WIDTH, TIME_X, DEST_X = 256, 4, 80
LIGHT_BLUE, RED, YELLOW = 6, 3, 4

STATION = """[server]
listen = "127.0.0.1"
port = 0
[operator]
[[operator.token]]
name = "e2e"
token = "%s"
[[board]]
number = 1
name = "川辺 1番線"
station = "KAW"
platform_code = "1"
rows = 2
""" % TOKEN


def post(port, path, body):
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), data=json.dumps(body).encode())
    request.add_header("Authorization", "Bearer " + TOKEN)
    with urllib.request.urlopen(request, timeout=10) as reply:
        return reply.status


def main():
    checks = Checks()
    server = server_exe()
    if not os.access(server, os.X_OK):
        print("FAIL: no velmorant-server at %s (build the host preset first, or set VELMORANT_SERVER_EXE)" % server)
        sys.exit(1)
    work = tempfile.mkdtemp(prefix="velmorant-operator-e2e-")
    process = None
    try:
        config = os.path.join(work, "station.toml")
        with open(config, "w", encoding="utf-8") as f:
            f.write(STATION)
        subprocess.run([server, "import", os.path.join(SOURCE, "tests", "server", "feed"), "--config", config],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)
        port_file = os.path.join(work, "port")
        log = open(os.path.join(work, "server.log"), "wb")
        # Monday 7 December 2026, 7:10: the 7:20 and the 7:40 rapid to Konan.
        process = subprocess.Popen([server, "serve", "--config", config, "--now", "2026-12-07T07:10", "--frozen",
                                    "--port-file", port_file], stdout=log, stderr=log)
        checks.check(wait_until(lambda: os.path.exists(port_file), 30), "the server writes its port")
        port = int(open(port_file).read())

        board_dir = os.path.join(work, "board")
        os.makedirs(board_dir)
        exe = private_exe(board_dir)
        settings = write_settings(board_dir, "server=127.0.0.1\nport=%d\n台=1\n取得間隔=0.3\n" % port)

        def snapshot(name):
            path = os.path.join(work, name)
            code, _ = run_exe(exe, ["/snap", to_windows_path(path), "2500", to_windows_path(settings)])
            checks.check(code == 0, "%s: the snapshot exits with 0 (got %r)" % (name, code))
            return Picture(path)

        before = snapshot("before.bmp")
        time_before = lit(before, 0, range(TIME_X, DEST_X))
        destination_before = lit(before, 0, range(DEST_X, WIDTH))
        checks.check(set(destination_before) == {LIGHT_BLUE}, "row 1: the 7:20 in light blue: %r" % destination_before)
        checks.check(set(lit(before, 1, range(DEST_X, WIDTH))) == {RED}, "row 2: the 7:40 rapid in red")

        checks.check(post(port, "/api/v1/delays", {"board": 1, "trip_id": "L103", "service_date": 20261207,
                                                   "minutes": 5}) == 200, "the delay is taken")
        checks.check(post(port, "/api/v1/notices", {"boards": [1], "text_jp": "強風のため徐行運転中",
                                                    "text_en": "Slow running: strong wind", "color": "Y"}) == 201,
                     "the notice is taken")

        after = snapshot("after.bmp")
        time_after = lit(after, 0, range(TIME_X, DEST_X))
        destination_after = lit(after, 0, range(DEST_X, WIDTH))
        checks.check(time_after == time_before, "row 1: the scheduled time is still shown: %r / %r"
                     % (time_before, time_after))
        checks.check(set(destination_after) == {LIGHT_BLUE} and
                     destination_after[LIGHT_BLUE] > destination_before[LIGHT_BLUE] + 40,
                     "row 1: the destination gains the delay text: %r -> %r" % (destination_before, destination_after))
        notice = lit(after, 1, range(0, WIDTH))
        checks.check(set(notice) == {YELLOW} and notice[YELLOW] > 100,
                     "row 2: the notice in yellow in place of the 7:40: %r" % notice)
    finally:
        if process:
            stop_server(process)
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
