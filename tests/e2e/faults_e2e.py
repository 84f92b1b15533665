#!/usr/bin/env python3
"""Fault injection against the real velmorant.exe under Wine: the scripted
board server misbehaves in every way the link can, and each run checks the
picture (dots read back from the snapshot), the requests on the wire and the
files beside the executable. Faults are grouped into few board runs."""

import os
import shutil
import subprocess
import tempfile
import threading
import time

from e2elib import (BoardServer, Checks, FixedPortServer, Picture, free_port, private_exe, row_colours, run_exe,
                    to_windows_path, wait_until, write_settings)

PATH = "/api/boards/1/display.txt"
# Document A: row 1 in green; document B: row 1 in yellow. The first row is
# a train (green time, orange destination) in both.
DOC_A = "velmorant 2\nline=train\t12:34\t東京\tTokyo\t\t0\nline=text\t案内\tNotice\tG\tc\nend\n"
DOC_B = "velmorant 2\nline=train\t12:35\t大阪\tOsaka\t\t0\nline=text\t案内\tNotice\tY\tc\nend\n"
GREEN, ORANGE, RED, YELLOW = 1, 2, 3, 4
EXPECTED_REQUEST = "GET /api/boards/1/display.txt HTTP/1.0\r\n"


def hexed(data):
    return data.hex()


def settings_text(port, extra=""):
    return "server=127.0.0.1\nport=%d\n取得間隔=0.3\nメロディ=0\n%s" % (port, extra)


def snap(exe, settings, work, name, ms):
    picture = os.path.join(work, name + ".bmp")
    code, _ = run_exe(exe, ["/snap", to_windows_path(picture), str(ms), to_windows_path(settings)])
    return code, (Picture(picture) if code == 0 and os.path.exists(picture) else None)


def check_shows(checks, picture, row1_colour, what):
    if picture is None:
        checks.check(False, "%s: no picture" % what)
        return
    row0 = row_colours(picture, 0)
    row1 = row_colours(picture, 1)
    checks.check(row0 == {GREEN, ORANGE}, "%s: train row shown (%r)" % (what, sorted(row0)))
    checks.check(row1 == {row1_colour}, "%s: row 1 is colour %d, no stale line (%r)" % (what, row1_colour,
                                                                                         sorted(row1)))


def requests_well_formed(server):
    """(count, the requests that are not the exact GET). The board sends a
    request in pieces ("GET ", the path, the rest); a snapshot run ends its
    process at its time whatever the worker is doing, so the last request
    may be cut short there. That one is accepted when it is the start of a
    complete request seen earlier, and only that one."""
    count = server.request_count()
    raws = [server.request(i).decode("latin-1") for i in range(count)]
    complete = [raw for raw in raws if raw.startswith(EXPECTED_REQUEST) and raw.endswith("\r\n\r\n")]
    bad = []
    for index, raw in enumerate(raws):
        if raw in complete:
            continue
        if index == count - 1 and complete and complete[0].startswith(raw):
            print("last request cut short as the process ended: %r" % raw)
            continue
        bad.append("#%d of %d: %s" % (index, count, raw[:60]))
    return count, bad


# Replies that must never replace the last good document. Each is one
# server step; a non-200 reply carries a valid document to prove the status
# alone decides.
def bad_replies():
    b = DOC_B.encode("utf-8")
    steps = [{"status": s, "body_text": DOC_B} for s in (204, 301, 302, 400, 404, 500)]
    steps += [
        {"lf_only": True, "body_text": DOC_B},                    # LF-only head: no blank line
        {"long_head": 6000},                                      # oversize head
        {"fill": 70000},                                          # body larger than the fetch buffer
        {"body_text": DOC_B, "cut_body": len(b) - 6},              # truncated: "end" never arrives
        {"body_text": DOC_B, "reset_body": 20},                   # connection reset inside the body
        {"close_silently": True},                                 # closed before any byte
        {"raw_hex": hexed(b"\x00\xff garbage \x13\x10\r\n\r\n")},  # not HTTP at all
        {"body_hex": hexed(b"\x89PNG\r\n\x1a\n" + bytes(range(256)))},  # garbage document
        {"body_hex": hexed(b.replace(b"\nend\n", b"\n\x00end\n"))},  # zero byte before "end"
        {"body_text": ""},                                        # empty 200
        {"body_text": DOC_B.replace("velmorant 2", "velmorant 3")},  # unknown format line
    ]
    return steps


