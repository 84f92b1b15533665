#!/usr/bin/env python3
"""The boot self-check screen in real snapshots of a kiosk child
("/child /snap", 800 x 600): black at first, the banner, the check lines on
their schedule, WAIT and then NG with the retry count when no document
comes, SYSTEM READY once one has come, and then the board itself.

Snapshot times are chosen inside the windows of the timeline with room for
the few tens of milliseconds between the boot screen's start and the start
of the snapshot's clock; the texts are read back by colour from the pixel
rows of the screen's geometry (text height 23, left margin 57, top 66)."""

import os
import shutil
import socket
import subprocess
import tempfile

from e2elib import (BoardServer, Checks, Picture, to_windows_path, velmorant_exe, write_settings)

SIZE = 54 + 800 * 600 * 4
X0, Y0, A = 57, 66, 23
LINE_Y = [158, 192, 227, 261, 296, 330]
MESSAGE_Y, BAR_Y, BAR_H = 411, 457, 11

WHITE, GREY, LINE_GREY = (255, 255, 255), (150, 150, 150), (200, 200, 200)
GREEN, AMBER, RED = (64, 255, 64), (255, 224, 0), (255, 48, 48)
TRACK, FILL = (40, 40, 40), (64, 200, 64)

DOCUMENT = "velmorant 2\nplatform=3\nlabelJp=起動テスト\nline=train\t10:00\t大阪\tOsaka\t\t0\nend\n"
BOARD_DIGITS = "1234567890"


def start_snapshot(settings, picture, ms):
    command = ["wine", velmorant_exe(), "/child", "/snap", to_windows_path(picture), str(ms),
               to_windows_path(settings)]
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)


def finish(process):
    _, error = process.communicate(timeout=180)
    return process.returncode, error.decode("utf-8", "replace")


def ink(picture, colour, y, x0=0, x1=800, height=A + 8):
    """How many pixels of exactly this colour lie in the band."""
    found = 0
    for row in range(y, min(y + height, 600)):
        for x in range(x0, x1):
            if picture.pixel(x, row) == colour:
                found += 1
    return found


def leftmost(picture, colour, y, height=A + 8):
    xs = [x for row in range(y, min(y + height, 600)) for x in range(800) if picture.pixel(x, row) == colour]
    return min(xs) if xs else None


def rightmost(picture, colour, y, height=A + 8):
    xs = [x for row in range(y, min(y + height, 600)) for x in range(800) if picture.pixel(x, row) == colour]
    return max(xs) if xs else None


def bar(picture):
    """(fill width, track width) along the middle row of the progress bar."""
    y = BAR_Y + BAR_H // 2
    x = X0
    while x < 800 and picture.pixel(x, y) == FILL:
        x += 1
    fill = x - X0
    while x < 800 and picture.pixel(x, y) == TRACK:
        x += 1
    return fill, x - X0


def bar_rows(picture):
    """The rows at the bar's left end that belong to the bar."""
    return [y for y in range(BAR_Y - 3, BAR_Y + BAR_H + 3) if picture.pixel(X0, y) in (FILL, TRACK)]


def cell_mask(picture, x, y, cw):
    return tuple(picture.pixel(x + dx, y + dy) != (0, 0, 0) for dy in range(A + 8) for dx in range(cw))


def read_number(picture, x, y, cw, glyphs):
    """Digits drawn from cell x onwards, matched against known digit glyphs."""
    text = ""
    while x + cw <= 800:
        mask = cell_mask(picture, x, y, cw)
        digit = glyphs.get(mask)
        if digit is None:
            break
        text += digit
        x += cw
    return text


