#!/usr/bin/env python3
"""Soak: the board in a window under Xvfb for a chosen time at the 300 ms
fetch interval while the server keeps changing between random valid
documents of both formats and random faults. Every few seconds it samples
the board process: from Linux, resident and anonymous memory, threads and
open descriptors of the Wine process; through the probe helper, the board's
kernel handles, live GDI objects and windows (see probe.cpp for how those
are read under Wine). It fails when any of them grows after the warm-up, and
checks that once the faults stop, the board shows the last document it was
given (title and dots read back from a window screenshot).

  soak_e2e.py [MINUTES]   (default 3)"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from e2elib import (BoardServer, Checks, board_processes, palette_index, private_exe, process_counts,
                    to_windows_path, wait_until, write_settings)
from xsession import XSession

SOURCE_CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "corpus", "document")
DESTINATIONS = [("東京", "Tokyo"), ("大阪", "Osaka"), ("名古屋", "Nagoya"), ("博多", "Hakata"),
                ("仙台", "Sendai"), ("新潟", "Niigata"), ("金沢", "Kanazawa"), ("長野", "Nagano")]
# Pink (P) is kept for the closing document, so its dots prove it is shown.
COLOURS = "GORYWB"
FINAL = ("velmorant 2\nlabelJp=ソーク終了\nline=train\t23:59\t終点\tTerminal\t\t0\n"
         "line=text\t最終\tLast\tP\tc\nend\n")
LAYOUT = (3, 6, 36)


def random_classic(rng):
    lines = ["velmorant 2", "labelJp=ソーク%d" % rng.randint(0, 99999)]
    for _ in range(rng.randint(1, 4)):
        jp, en = rng.choice(DESTINATIONS)
        if rng.random() < 0.7:
            lines.append("line=train\t%02d:%02d\t%s\t%s\t\t%d" % (rng.randint(0, 23), rng.randint(0, 59), jp, en,
                                                              rng.randint(0, 1)))
        else:
            lines.append("line=text\t{%s}%s行き\t%s\t%s\tc" % (rng.choice("赤緑橙"), jp, en, rng.choice(COLOURS)))
    lines.append("end")
    return "\n".join(lines) + "\n"


def newstyle_documents():
    found = []
    for name in sorted(os.listdir(SOURCE_CORPUS)):
        if name.startswith("newstyle"):
            with open(os.path.join(SOURCE_CORPUS, name), "rb") as f:
                found.append(f.read())
    return found


def rotation_seconds(document):
    """How long a new-style document takes to show every one of its
    languages once (langs= times langMs=), plus a margin."""
    languages, ms = 1, 3000
    for line in document.decode("utf-8", "replace").splitlines():
        if line.startswith("langs="):
            languages = len(line[len("langs="):].split(","))
        elif line.startswith("langMs="):
            try:
                ms = int(line[len("langMs="):])
            except ValueError:
                pass
    return min(30.0, languages * ms / 1000.0 + 2.0)


def random_fault(rng):
    return rng.choice([
        {"status": rng.choice([204, 301, 404, 500])}, {"lf_only": True}, {"long_head": 6000},
        {"fill": 70000}, {"cut_body": 20}, {"reset_body": 15}, {"close_silently": True},
        {"raw_hex": os.urandom(40).hex()}, {"body_hex": os.urandom(200).hex()},
        {"delay_head_ms": 1500}, {"delay_body_ms": 1500, "split_at": 8}])


def proc_figures(linux_pid):
    """(VmRSS kB, threads, open descriptors, RssAnon kB) of a Linux process,
    or None. RssAnon leaves out pages of mapped files (fonts, the program
    itself), which come and go with Wine's font caches; a heap that leaks
    grows there."""
    try:
        rss = threads = anon = None
        with open("/proc/%d/status" % linux_pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
                elif line.startswith("RssAnon:"):
                    anon = int(line.split()[1])
                elif line.startswith("Threads:"):
                    threads = int(line.split()[1])
        descriptors = len(os.listdir("/proc/%d/fd" % linux_pid))
        return rss, threads, descriptors, anon
    except OSError:
        return None


def board_linux_pid(marker):
    """The Linux process that runs our copy of velmorant.exe: its command
    line names the copy, whose directory name (marker) is unique, so other
    boards running on the same machine are never mistaken for it."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                first = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue
        if first.lower().endswith("velmorant.exe") and marker in first:
            return int(entry)
    return None


