#!/usr/bin/env python3
"""The kiosk under Xvfb: a "/kiosk" watchdog starts the board as a "/child",
Ctrl+Alt+Shift+F12 opens the maintenance menu on it, and choosing
"発車標を再起動(&B)" (access key B) ends that child with code 10, after which
the watchdog starts a new child at once. Only the board restart is chosen
here: nothing in this test may restart or power off the machine."""

import os
import shutil
import subprocess
import tempfile
import time

from e2elib import BoardServer, Checks, to_windows_path, velmorant_exe, wait_until, write_settings
from xsession import XSession

DOCUMENT = "velmorant 2\nplatform=1\nlabelJp=保守テスト\nline=train\t11:00\t京都\tKyoto\t\t0\nend\n"


def child_processes(marker):
    """Unix pids of the running kiosk children given this test's settings
    file (marker: its unique folder name), whatever else runs on the machine."""
    listing = subprocess.run(["ps", "-eo", "pid=,args="], stdout=subprocess.PIPE, timeout=30).stdout
    found = []
    for line in listing.decode("utf-8", "replace").splitlines():
        pid, _, args = line.strip().partition(" ")
        if "velmorant.exe" in args and "/child" in args and "/kiosk" not in args and marker in args:
            found.append(int(pid))
    return sorted(found)


def visible_windows(x):
    text = x.xdotool("search", "--onlyvisible", "--class", "velmorant.exe")
    return set(text.split())


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-kiosk-")
    server = BoardServer()
    x = XSession(1024, 768)
    watchdog = None
    try:
        server.put_board(1, DOCUMENT)
        marker = os.path.basename(work)
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n取得間隔=0.3\n起動画面=0\n" % server.port)
        watchdog = x.start_board(velmorant_exe(), ["/kiosk", to_windows_path(settings)])
        window = x.find_window("保守テスト")
        checks.check(window is not None, "the watchdog's child shows the board")
        if window is None:
            return
        checks.check(wait_until(lambda: x.geometry(window) == (0, 0, 1024, 768), 20),
                     "the child covers the screen: %r" % (x.geometry(window),))
        first_children = child_processes(marker)
        print("children", first_children)
        checks.check(len(first_children) == 1, "one child runs (%r)" % first_children)

        # The hot key opens the maintenance menu: a new, small window. Esc
        # closes it again without any action.
        before = visible_windows(x)
        x.xdotool("windowactivate", "--sync", window)
        time.sleep(0.5)
        x.xdotool("key", "ctrl+alt+shift+F12")
        checks.check(wait_until(lambda: len(visible_windows(x) - before) >= 1, 10),
                     "Ctrl+Alt+Shift+F12 opens the menu")
        x.xdotool("key", "Escape")
        checks.check(wait_until(lambda: len(visible_windows(x) - before) == 0, 10), "Esc closes the menu")
        time.sleep(1.0)
        checks.check(watchdog.poll() is None and child_processes(marker) == first_children,
                     "closing the menu ends nothing")

        x.xdotool("windowactivate", "--sync", window)
        time.sleep(0.5)
        x.xdotool("key", "ctrl+alt+shift+F12")
        checks.check(wait_until(lambda: len(visible_windows(x) - before) >= 1, 10),
                     "Ctrl+Alt+Shift+F12 opens the menu")
        menus = visible_windows(x) - before
        for menu in menus:
            geometry = x.geometry(menu)
            print("menu window", menu, geometry)
            checks.check(geometry is not None and geometry[2] < 1024 and geometry[3] < 768,
                         "the menu is a pop-up, not another board (%r)" % (geometry,))
            checks.check(geometry is not None and geometry[:2] == (1024 // 3, 768 // 4),
                         "the menu opens a third across and a quarter down the screen (%r)" % (geometry,))
        checks.check(watchdog.poll() is None and child_processes(marker) == first_children,
                     "opening the menu ends nothing")

        # B: restart the board. The old child ends and a new one comes at once.
        requests_before = server.request_count()
        x.xdotool("key", "b")
        checks.check(first_children and wait_until(lambda: first_children[0] not in child_processes(marker), 20),
                     "the child ends after 発車標を再起動")
        checks.check(wait_until(lambda: len(child_processes(marker)) == 1 and child_processes(marker) != first_children, 20),
                     "the watchdog starts a new child (%r, was %r)" % (child_processes(marker), first_children))
        checks.check(watchdog.poll() is None, "the watchdog keeps running")
        # (The X server may hand the new window the id the old one had, since
        # the ids are allocated per client connection.)
        new_window = x.find_window("保守テスト", timeout=30)
        checks.check(new_window is not None and
                     wait_until(lambda: x.geometry(new_window) == (0, 0, 1024, 768), 20),
                     "the new child's board window covers the screen again")
        checks.check(wait_until(lambda: server.request_count() > requests_before + 2, 20),
                     "the new child fetches from the server")
    finally:
        # Ending the Wine session ends the watchdog and its child.
        x.stop()
        if watchdog is not None and watchdog.poll() is None:
            watchdog.kill()
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
