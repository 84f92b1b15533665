#!/usr/bin/env python3
"""What the board does over and over in months of running must not leave
objects behind: a board window (null display driver) whose settings file is
rewritten again and again, switching it between a classic board that plays
a new melody event with every document and a new-style sign (a new surface
size, new fonts, a new layout each time), while the probe counts its kernel
handles, GDI objects and windows. After a few warm-up rounds the counts
must stay where they are: an object kept per round would add 20."""

import os
import shutil
import subprocess
import tempfile
import time

from e2elib import BoardServer, Checks, private_exe, process_counts, to_windows_path, wait_until, board_processes

SOURCE_CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "corpus", "document")
MAKE_MELODY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "make-melody.py")
ROUNDS = 20
WARM_UP = 4


def classic(round_number, size):
    return ("velmorant 2\nlabelJp=周回%d\nline=train\t10:%02d\t大阪\tOsaka\t\t0\nline=text\t回%d\tRound\tG\tc\n"
            "sound=chime.wav\tround%d\t0\t%d\nend\n" % (round_number, round_number % 60, round_number,
                                                       round_number, size))


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-cycles-")
    server = BoardServer()
    board = None
    try:
        melody = os.path.join(work, "chime-source.wav")
        subprocess.run(["python3", MAKE_MELODY, melody], check=True, timeout=60)
        with open(melody, "rb") as f:
            wav = f.read()
        server.control("put", path="/sounds/chime.wav", hex=wav.hex())
        with open(os.path.join(SOURCE_CORPUS, "newstyle-pos.txt"), "rb") as f:
            newstyle = f.read()
        server.control("put", path="/api/boards/3/display.txt", hex=newstyle.hex())

        exe = private_exe(work)
        path = os.path.join(work, "velmorant.ini")
        stamp = [time.time()]

        def write_settings_for(board_number):
            with open(path, "w", encoding="utf-8") as f:
                f.write("server=127.0.0.1\nport=%d\n台=%d\n取得間隔=0.3\nメロディ=1\n" % (server.port, board_number))
            stamp[0] += 10  # a new last-write time each time, whatever the clock's resolution
            os.utime(path, (stamp[0], stamp[0]))

        def asks_for(board_number, timeout=10):
            target = ("GET /api/boards/%d/display.txt " % board_number).encode()
            return wait_until(lambda: server.request(-1).startswith(target), timeout, 0.2)

        server.put_board(2, classic(0, len(wav)))
        write_settings_for(2)
        board = subprocess.Popen(["wine", exe, to_windows_path(path)], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        checks.check(wait_until(lambda: server.request_count() > 0, 30), "the board asks")
        pids = [pid for pid, _ in board_processes()]
        checks.check(len(pids) == 1, "one board process (%r)" % pids)
        if len(pids) != 1:
            return
        pid = pids[0]
        seen = []
        asked = 0
        for round_number in range(1, ROUNDS + WARM_UP + 1):
            # The classic board with a new melody event, then the new-style
            # sign, each from a rewritten settings file.
            server.put_board(2, classic(round_number, len(wav)))
            write_settings_for(2)
            asked += asks_for(2)
            time.sleep(1.0)
            write_settings_for(3)
            asked += asks_for(3)
            time.sleep(1.0)
            if round_number >= WARM_UP:
                seen.append(process_counts(pid))
            if round_number % 5 == 0:
                print("round %d: %r" % (round_number, process_counts(pid)), flush=True)
        checks.check(asked == 2 * (ROUNDS + WARM_UP), "every rewrite reached the board (%d of %d)" %
                     (asked, 2 * (ROUNDS + WARM_UP)))
        checks.check(board.poll() is None, "the board is still running")
        sounds = os.listdir(os.path.join(work, "sounds")) if os.path.isdir(os.path.join(work, "sounds")) else []
        checks.check("chime.wav" in sounds, "the melody was downloaded (%r)" % sounds)
        for name in ("handles", "gdi", "windows"):
            series = [c.get(name, -1) for c in seen]
            print("%-8s after warm-up %d, end %d, range %d..%d" % (name, series[0], series[-1], min(series),
                                                                 max(series)))
            checks.check(min(series) > 0, "%s counted every round" % name)
            checks.check(series[-1] <= series[0] + 3, "%s level over %d rounds (%d -> %d)" %
                         (name, ROUNDS, series[0], series[-1]))
    finally:
        if board is not None and board.poll() is None:
            board.kill()
            board.wait(timeout=30)
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