def median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


def grows(series, slack):
    """Whether the last quarter sits above the first quarter by more than slack."""
    if len(series) < 8:
        return False
    quarter = len(series) // 4
    return median(series[-quarter:]) > median(series[:quarter]) + slack


def never_comes_back(series, slack):
    """Whether even the lowest figure of the last quarter stays above the
    highest of the first quarter by more than slack. Resident memory of a
    board under Wine steps up and down by a few megabytes as font files are
    mapped for the font caches and released again; memory that leaks never
    comes back down, so the low points climb."""
    if len(series) < 8:
        return False
    quarter = len(series) // 4
    return min(series[-quarter:]) > max(series[:quarter]) + slack


def read_window(x, window, path):
    """The window's pixels as (width, height, rgb bytes)."""
    png = path + ".png"
    subprocess.run(["import", "-window", window, png], env=x.env, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    size = subprocess.run(["identify", "-format", "%w %h", png], stdout=subprocess.PIPE, timeout=60)
    width, height = (int(v) for v in size.stdout.split())
    raw = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], stdout=subprocess.PIPE, timeout=60).stdout
    return width, height, raw


def dot_colours(width, height, raw, row):
    n, left, top = LAYOUT
    found = set()
    for dot_row in range(16 * row, 16 * row + 16):
        for column in range(256):
            px, py = left + column * n + n // 2, top + dot_row * n + n // 2
            if px < width and py < height:
                at = (py * width + px) * 3
                index = palette_index(tuple(raw[at:at + 3]))
                if index not in (0, None):
                    found.add(index)
    return found