def lines_shown(picture):
    return [i for i, y in enumerate(LINE_Y) if ink(picture, LINE_GREY, y, X0, 400) > 30]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-boot-")
    serving = BoardServer()
    refusing = BoardServer()  # answers every request with 404: no document ever
    try:
        serving.put_board(1, DOCUMENT)
        good = write_settings(work, "server=127.0.0.1\nport=%d\n取得間隔=0.5\n" % serving.port, "good.ini")
        no_doc = write_settings(work, "server=127.0.0.1\nport=%d\nboard=%s\n" % (refusing.port, BOARD_DIGITS),
                                "nodoc.ini")
        dead = write_settings(work, "server=127.0.0.1\nport=%d\nboard=%s\nメロディ=0\n"
                              % (closed_port(), BOARD_DIGITS), "dead.ini")

        # Long runs, started after the timeline checks: no document for over 20 s.
        long_runs = {
            "nodoc": (no_doc, 21000),
            "dead-a": (dead, 21300),
            "dead-b": (dead, 21900),
        }

        pictures = {}

        def take(name, settings, ms):
            path = os.path.join(work, name + ".bmp")
            code, error = finish(start_snapshot(settings, path, ms))
            checks.check(code == 0, "%s: exit code 0 (got %r, %s)" % (name, code, error.strip()))
            checks.check(os.path.exists(path) and os.path.getsize(path) == SIZE,
                         "%s: an 800 x 600 picture of %d bytes" % (name, SIZE))
            if os.path.exists(path):
                pictures[name] = Picture(path)
            return pictures.get(name)

        # Up to 600 ms: black.
        p = take("black", dead, 150)
        if p is not None:
            checks.check(p.width == 800 and p.height == 600, "800 x 600 (%dx%d)" % (p.width, p.height))
            checks.check(p.data[p.offset:].count(0) == 800 * 600 * 4, "at 150 ms the screen is all black")

        # Over 600 ms: banner and maker's notice, no check line before 1400.
        p = take("banner", dead, 900)
        if p is not None:
            checks.check(ink(p, WHITE, Y0) > 100, "banner in white at y0")
            checks.check(leftmost(p, WHITE, Y0) in range(X0, X0 + 4), "banner starts at x0 = 57 (%r)"
                         % leftmost(p, WHITE, Y0))
            checks.check(ink(p, GREY, Y0 + 3 * A // 2) > 100, "maker's notice in grey under the banner")
            checks.check(lines_shown(p) == [], "no check line before 1400 ms (%r)" % lines_shown(p))
            checks.check(bar_rows(p) == [], "no progress bar yet")

        # 1400: line 0; 2450: line 3 (the four first lines until 2800).
        p = take("one-line", dead, 1480)
        if p is not None:
            checks.check(lines_shown(p) == [0], "only line 0 at about 1.5 s (%r)" % lines_shown(p))
            checks.check(leftmost(p, LINE_GREY, LINE_Y[0]) in range(X0, X0 + 4), "line 0 at x0, y 158")
        p = take("four-lines", dead, 2500)
        if p is not None:
            checks.check(lines_shown(p) == [0, 1, 2, 3], "lines 0 to 3 at about 2.5 s (%r)" % lines_shown(p))
            checks.check(ink(p, AMBER, LINE_Y[3]) > 10, "SERVER waits in amber")
            checks.check(bar_rows(p) == [], "no footer before 3500 ms")

        # The timeline checks above ran alone, so that a busy machine delays
        # the start-up only a little; the long runs now go side by side with
        # the rest.
        started = {name: start_snapshot(path, os.path.join(work, name + ".bmp"), ms)
                   for name, (path, ms) in long_runs.items()}

        # From 3500: six lines, message and bar; SERVER still WAIT.
        p = take("footer", dead, 4300)
        cw = None
        if p is not None:
            checks.check(lines_shown(p) == [0, 1, 2, 3, 4, 5], "six check lines (%r)" % lines_shown(p))
            checks.check(ink(p, LINE_GREY, 365, X0, 800) == 0, "never a seventh line")
            rows = bar_rows(p)
            checks.check(rows == list(range(BAR_Y, BAR_Y + BAR_H)), "bar rows 457..467 (%r)" % rows)
            fill, track = bar(p)
            checks.check(track > 0 and track % 40 == 0, "track is 40 digit widths (%d)" % track)
            cw = track // 40 if track else None
            if cw:
                status_x = X0 + 46 * cw
                checks.check(leftmost(p, GREEN, LINE_Y[0]) in range(status_x, status_x + 3),
                             "SYSTEM OK at x0 + 46 cw = %d (%r)" % (status_x, leftmost(p, GREEN, LINE_Y[0])))
                checks.check(leftmost(p, AMBER, LINE_Y[3]) in range(status_x, status_x + 3),
                             "SERVER WAIT in the status column (%r)" % leftmost(p, AMBER, LINE_Y[3]))
                # 36 cw * e / 20000 with e from 4300 ms on (and well under 5300).
                checks.check(36 * cw * 4300 // 20000 <= fill <= 36 * cw * 5300 // 20000,
                             "bar creeping with the time: %d of %d" % (fill, track))
            checks.check(ink(p, RED, LINE_Y[3]) == 0, "no NG before 20 s")
            checks.check(ink(p, GREEN, LINE_Y[4]) == 0 and ink(p, GREY, LINE_Y[4], X0 + 300) == 0,
                         "BOARD NO. has no status")

        # A server that answers at once: ready at 6 s, the board at 7.5 s.
        p = take("ready", good, 6700)
        if p is not None:
            checks.check(ink(p, GREEN, MESSAGE_Y, X0, 400) > 100, "SYSTEM READY in green")
            checks.check(ink(p, WHITE, MESSAGE_Y) == 0, "no starting message once ready")
            fill, track = bar(p)
            checks.check(track > 0 and fill == track, "bar full when ready (%d of %d)" % (fill, track))
            checks.check(ink(p, AMBER, LINE_Y[3]) == 0 and ink(p, GREEN, LINE_Y[3]) > 10, "SERVER OK")
        p = take("board", good, 9000)
        if p is not None:
            # The classic board in the same 800 x 600 area: pitch 3, housing at (10, 231).
            checks.check(p.pixel(11, 232) == (26, 26, 28), "housing after the boot screen (%r)"
                         % (p.pixel(11, 232),))
            checks.check(p.pixel(17, 238) == (52, 52, 58), "header band (%r)" % (p.pixel(17, 238),))
            lit = sum(1 for row in range(267, 267 + 96, 3) for x in range(16, 16 + 768, 3)
                      if max(p.pixel(x + 1, row + 1)) > 100)
            checks.check(lit > 20, "LED dots of the document are lit (%d)" % lit)
            checks.check(ink(p, LINE_GREY, LINE_Y[0]) == 0, "no check line left")
        checks.check(serving.request_count() >= 2, "the board fetched its documents")

        # The long runs: NG with the retry count.
        shown_messages = 0
        for name, process in started.items():
            code, error = finish(process)
            path = os.path.join(work, name + ".bmp")
            checks.check(code == 0 and os.path.exists(path) and os.path.getsize(path) == SIZE,
                         "%s: picture written (%r %s)" % (name, code, error.strip()))
            if not os.path.exists(path):
                continue
            p = Picture(path)
            checks.check(ink(p, AMBER, LINE_Y[3]) == 0, "%s: WAIT is gone after 20 s" % name)
            checks.check(ink(p, RED, LINE_Y[3]) > 30, "%s: SERVER NG in red" % name)
            fill, track = bar(p)
            checks.check(track > 0 and fill * 40 == track * 36, "%s: bar stops at nine tenths (%d of %d)"
                         % (name, fill, track))
            if not track:
                continue
            cw_here = track // 40
            status_x = X0 + 46 * cw_here
            checks.check(leftmost(p, RED, LINE_Y[3]) in range(status_x, status_x + 3),
                         "%s: NG in the status column" % name)
            # The board number line holds the ten digits in columns 21..30:
            # their glyphs read the retry count back.
            glyphs = {}
            for k, digit in enumerate(BOARD_DIGITS):
                glyphs[cell_mask(p, X0 + (21 + k) * cw_here, LINE_Y[4], cw_here)] = digit
            checks.check(len(glyphs) == 10, "%s: ten distinct digit glyphs" % name)
            retry = read_number(p, status_x + 10 * cw_here, LINE_Y[3], cw_here, glyphs)
            print(name, "retry count read back:", repr(retry))
            checks.check(retry.isdigit(), "%s: NG  RETRY is followed by a number (%r)" % (name, retry))
            if retry.isdigit():
                # One cycle a second (the fetch interval's default) for 21 s.
                checks.check(10 <= int(retry) <= 25, "%s: about one retry a second (%s)" % (name, retry))
                if name == "nodoc":
                    count = refusing.request_count()
                    checks.check(abs(count - int(retry)) <= 1,
                                 "retry count %s matches the %d requests the server saw" % (retry, count))
                right = rightmost(p, RED, LINE_Y[3])
                checks.check(right is not None and right < status_x + (10 + len(retry)) * cw_here,
                             "%s: nothing after the number" % name)
            # The message blinks; when it shows, it is the failure text (24
            # characters, wider than the 17 of the starting text).
            right = rightmost(p, WHITE, MESSAGE_Y)
            if right is not None:
                shown_messages += 1
                checks.check(right > X0 + 40 * cw_here, "%s: the failure message after 20 s" % name)
        checks.check(shown_messages >= 1, "the failure message shows in at least one of the long runs")
    finally:
        serving.stop()
        refusing.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