def run_bad_replies(checks, exe, work):
    """Every bad reply in turn, again and again: the picture keeps A."""
    server = BoardServer()
    try:
        server.put_board(1, DOC_A)
        steps = [{}] + bad_replies() * 6
        server.control("script", path=PATH, steps=steps)
        settings = write_settings(work, settings_text(server.port), "bad.ini")
        code, picture = snap(exe, settings, work, "bad", 7000)
        checks.check(code == 0, "bad replies: snapshot exits with 0 (got %r)" % code)
        check_shows(checks, picture, GREEN, "bad replies")
        count, bad = requests_well_formed(server)
        print("bad replies: %d requests" % count)
        checks.check(count >= 8, "bad replies: the board kept asking (%d requests)" % count)
        checks.check(not bad, "bad replies: every request well formed %r" % bad[:3])
    finally:
        server.stop()


def run_slow_then_back(checks, exe, work):
    """A slow head and silence inside a body (both past the 5 s time-out),
    then flapping good and bad every cycle: the board ends on document B."""
    server = BoardServer()
    try:
        server.put_board(1, DOC_B)
        steps = [{"body_text": DOC_A}, {"delay_head_ms": 6000},
                 {"body_text": DOC_A, "delay_body_ms": 6000, "split_at": 10}]
        steps += [{}, {"close_silently": True}] * 40  # flapping every cycle
        server.control("script", path=PATH, steps=steps)
        settings = write_settings(work, settings_text(server.port), "slow.ini")
        code, picture = snap(exe, settings, work, "slow", 16000)
        checks.check(code == 0, "slow head and silent body: snapshot exits with 0")
        check_shows(checks, picture, YELLOW, "after slow head, silent body and flapping")
        count, _ = requests_well_formed(server)
        print("slow: %d requests" % count)
        checks.check(count >= 5, "slow: the board went on after both time-outs (%d requests)" % count)
    finally:
        server.stop()


def run_garbage_and_back(checks, exe, work):
    """Garbage for a while, then a document with invalid UTF-8 in its texts
    and bytes after "end": that document is drawn."""
    server = BoardServer()
    try:
        odd = DOC_B.replace("案内", "案\udcff内").encode("utf-8", "surrogateescape")
        odd = odd.replace("Notice".encode(), b"No\xc3\x28\xe2\x82tice") + b"\x00\xff\xfe after end"
        server.control("put", path=PATH, hex=hexed(odd))
        steps = [{"body_hex": hexed(os.urandom(300))} for _ in range(5)]
        server.control("script", path=PATH, steps=steps)
        settings = write_settings(work, settings_text(server.port), "garbage.ini")
        code, picture = snap(exe, settings, work, "garbage", 5000)
        checks.check(code == 0, "garbage and back: snapshot exits with 0")
        check_shows(checks, picture, YELLOW, "garbage then a document with invalid UTF-8")
    finally:
        server.stop()


