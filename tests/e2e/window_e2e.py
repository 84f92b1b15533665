#!/usr/bin/env python3
"""The board in a real window under Xvfb, driven by xdotool: the first start
centred, full screen, frame and topmost by key and double-click, the placement file after exit and
its use at the next start, the settings file watched while running, and a
kiosk child that ignores every way out."""

import configparser
import os
import shutil
import tempfile
import time

from e2elib import BoardServer, Checks, to_windows_path, velmorant_exe, wait_until, write_settings
from xsession import XSession

DOCUMENT = "velmorant 2\nplatform=2\nlabelJp=窓テスト\nline=train\t10:00\t大阪\tOsaka\t\t0\nend\n"


def read_placement(path):
    parser = configparser.ConfigParser()
    with open(path, encoding="utf-16" if open(path, "rb").read(2) == b"\xff\xfe" else "utf-8") as f:
        parser.read_file(f)
    return {key: int(value) for key, value in parser["window"].items()}


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-window-")
    server = BoardServer()
    other = BoardServer()
    x = XSession(1024, 768)
    board = None
    try:
        server.put_board(1, DOCUMENT)
        other.put_board(1, DOCUMENT.replace("窓テスト", "別サーバー"))
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n取得間隔=0.3\n" % server.port)
        board = x.start_board(velmorant_exe(), [to_windows_path(settings)])
        window = x.find_window()
        checks.check(window is not None, "the board window appears")
        if window is None:
            return
        checks.check(wait_until(lambda: "窓テスト" in x.title(window), 20),
                     "title follows the document: %r" % x.title(window))
        windowed = x.geometry(window)
        print("windowed geometry", windowed)
        # First start, no placement file: the client area is 780 x 138.
        checks.check(windowed is not None and windowed[2:] == (780, 138),
                     "first start gives a 780 x 138 client area: %r" % (windowed,))

        x.key(window, "F11")
        checks.check(wait_until(lambda: x.geometry(window) == (0, 0, 1024, 768), 10),
                     "F11 enters full screen: %r" % (x.geometry(window),))
        x.key(window, "Escape")
        checks.check(wait_until(lambda: x.geometry(window) == windowed, 10),
                     "Esc leaves full screen: %r" % (x.geometry(window),))
        x.double_click(window, 200, 60)
        checks.check(wait_until(lambda: x.geometry(window) == (0, 0, 1024, 768), 10),
                     "double-click enters full screen")
        x.double_click(window, 200, 60)
        checks.check(wait_until(lambda: x.geometry(window) == windowed, 10), "double-click leaves it")

        x.key(window, "F10")
        time.sleep(1)
        borderless = x.geometry(window)
        print("borderless geometry", borderless)
        # Without its frame the board fills its outer rectangle, which the
        # first start centred on the work area (the whole screen here).
        checks.check(borderless is not None and borderless[0] == (1024 - borderless[2]) // 2 and
                     borderless[1] == (768 - borderless[3]) // 2,
                     "first start centres the window on the work area: %r" % (borderless,))
        x.key(window, "F9")
        x.key(window, "F11")
        checks.check(wait_until(lambda: x.geometry(window) == (0, 0, 1024, 768), 10), "full screen again")

        # Saving the settings file: the title and the server follow.
        before = other.request_count()
        write_settings(work, "server=127.0.0.1\nport=%d\n取得間隔=0.3\n" % other.port)
        checks.check(wait_until(lambda: str(other.port) in x.title(window), 5),
                     "title shows the new server: %r" % x.title(window))
        checks.check(wait_until(lambda: other.request_count() > before, 5), "requests go to the new server")

        # Leave while full screen: the windowed rectangle and the modes are kept.
        x.key(window, "alt+F4")
        checks.check(wait_until(lambda: board.poll() is not None, 20), "Alt+F4 closes a normal board")
        checks.check(board.poll() == 0, "exit code 0 (got %r)" % board.poll())
        placement_path = settings + ".pos"
        checks.check(os.path.exists(placement_path), "placement file written")
        if os.path.exists(placement_path):
            placement = read_placement(placement_path)
            print("placement", placement)
            checks.check(placement.get("fullscreen") == 1 and placement.get("borderless") == 1 and
                         placement.get("topmost") == 1, "modes saved")
            checks.check(placement.get("w") != 1024 and placement.get("h") != 768,
                         "the windowed rectangle is saved, not the monitor")

        # The next start restores them: borderless, then full screen.
        board = x.start_board(velmorant_exe(), [to_windows_path(settings)])
        window = x.find_window()
        checks.check(window is not None and wait_until(lambda: x.geometry(window) == (0, 0, 1024, 768), 20),
                     "full screen restored at the next start")
        if window is not None:
            x.key(window, "F11")
            checks.check(wait_until(lambda: x.geometry(window) not in (None, (0, 0, 1024, 768)), 10),
                         "leaves full screen to the saved rectangle")
            x.key(window, "alt+F4")
        wait_until(lambda: board.poll() is not None, 20)

        # A kiosk child ignores Alt+F4, Esc and F11.
        board = x.start_board(velmorant_exe(), ["/child", to_windows_path(settings)])
        window = x.find_window()
        checks.check(window is not None and wait_until(lambda: x.geometry(window) == (0, 0, 1024, 768), 20),
                     "kiosk child covers the screen")
        if window is not None:
            for key in ("alt+F4", "Escape", "F11"):
                x.key(window, key)
                time.sleep(1.0)
                checks.check(board.poll() is None and x.geometry(window) == (0, 0, 1024, 768),
                             "kiosk child ignores %s" % key)
        board.kill()
        board = None
    finally:
        if board is not None and board.poll() is None:
            board.kill()
        x.stop()
        server.stop()
        other.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
