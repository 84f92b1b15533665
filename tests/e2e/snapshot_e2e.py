#!/usr/bin/env python3
"""The real velmorant.exe under Wine in snapshot mode against the scripted
board server: the picture it writes, read back dot by dot, the request it
sends, and its exit codes."""

import os
import shutil
import tempfile
import time

from e2elib import (BoardServer, Checks, Picture, classic_dot, palette_index, snapshot,
                    to_windows_path, write_settings, run_board)

# Default classic board in a 780 x 138 window: pitch 3, LED panel at (6, 36).
LAYOUT = (3, 6, 36)
WIDTH, ROWS, TIME_X, DEST_X = 256, 2, 4, 80

DOCUMENT = ("velmorant 2\nplatform=3\nlabelJp=3番線\nlabelEn=Track 3\ncapTime=時刻\ncapDest=行先\n"
            "line=train\t12:34\t東京\tTokyo\t\t0\n"
            "line=text\tご案内\tNotice\t\tc\n"
            "end\n")


def lit_colours(picture, columns, row):
    """Palette indices of the lit dots of one board row within columns."""
    found = {}
    for dot_row in range(16 * row, 16 * row + 16):
        for column in columns:
            index = palette_index(classic_dot(picture, LAYOUT, column, dot_row))
            if index not in (0, None):
                found.setdefault(index, []).append(column)
    return found


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-e2e-")
    server = BoardServer()
    try:
        server.put_board(3, DOCUMENT)
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n台=3\n取得間隔=0.3\nメロディ=0\n"
                                  % server.port)
        picture_path = os.path.join(work, "board.bmp")
        code, _ = snapshot(settings, picture_path, 3000)
        checks.check(code == 0, "snapshot exits with 0 (got %r)" % code)
        checks.check(os.path.getsize(picture_path) == 430614, "780 x 138 picture is 430,614 bytes")
        picture = Picture(picture_path)
        checks.check((picture.width, picture.height, picture.bits) == (780, 138, 32),
                     "header says 780 x 138 x 32")

        # What went over the wire.
        first = server.request(0)
        expected = ("GET /api/boards/3/display.txt HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n"
                    "User-Agent: velmorant-w2k/2.0\r\nConnection: close\r\n\r\n" % server.port).encode()
        checks.check(first == expected, "request bytes on the wire: %r" % first)

        # Train row: the time in timeColor (green) inside the time field, the
        # destination in orange from destX on, nothing else lit.
        row0 = lit_colours(picture, range(WIDTH), 0)
        checks.check(set(row0) == {1, 2}, "train row lights green and orange only: %r" % sorted(row0))
        if 1 in row0 and 2 in row0:
            checks.check(min(row0[1]) >= TIME_X and max(row0[1]) < DEST_X, "time stays in its field")
            checks.check(min(row0[2]) >= DEST_X, "destination starts at destX")
        # Text row: green and centred.
        row1 = lit_colours(picture, range(WIDTH), 1)
        checks.check(set(row1) == {1}, "text row is green: %r" % sorted(row1))
        if 1 in row1:
            left, right = min(row1[1]), max(row1[1])
            checks.check(abs((left + right) / 2 - WIDTH / 2) <= 3, "text row is centred (%d..%d)" % (left, right))
        # Unlit dots are drawn, the panel between dots is black.
        checks.check(classic_dot(picture, LAYOUT, 255, 31) == (30, 30, 30), "unlit dot colour")
        checks.check(picture.pixel(6, 36) == (0, 0, 0) or picture.pixel(6, 36) != (26, 26, 28),
                     "panel corner is not housing")
        # Header: housing, header band, platform square with black text, white label.
        checks.check(picture.pixel(1, 1) == (26, 26, 28), "housing colour")
        checks.check(picture.pixel(6 + 3 * 256 - 2, 6 + 1) == (52, 52, 58), "header band colour")
        checks.check(picture.pixel(6 + 3 + 1, 6 + 3 + 1) == (250, 250, 250), "platform square")
        square = [picture.pixel(x, y) for x in range(9, 24) for y in range(9, 24)]
        checks.check(any(p[0] < 100 for p in square), "platform number drawn in black")
        label = [picture.pixel(x, y) for x in range(6 + 24, 6 + 200) for y in range(9, 24)]
        checks.check(any(p == (255, 255, 255) for p in label), "label drawn in white")
        captions = [picture.pixel(x, y) for x in range(6 + 12, 6 + 240) for y in range(6 + 18, 6 + 30)]
        checks.check(any(p == (200, 200, 200) for p in captions), "captions drawn in grey")

        # Time 0: written at once, before any document (connecting lines).
        started = time.time()
        quick = os.path.join(work, "quick.bmp")
        code, _ = snapshot(settings, quick, 0)
        checks.check(code == 0 and os.path.getsize(quick) == 430614, "/snap with time 0 writes the picture")
        checks.check(time.time() - started < 20, "/snap with time 0 does not wait")

        # No server: the connecting lines, white, on rows 0 and 1.
        closed = write_settings(work, "server=127.0.0.1\nport=1\n台=3\n", "closed.ini")
        waiting = os.path.join(work, "waiting.bmp")
        code, _ = snapshot(closed, waiting, 1500)
        picture = Picture(waiting)
        row0 = lit_colours(picture, range(WIDTH), 0)
        row1 = lit_colours(picture, range(WIDTH), 1)
        checks.check(code == 0 and set(row0) == {5}, "connecting line in white: %r" % sorted(row0))
        checks.check(set(row1) == {5}, "server address line in white: %r" % sorted(row1))

        # Bad snapshot paths: exit code 1, a line on stderr, nothing left.
        missing_dir = os.path.join(work, "no-such-dir", "x.bmp")
        code, error = snapshot(settings, missing_dir, 0)
        checks.check(code == 1, "unwritable snapshot path ends with 1 (got %r)" % code)
        checks.check(error.strip() != "", "the failure is reported on stderr")
        checks.check(not os.path.exists(os.path.dirname(missing_dir)), "nothing left behind")
        directory_target = os.path.join(work, "a-directory")
        os.makedirs(directory_target)
        code, _ = snapshot(settings, directory_target, 0)
        checks.check(code == 1 and os.path.isdir(directory_target), "a directory as target: 1, untouched")
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
