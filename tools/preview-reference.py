#!/usr/bin/env python3
"""Records what the real board shows for a display document, dot by dot, as
the reference the server's live preview is checked against
(tests/server/preview/*.dots).

    VELMORANT_EXE=build/windows/src/shell/velmorant.exe \
    WINEPREFIX=build/windows/wineprefix tools/preview-reference.py DOCUMENT.txt OUT.dots

The document is served by the scripted board server, velmorant.exe under
Wine takes a snapshot of it (the default 780 x 138 picture), and every LED
dot's palette index is read back from the picture: one line per dot row, one
digit per dot. Classic documents must be 256 x 2 (the picture's known
layout); new-style signs are read through the sign's own scale. Documents
whose picture depends on the board's tick (blinking times, two languages,
the position diagram, scrolling) cannot serve as a reference."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2elib import (CLASSIC_LAYOUT, BoardServer, Picture, classic_dot, palette_index,  # noqa: E402
                    snapshot, write_settings)

# The new-style sign's palette as (R, G, B); the LED panel's dot (c, r) is
# canvas unit (8 + c, 22 + r) of a 400 x 79 canvas drawn at a whole scale.
SIGN_PALETTE = [0x151517, 0xEEF0FF, 0xFFC400, 0xF5B800, 0x46FF64, 0x7A5C00, 0xC3CFE4, 0x68707C,
                0xF4E49A, 0xB4D4FF]
SIGN_PALETTE = [((p >> 16) & 255, (p >> 8) & 255, p & 255) for p in SIGN_PALETTE]


def nearest_sign_colour(rgb):
    return min(range(len(SIGN_PALETTE)),
               key=lambda i: sum(abs(a - b) for a, b in zip(rgb, SIGN_PALETTE[i])))


def sign_dots(picture):
    scale = max(1, min(picture.width // 400, picture.height // 79))
    left = (picture.width - 400 * scale) // 2
    top = (picture.height - 79 * scale) // 2
    return ["".join(str(nearest_sign_colour(picture.pixel(left + (8 + c) * scale + scale // 2,
                                                          top + (22 + r) * scale + scale // 2)))
                    for c in range(384)) for r in range(48)]


def classic_dots(picture):
    rows = []
    for r in range(32):
        line = ""
        for c in range(256):
            index = palette_index(classic_dot(picture, CLASSIC_LAYOUT, c, r))
            if index is None:
                sys.exit("dot (%d, %d) has no palette colour" % (c, r))
            line += str(index)
        rows.append(line)
    return rows


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        document = f.read()
    new_style = document.startswith("velmorant-new ")
    if not new_style and ("width=256\n" not in document or "rows=2\n" not in document):
        sys.exit("a classic reference document is 256 x 2")
    work = os.path.dirname(os.path.abspath(sys.argv[2]))
    server = BoardServer()
    try:
        server.put_board(3, document)
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n台=3\n取得間隔=0.3\nメロディ=0\n"
                                  % server.port, name="preview-reference.ini")
        picture_path = sys.argv[2] + ".bmp"
        code, error = snapshot(settings, picture_path, 3000)
        if code != 0:
            sys.exit("snapshot failed (%r): %s" % (code, error))
        picture = Picture(picture_path)
        rows = sign_dots(picture) if new_style else classic_dots(picture)
        with open(sys.argv[2], "w", encoding="ascii") as f:
            f.write("\n".join(rows) + "\n")
        os.remove(picture_path)
        os.remove(settings)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