def run_down_and_back(checks, exe, work):
    """No server at start; it comes up with A, goes away, comes back with B."""
    port = free_port()
    settings = write_settings(work, settings_text(port), "down.ini")
    picture_path = os.path.join(work, "down.bmp")
    board = subprocess.Popen(["wine", exe, "/snap", to_windows_path(picture_path), "14000",
                              to_windows_path(settings)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    first = second = None
    try:
        time.sleep(2.5)
        first = FixedPortServer(port)
        first.put_board(1, DOC_A)
        got_first = wait_until(lambda: first.request_count() > 0, 10)
        checks.check(got_first, "server up after start: the board finds it")
        first.stop()
        first = None
        time.sleep(1.5)
        second = FixedPortServer(port)
        second.put_board(1, DOC_B)
        checks.check(board.wait(timeout=60) == 0, "down and back: snapshot exits with 0")
        checks.check(second.request_count() > 0, "server back: the board asks again")
        check_shows(checks, Picture(picture_path) if os.path.exists(picture_path) else None, YELLOW,
                    "server down, up, away and back")
    finally:
        if board.poll() is None:
            board.kill()
        for server in (first, second):
            if server is not None:
                server.stop()


def run_capacities(checks, exe, work):
    """Every text field at its capacity and one unit over, the largest panel
    and row count: the board draws and exits normally."""
    server = BoardServer()
    try:
        def text(n):
            return ("東京大阪名古屋" * 200)[:n]
        lines = ["velmorant 2", "width=512", "rows=5", "platform=" + text(7 + 1), "labelJp=" + text(64),
                 "labelEn=" + "E" * 96, "capTime=" + text(32), "capDest=" + text(32)]
        lines += ["line=train\t" + "1" * 8 + "\t" + text(512) + "\t" + "e" * 128 + "\t\t0"] * 3
        lines += ["line=scroll\t" + text(1024) + "\tY", "line=text\t" + text(513) + "\t" + "n" * 129 + "\tG\tl"]
        lines += ["sound=" + "m" * 161 + ".mp3\t" + "k" * 65 + "\t0\t100", "end"]
        server.put_board(1, "\n".join(lines) + "\n")
        settings = write_settings(work, settings_text(server.port), "capacity.ini")
        code, picture = snap(exe, settings, work, "capacity", 3000)
        checks.check(code == 0 and picture is not None, "capacities: snapshot exits with 0")
        if picture is not None:
            print("capacity picture", picture.width, picture.height)
            lit = set()
            for y in range(0, picture.height, 1):
                for x in range(0, picture.width, 1):
                    r, g, b = picture.pixel(x, y)
                    if abs(r - 255) + abs(g - 140) + abs(b) < 40:
                        lit.add("orange")
                    elif abs(r - 255) + abs(g - 224) + abs(b) < 40:
                        lit.add("yellow")
            checks.check(lit == {"orange", "yellow"}, "capacities: destinations and the scroll line drawn (%r)"
                         % sorted(lit))
    finally:
        server.stop()


def sounds_listing(directory):
    sounds = os.path.join(directory, "sounds")
    if not os.path.isdir(sounds):
        return None
    return sorted(os.listdir(sounds))


def run_melodies(checks, work):
    """The melody cache: a file that keeps changing size, a download killed
    midway, and a cache directory that cannot be created."""
    doc_with = lambda name, size: DOC_A.replace("end\n", "sound=%s\tkey1\t0\t%d\nend\n" % (name, size))
    # A melody whose size never matches the document: downloads repeat, but
    # only the finished file and at most one older copy are ever on disk.
    directory = os.path.join(work, "melody-size")
    os.makedirs(directory)
    exe = private_exe(directory)
    server = BoardServer()
    try:
        server.put_board(1, doc_with("chime.wav", 5000))
        server.control("script", path="/sounds/chime.wav",
                       steps=[{"fill": 1000 + 37 * i} for i in range(60)])
        settings = write_settings(directory, settings_text(server.port).replace("メロディ=0", "メロディ=1"))
        code, picture = snap(exe, settings, directory, "size", 4000)
        checks.check(code == 0, "changing melody size: snapshot exits with 0")
        check_shows(checks, picture, GREEN, "changing melody size")
        listing = sounds_listing(directory)
        print("changing size: sounds =", listing)
        # "~play.wav" is the playback copy of whatever was last heard.
        checks.check(listing is not None and "chime.wav" in listing and
                     set(listing) <= {"chime.wav", "chime.wav.old", "~play.wav"},
                     "changing size: only the melody and one older copy on disk (%r)" % listing)
    finally:
        server.stop()

    # A download cut by a reset: nothing half-written is left under the name.
    directory = os.path.join(work, "melody-killed")
    os.makedirs(directory)
    exe = private_exe(directory)
    server = BoardServer()
    try:
        server.put_board(1, doc_with("cut.wav", 4000))
        server.control("script", path="/sounds/cut.wav", steps=[{"fill": 4000, "reset_body": 1500}] * 60)
        settings = write_settings(directory, settings_text(server.port).replace("メロディ=0", "メロディ=1"))
        code, picture = snap(exe, settings, directory, "killed", 4000)
        checks.check(code == 0, "killed download: snapshot exits with 0")
        check_shows(checks, picture, GREEN, "killed melody download")
        listing = sounds_listing(directory) or []
        print("killed download: sounds =", listing)
        checks.check(not any(n.startswith("cut.wav") for n in listing),
                     "killed download: no partial file left (%r)" % listing)
        sound_requests = [server.request(i) for i in range(server.request_count())]
        sound_requests = [r for r in sound_requests if r.startswith(b"GET /sounds/")]
        checks.check(len(sound_requests) == 1, "killed download: the failed download is not retried "
                     "for the same name and size (%d tries)" % len(sound_requests))
    finally:
        server.stop()

    # The cache directory cannot exist: a file stands where it should be.
    directory = os.path.join(work, "melody-readonly")
    os.makedirs(directory)
    exe = private_exe(directory)
    blocker = os.path.join(directory, "sounds")
    with open(blocker, "wb") as f:
        f.write(b"not a directory")
    server = BoardServer()
    try:
        server.put_board(1, doc_with("chime.wav", 3000))
        settings = write_settings(directory, settings_text(server.port).replace("メロディ=0", "メロディ=1"))
        code, picture = snap(exe, settings, directory, "readonly", 3000)
        checks.check(code == 0, "unwritable cache: snapshot exits with 0")
        check_shows(checks, picture, GREEN, "unwritable melody cache")
        checks.check(open(blocker, "rb").read() == b"not a directory", "unwritable cache: the file is untouched")
        extra = sorted(set(os.listdir(directory)) - {"velmorant.exe", "velmorant.ini", "sounds", "readonly.bmp"})
        checks.check(not extra, "unwritable cache: nothing written elsewhere (%r)" % extra)
    finally:
        server.stop()


def run_settings_rewrites(checks, work):
    """A board window (Wine's null driver) whose settings file is rewritten
    in every encoding, truncated, deleted and recreated, and grown past
    1 MiB: the board number on the wire shows each reload."""
    directory = os.path.join(work, "settings")
    os.makedirs(directory)
    exe = private_exe(directory)
    server = BoardServer()
    board = None
    try:
        for n in range(1, 12):
            server.put_board(n, DOC_A)
        path = os.path.join(directory, "velmorant.ini")
        stamp = [time.time() - 1000]

        def write(data):
            with open(path, "wb") as f:
                f.write(data)
            stamp[0] += 10  # a new last-write time each time, whatever the clock's resolution
            os.utime(path, (stamp[0], stamp[0]))

        def text_for(board_number):
            return "server=127.0.0.1\nport=%d\n台=%d\n取得間隔=0.3\n" % (server.port, board_number)

        def asks_for(board_number, timeout=8):
            target = ("GET /api/boards/%d/display.txt " % board_number).encode()
            return wait_until(lambda: server.request(-1).startswith(target), timeout, 0.2)

        write(text_for(2).encode("utf-8"))
        board = subprocess.Popen(["wine", exe, to_windows_path(path)], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        checks.check(wait_until(lambda: server.request_count() > 0, 30), "settings: the window board asks")
        checks.check(asks_for(2), "settings: UTF-8 file read (board 2)")
        encodings = [(3, b"\xff\xfe" + text_for(3).replace("\n", "\r\n").encode("utf-16-le"), "UTF-16 LE"),
                     (4, b"\xef\xbb\xbf" + text_for(4).encode("utf-8"), "UTF-8 with signature"),
                     (5, text_for(5).replace("\n", "\r\n").encode("cp932"), "Shift-JIS"),
                     (6, text_for(6).encode("utf-8"), "UTF-8")]
        for number, data, name in encodings:
            write(data)
            checks.check(asks_for(number), "settings rewritten as %s: board %d asked for" % (name, number))
        # Truncated inside the board key: the rest still applies, the board
        # number returns to its default.
        full = text_for(7).encode("utf-8")
        write(full[:full.index("台".encode("utf-8")) + 1])
        checks.check(asks_for(1), "truncated settings: defaults for what is missing (board 1)")
        write(text_for(7).encode("utf-8"))
        checks.check(asks_for(7), "settings repaired: board 7")
        os.remove(path)
        time.sleep(2.5)
        checks.check(asks_for(7, 2), "settings deleted: the board keeps its settings")
        checks.check(board.poll() is None, "settings deleted: the board keeps running")
        write(text_for(8).encode("utf-8"))
        checks.check(asks_for(8), "settings recreated: board 8")
        # Past 1 MiB: counts as not found, so the defaults (port 8020) apply
        # and this server hears no request for board 9.
        big = text_for(9).encode("utf-8") + b"#" * (1048576 + 10)
        write(big)
        time.sleep(3)
        recent = [server.request(-i) for i in range(1, 4)]
        checks.check(not any(r.startswith(b"GET /api/boards/9/") for r in recent),
                     "settings over 1 MiB: not read")
        write(text_for(10).encode("utf-8"))
        checks.check(asks_for(10, 10), "settings back under 1 MiB: board 10")
        checks.check(board.poll() is None, "settings: the board survived every rewrite")
    finally:
        if board is not None and board.poll() is None:
            board.kill()
            board.wait(timeout=30)
        server.stop()


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-faults-")
    try:
        exe = private_exe(work)
        for run in (run_bad_replies, run_slow_then_back, run_garbage_and_back, run_down_and_back,
                    run_capacities):
            started = time.time()
            run(checks, exe, work)
            print("%s: %.1f s" % (run.__name__, time.time() - started))
        # With melodies off and only snapshots taken, nothing but the
        # pictures asked for appears beside the executable: no cache, no
        # placement file, no stray download.
        written = sorted(n for n in os.listdir(work)
                         if not (n == "velmorant.exe" or n.endswith(".ini") or n.endswith(".bmp")))
        checks.check(not written, "snapshot runs write nothing else beside the executable (%r)" % written)
        for run in (run_melodies, run_settings_rewrites):
            started = time.time()
            run(checks, work)
            print("%s: %.1f s" % (run.__name__, time.time() - started))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
