#!/usr/bin/env python3
"""New-style signs from the real velmorant.exe under Wine: snapshots at two
window sizes read back for the header colours, the badge positions of both
sides and the LED dots; and the status message alone once the server has
gone silent."""

import os
import shutil
import tempfile

from e2elib import BoardServer, Checks, Picture, snapshot, write_settings

NEW_PALETTE = [(21, 21, 23), (238, 240, 255), (255, 196, 0), (245, 184, 0), (70, 255, 100),
               (122, 92, 0), (195, 207, 228), (104, 112, 124), (244, 228, 154), (180, 212, 255)]

LINE_COLOUR = (0x9A, 0xCD, 0x32)


def document(side):
    return ("velmorant-new 1\nplatform=2\nside=%s\nlineJp=山手\nlineEn=JY\nviaJp=渋谷\nviaEn=Shibuya\n"
            "color=9ACD32\nlangs=j\nrow=text\t東京\nmsg=frame\t案内\nend\n" % side)


class View:
    """The sign's canvas (400 x 79 units) placed in a surface of w x h."""

    def __init__(self, width, height):
        self.s = max(1, min(width // 400, height // 79))
        self.ox = (width - 400 * self.s) // 2
        self.oy = (height - 79 * self.s) // 2

    def unit(self, picture, x, y):
        """Colour at the middle of canvas unit (x, y)."""
        return picture.pixel(self.ox + x * self.s + self.s // 2, self.oy + y * self.s + self.s // 2)

    def dot(self, picture, column, row):
        return self.unit(picture, 8 + column, 22 + row)


def led_colours(picture, view):
    counts = {}
    for row in range(48):
        for column in range(384):
            rgb = view.dot(picture, column, row)
            index = NEW_PALETTE.index(rgb) if rgb in NEW_PALETTE else None
            counts[index] = counts.get(index, 0) + 1
    return counts


def check_sign(checks, picture, view, side, label):
    unit = lambda x, y: view.unit(picture, x, y)
    checks.check(unit(399, 1) == (222, 225, 227), "%s: top highlight" % label)
    checks.check(unit(300, 17) == (208, 211, 214), "%s: header strip" % label)
    checks.check(unit(200, 18) == LINE_COLOUR, "%s: rule in the line colour" % label)
    checks.check(unit(2, 40) == (158, 162, 165), "%s: body" % label)
    checks.check(unit(7, 40) == (42, 42, 44), "%s: LED housing" % label)
    left_badge, right_badge = unit(3, 4), unit(385, 4)
    if side == "L":
        checks.check(left_badge == (255, 255, 255), "%s: platform badge at the left" % label)
        checks.check(right_badge == (222, 225, 227), "%s: only the highlight at the right badge place" % label)
        checks.check(unit(19, 15) == LINE_COLOUR, "%s: line badge at unit 18" % label)
    else:
        checks.check(right_badge == (255, 255, 255), "%s: platform badge at the right" % label)
        checks.check(left_badge != (255, 255, 255), "%s: no badge at the left" % label)
        checks.check(unit(353, 15) == LINE_COLOUR, "%s: line badge at unit 352" % label)
    counts = led_colours(picture, view)
    checks.check(None not in counts, "%s: every LED dot is a palette colour: %r" % (label, counts.get(None)))
    checks.check(counts.get(1, 0) > 20, "%s: the upper text lights white dots" % label)
    checks.check(counts.get(3, 0) > 100, "%s: the frame lights amber graphics" % label)
    checks.check(counts.get(0, 0) > 384 * 48 // 2, "%s: unlit dots drawn as dark discs" % label)


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-newstyle-")
    server = BoardServer()
    try:
        server.put_board(1, document("left"))
        server.put_board(2, document("right"))
        for board, side in ((1, "L"), (2, "R")):
            settings = write_settings(work, "server=127.0.0.1\nport=%d\n台=%d\n取得間隔=0.3\n" % (server.port, board))
            path = os.path.join(work, "sign-%s.bmp" % side)
            code, _ = snapshot(settings, path, 2500)
            checks.check(code == 0, "snapshot of side %s exits 0" % side)
            picture = Picture(path)
            checks.check((picture.width, picture.height) == (780, 138), "780 x 138 picture")
            check_sign(checks, picture, View(780, 138), side, "780x138 side %s" % side)

        # The second size: a kiosk child with the boot screen makes an 800 x
        # 600 window; once a document is in and the screen has ended, the sign.
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n台=2\n取得間隔=0.3\n起動画面=1\n" % server.port)
        path = os.path.join(work, "sign-large.bmp")
        code, _ = snapshot(settings, path, 9500)
        picture = Picture(path)
        checks.check(code == 0 and (picture.width, picture.height) == (800, 600), "800 x 600 picture")
        check_sign(checks, picture, View(800, 600), "R", "800x600 side R")

        # The server goes silent after one document: only the status message.
        server.put_board(3, document("left"))
        server.control("script", path="/api/boards/3/display.txt",
                       steps=[{}] + [{"close_silently": True}] * 200)
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n台=3\n取得間隔=0.5\n" % server.port)
        path = os.path.join(work, "sign-stale.bmp")
        code, _ = snapshot(settings, path, 17000)
        picture = Picture(path)
        view = View(780, 138)
        counts = led_colours(picture, view)
        checks.check(counts.get(2, 0) > 20, "stale: the message lights amber text: %r" % counts)
        checks.check(set(counts) <= {0, 2}, "stale: nothing but the message is lit: %r" % counts)
        checks.check(view.unit(picture, 200, 18) == LINE_COLOUR, "stale: the header stays")
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
