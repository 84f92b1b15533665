#!/usr/bin/env python3
"""A kiosk board whose screen changes size under it. The board runs full
screen in a Wine desktop on Xvfb; a helper in the same desktop changes the
display mode (a real mode change: Wine resizes the desktop and tells every
window), and the board must cover the new screen, larger, smaller and
larger again, and keep the mouse pointer parked in the screen's corner.
Checked twice: the window rectangle as Windows reports it, and the screen's
pixels as a user would see them.

Every program is started in the desktop by its own "explorer /desktop=..."
launcher, and the first launcher to get there becomes the desktop's owner:
it makes the desktop's X window and must live as long as the desktop. On a
cold Wine server the board's launcher is slow, so a helper launched right
after it could win that race. The desktop then belonged to the helper's
launcher, and Wine closes a desktop a second after its owner is left as its
only user: the helper ends at once, and when the board had not yet arrived
the owner was told to quit, the desktop's X window went with it and no
window could open there again. So the board is started alone, and no
helper runs before the desktop and the board's window are on the X screen."""

import os
import shutil
import subprocess
import tempfile
import time

from e2elib import BoardServer, Checks, to_windows_path, velmorant_exe, wait_until, write_settings
from xsession import XSession

DOCUMENT = "velmorant 2\nplatform=4\nlabelJp=画面テスト\nline=train\t10:00\t東京\tTokyo\t\t0\nend\n"
DESKTOP = "velmorant-display"


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-display-")
    server = BoardServer()
    x = XSession(1024, 768)
    tool = to_windows_path(os.environ["VELMORANT_DISPLAYTOOL"])

    def in_desktop(program, *arguments):
        return x.start_board("explorer", ["/desktop=%s,800x600" % DESKTOP, program] + list(arguments))

    def run_tool(*arguments):
        """Runs the helper in the board's desktop; its result file's text."""
        out = os.path.join(work, "tool.out")
        if os.path.exists(out):
            os.remove(out)
        launcher = in_desktop(tool, *(list(arguments) + [to_windows_path(out)]))
        if not wait_until(lambda: os.path.exists(out) and os.path.getsize(out) > 0, 60):
            print("helper gave no result:", arguments, launcher.poll())
        try:
            launcher.wait(timeout=30)
        except subprocess.TimeoutExpired:
            launcher.kill()
        if not os.path.exists(out):
            return ""
        with open(out) as f:
            return f.read().strip()

    last_pointer = [None]

    def board_and_monitor():
        fields = run_tool("board").split()
        if len(fields) != 11 or fields[0] != "1":
            return None, None
        numbers = [int(v) for v in fields[1:]]
        last_pointer[0] = tuple(numbers[8:])
        return tuple(numbers[:4]), tuple(numbers[4:8])

    def covers(width, height):
        window, monitor = board_and_monitor()
        return window == (0, 0, width, height) and monitor == (0, 0, width, height)

    def pointer_parked(width, height):
        """The kiosk board keeps the pointer on the screen's bottom-right
        pixel; a new resolution alone would leave it where it was."""
        board_and_monitor()
        return last_pointer[0] == (width - 1, height - 1)

    def picture_centre(name):
        """The centre of what the board draws on the screen (everything that
        is not the black around it). The board centres its housing in its
        window, so a window that covers the screen puts it at the screen's
        centre; a window left at an old size puts it elsewhere."""
        shot = os.path.join(work, name)
        x.screenshot(shot)
        box = subprocess.run(["convert", shot, "-format", "%@", "info:"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=60).stdout.decode().strip()
        print(name, box)
        try:
            size, left, top = box.split("+")
            width, height = (int(v) for v in size.split("x"))
            return (int(left) + width // 2, int(top) + height // 2)
        except ValueError:
            return None

    def centred_on(name, width, height):
        centre = picture_centre(name)
        return centre is not None and abs(centre[0] - width // 2) <= 3 and abs(centre[1] - height // 2) <= 3

    board = None
    try:
        server.put_board(1, DOCUMENT)
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n取得間隔=0.3\n起動画面=0\n" % server.port)
        board = in_desktop(to_windows_path(velmorant_exe()), "/child", to_windows_path(settings))
        desktop_up = x.find_window(DESKTOP + " - Wine desktop", timeout=120) is not None
        board_up = desktop_up and x.find_window("発車標", timeout=120) is not None
        checks.check(desktop_up and board_up, "the desktop (%s) and the board window (%s) appear on the X screen"
                     % (desktop_up, board_up))
        if not board_up:
            checks.finish()  # nothing else can be checked
        checks.check(wait_until(lambda: covers(800, 600), 60),
                     "the kiosk board covers the 800 x 600 screen: %r" % (board_and_monitor(),))
        checks.check(wait_until(lambda: pointer_parked(800, 600), 10),
                     "the pointer is parked in the corner: %r" % (last_pointer[0],))
        time.sleep(1)
        checks.check(centred_on("start.png", 800, 600), "the board is drawn in the middle of the screen")

        previous = (800, 600)
        for width, height in ((1024, 768), (640, 480), (800, 600)):
            size = "%d x %d" % (width, height)
            checks.check(run_tool("set", str(width), str(height)) == "0", "the display mode changes to " + size)
            checks.check(wait_until(lambda: covers(width, height), 20),
                         "the board covers the %s screen: %r" % (size, board_and_monitor()))
            if width > previous[0] and height > previous[1]:
                # A larger screen leaves the pointer at the old corner, which
                # is now inside the picture, until the board parks it again.
                checks.check(wait_until(lambda: pointer_parked(width, height), 10),
                             "the pointer is parked in the corner of the %s screen: %r" % (size, last_pointer[0]))
            else:
                # Windows keeps the pointer on a smaller screen by pulling it
                # into the corner. Wine's desktop shrinks under the X pointer
                # and leaves it outside, where nothing in the desktop can move
                # it; put it where Windows would have.
                x.xdotool("mousemove", width - 1, height - 1)
            previous = (width, height)
            time.sleep(1)
            checks.check(centred_on("%dx%d.png" % (width, height), width, height),
                         "the board is drawn in the middle of the %s screen" % size)
        checks.check(board.poll() is None or board.poll() == 0, "the launcher did not fail")
    finally:
        x.stop()  # ends every process of the session's Wine prefix, the board included
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
