#!/usr/bin/env python3
"""A board whose server goes silent: after more than 15 s without a
document the last row shows the red stale line while the other rows keep
the last document."""

import os
import shutil
import tempfile

from e2elib import BoardServer, Checks, Picture, classic_dot, palette_index, snapshot, write_settings

LAYOUT = (3, 6, 36)
DOCUMENT = ("velmorant 2\nline=train\t12:34\t東京\tTokyo\t\t0\nline=text\t案内\tNotice\tG\tc\nend\n")


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-e2e-")
    server = BoardServer()
    try:
        server.put_board(1, DOCUMENT)
        # The first request gets the document; every later one a silent close.
        server.control("script", steps=[{}] + [{"close_silently": True}] * 200)
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n取得間隔=0.5\n" % server.port)
        picture_path = os.path.join(work, "stale.bmp")
        code, _ = snapshot(settings, picture_path, 17500)
        checks.check(code == 0, "snapshot exits with 0")
        picture = Picture(picture_path)
        colours0, colours1 = set(), set()
        for dot_row in range(16):
            for column in range(256):
                colours0.add(palette_index(classic_dot(picture, LAYOUT, column, dot_row)))
                colours1.add(palette_index(classic_dot(picture, LAYOUT, column, 16 + dot_row)))
        checks.check({1, 2} <= colours0, "first row still shows the train: %r" % colours0)
        checks.check(3 in colours1 and 1 not in colours1, "last row is the red stale line: %r" % colours1)
        checks.check(server.request_count() >= 5, "the board kept asking")
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