def main():
    minutes = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    checks = Checks()
    rng = random.Random(int(os.environ.get("VELMORANT_SOAK_SEED", "8")))
    work = tempfile.mkdtemp(prefix="velmorant-soak-")
    server = BoardServer()
    x = XSession(1024, 768)
    board = None
    newstyle = newstyle_documents()
    try:
        server.put_board(1, random_classic(rng))
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n取得間隔=0.3\nメロディ=0\n" % server.port)
        exe = private_exe(work)
        board = x.start_board(exe, [to_windows_path(settings)])
        window = x.find_window()
        checks.check(window is not None, "the board window appears")
        if window is None:
            return
        linux_pid = None
        wait_until(lambda: board_linux_pid(os.path.basename(work)) is not None, 10)
        linux_pid = board_linux_pid(os.path.basename(work))
        windows_pids = [pid for pid, _ in board_processes(env=x.env)]
        checks.check(linux_pid is not None and len(windows_pids) == 1, "the board process is found")
        if linux_pid is None or len(windows_pids) != 1:
            return

        def sample(now):
            figures = proc_figures(linux_pid)
            counts = process_counts(windows_pids[0], env=x.env)
            text = " ".join("%s=%d" % item for item in sorted(counts.items()))
            print("t=%5.0f s rss=%s kB threads=%s fds=%s anon=%s kB %s" %
                  ((now - started,) + (figures or (None,) * 4) + (text.strip(),)), flush=True)
            if figures is None or len(counts) != 3:
                return None
            return figures + (counts["handles"], counts["gdi"], counts["windows"])

        # Warm-up, first part: each new-style document for a whole turn of
        # its languages, so the font caches (bounded: they evict the oldest
        # font when full) hold what the random phase will ask of them before
        # anything is measured. The caches' own fill is not growth.
        started = time.time()
        early = []
        first = sample(started)
        if first is not None:
            early.append(first)
        for document in newstyle:
            server.control("put", path="/api/boards/1/display.txt", hex=document.hex())
            time.sleep(rotation_seconds(document))
        server.put_board(1, random_classic(rng))
        time.sleep(2)

        started = time.time()
        end = started + minutes * 60
        warm_up = min(60.0, minutes * 60 * 0.25)
        samples = []
        documents = faults = 0
        next_sample = started
        while time.time() < end:
            now = time.time()
            if board.poll() is not None:
                checks.check(False, "the board ended during the soak (exit %r)" % board.poll())
                break
            roll = rng.random()
            if roll < 0.35:
                if newstyle and rng.random() < 0.3:
                    server.control("put", path="/api/boards/1/display.txt", hex=rng.choice(newstyle).hex())
                else:
                    server.put_board(1, random_classic(rng))
                documents += 1
            elif roll < 0.6:
                steps = [random_fault(rng) for _ in range(rng.randint(1, 4))]
                server.control("script", path="/api/boards/1/display.txt", steps=steps)
                faults += len(steps)
            if now >= next_sample:
                taken = sample(now)
                if taken is not None:
                    (samples if now - started >= warm_up else early).append(taken)
                next_sample = now + 5
            time.sleep(rng.uniform(0.3, 1.2))

        requests = server.request_count()
        print("soak: %.1f min, %d documents, %d faults, %d requests" % (minutes, documents, faults, requests))
        checks.check(requests > minutes * 60 / 2, "the board kept asking at its interval (%d requests)" % requests)
        checks.check(board.poll() is None, "the board is still running")
        checks.check(len(samples) >= 8, "enough samples after the warm-up (%d)" % len(samples))
        if samples:
            names = ["rss kB", "threads", "fds", "anon kB", "handles", "gdi", "windows"]
            columns = list(zip(*samples))
            for index, name in enumerate(names):
                start = early[0][index] if early else None
                print("%-8s start %s, after warm-up %s, end %s, range after warm-up %s..%s" %
                      (name, start, columns[index][0], columns[index][-1], min(columns[index]),
                       max(columns[index])))
            rss, threads, fds, anon, handles, gdi, windows = columns
            # Mapped font files come and go with Wine's font caches (several
            # megabytes of VmRSS at a time); the heap is what would leak.
            checks.check(not never_comes_back(anon, max(1024, median(anon) // 10)),
                         "anonymous memory flat after warm-up")
            checks.check(not grows(threads, 1), "threads flat after warm-up")
            checks.check(not grows(fds, 4), "descriptors flat after warm-up")
            checks.check(min(handles) > 0 and min(gdi) > 0 and min(windows) > 0,
                         "handle, GDI and window counts read throughout (%d..%d, %d..%d, %d..%d)" %
                         (min(handles), max(handles), min(gdi), max(gdi), min(windows), max(windows)))
            checks.check(not grows(handles, 8), "kernel handles flat after warm-up")
            checks.check(not grows(gdi, 8), "GDI objects flat after warm-up")
            checks.check(not grows(windows, 0), "windows flat after warm-up")

        # The faults stop: every document put up from now on reaches the
        # board (none missed), and the last one is shown.
        server.control("reset")
        for number in range(3):
            label = "復帰%d" % number
            server.put_board(1, random_classic(rng).replace("labelJp=", "labelJp=%s" % label, 1))
            checks.check(wait_until(lambda: label in x.title(window), 10),
                         "document %d after the faults reaches the board: %r" % (number, x.title(window)))
        server.put_board(1, FINAL)
        checks.check(wait_until(lambda: "ソーク終了" in x.title(window), 15),
                     "the last document reaches the title: %r" % x.title(window))
        time.sleep(1.5)
        width, height, raw = read_window(x, window, os.path.join(work, "final"))
        row0 = dot_colours(width, height, raw, 0)
        row1 = dot_colours(width, height, raw, 1)
        checks.check(row0 == {1, 2}, "final picture: the train row (%r)" % sorted(row0))
        checks.check(row1 == {7}, "final picture: the pink text row of the last document (%r)" % sorted(row1))
    finally:
        if board is not None and board.poll() is None:
            board.kill()
            board.wait(timeout=30)
        x.stop()
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
