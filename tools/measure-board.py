#!/usr/bin/env python3
"""The cost of a running board: the real board under Wine on an Xvfb screen,
fed by the scripted board server on loopback, for SECONDS (default 60) per
case, reporting its CPU time per wall second and how often it painted.

The board measured is velmorant_paintcount.exe from the Windows build: the
product's own start-up, window procedure and drawing, with one addition
compiled only into that variant - every WM_PAINT adds one to a counter in the
file "<exe>.paints" beside it (tests/bench/paintcounter_win32.cpp). Nothing
that the board shows changes.

CPU time is read from /proc (user + system time of every thread, 10 ms
resolution) for three parts: the board process itself; the rest of its Wine
prefix (wineserver, explorer and the other helpers, which do work for it:
timers and messages pass through wineserver); and the X server, which
receives every repaint. Percentages are of one core.

Cases:
  static       a classic 256 x 2 board that never changes (expected: no paints),
               full screen on a 1920 x 1080 screen
  scroll       a classic 512 x 5 board with a scroll row, full screen on a
               1920 x 1080 screen
  newstyle     a new-style board at 1920 x 1080 (full screen on a 1920 x 1080
               screen); only when the new-style sign is in this source tree
  floor        not the board: velmorant_timerfloor.exe, a 1920 x 1080 window
               running only the board's two window timers and doing nothing
               on them. Its cost is what Wine takes to deliver the timers'
               messages, the least an idle board can cost here; set it beside
               "static" (for example "static floor static floor").

Usage: tools/measure-board.py [--build build/windows] [--seconds 60] [CASE...]
"""

import argparse
import glob
import os
import struct
import sys
import tempfile
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

from e2elib import BoardServer, to_windows_path, wait_until, write_settings  # noqa: E402

STATIC_DOCUMENT = ("velmorant 2\nplatform=1\nlabelJp=1番線\ncapTime=発車時刻\ncapDest=行先\n"
                   "line=train\t12:34\t各駅停車　東京方面\t\tO\t0\n"
                   "line=text\tまもなく電車が参ります\t\tG\tc\nend\n")

SCROLL_DOCUMENT = ("velmorant 2\nplatform=5\nlabelJp=5番線\nlabelEn=Track 5\ncapTime=発車\ncapDest=行先\n"
                   "width=512\nrows=5\ndestX=120\n"
                   "line=train\t7:41\t{橙}特急{普} 成田空港\tLtd. Exp. Narita Airport\tO\t0\n"
                   "line=train\t7:48\t普通 千葉\tLocal Chiba\tG\t1\n"
                   "line=text\t{赤}まもなく{普}電車がまいります\t{R}A train is{G} approaching\tG\tc\n"
                   "line=text\t黄色い線の内側までお下がりください\tPlease stand behind the yellow line\tY\tl\n"
                   "line=scroll\t本日もご利用いただきありがとうございます。Thank you for travelling with us.\tW\n"
                   "end\n")

NEWSTYLE_DOCUMENT = ("velmorant-new 1\nplatform=7\nside=right\nlineJp=中央線\nlineEn=Chuo Line\n"
                     "viaJp=東京\nviaEn=Tokyo\ncolor=F15A22\nlangs=j,e\n"
                     "row=text\tまもなく電車がまいります|A train is approaching\n"
                     "msg=approach\t接近|Approaching\t危ないですから黄色い線までお下がりください|"
                     "Please stand behind the yellow line\nend\n")

CASES = {
    # name: (document, screen size, full screen)
    "static": (STATIC_DOCUMENT, (1920, 1080), True),
    "scroll": (SCROLL_DOCUMENT, (1920, 1080), True),
    "newstyle": (NEWSTYLE_DOCUMENT, (1920, 1080), True),
    "floor": (STATIC_DOCUMENT, (1920, 1080), False),
}

CLOCK_TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User + system time of a process (all its threads), or None when gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICK
    except (OSError, IndexError, ValueError):
        return None


def processes():
    """(pid, command line, environment) of every process we can read."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            with open("/proc/%d/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        yield pid, cmdline, environ


def process_groups(prefix, exe_name, xvfb_pid):
    """{'board': [pid], 'wine': [pids], 'x': [pid]} for this session."""
    marker = ("WINEPREFIX=" + prefix).encode()
    groups = {"board": [], "wine": [], "x": [xvfb_pid]}
    for pid, cmdline, environ in processes():
        if marker not in environ:
            continue
        if exe_name in cmdline:
            groups["board"].append(pid)
        else:
            groups["wine"].append(pid)
    return groups


def group_cpu(groups):
    return {name: sum(cpu_seconds(pid) or 0.0 for pid in pids) for name, pids in groups.items()}


def read_paints(path):
    try:
        with open(path, "rb") as f:
            data = f.read(4)
        return struct.unpack("<I", data)[0] if len(data) == 4 else 0
    except OSError:
        return 0


def newstyle_available():
    return bool(glob.glob(os.path.join(SOURCE, "src", "render", "newstyle*.cpp")))


def measure(case, exe, seconds, warmup):
    from xsession import XSession

    document, (width, height), full_screen = CASES[case]
    if case == "floor":
        exe = os.path.join(os.path.dirname(exe), "velmorant_timerfloor.exe")
        if not os.path.exists(exe):
            return {"case": case, "error": "no %s: build the windows preset first" % exe}
    paints_path = exe + ".paints"
    if os.path.exists(paints_path):
        os.remove(paints_path)
    work = tempfile.mkdtemp(prefix="velmorant-measure-")
    server = BoardServer()
    x = XSession(width, height)
    board = None
    try:
        server.put_board(1, document)
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n" % server.port)
        board = x.start_board(exe, [to_windows_path(settings)])
        window = x.find_window()
        if window is None:
            return {"case": case, "error": "no board window"}
        if full_screen:
            x.key(window, "F11")
            wait_until(lambda: x.geometry(window) == (0, 0, width, height), 10)
        time.sleep(warmup)
        exe_name = os.path.basename(exe)
        groups = process_groups(x.env["WINEPREFIX"], exe_name, x.xvfb.pid)
        if not groups["board"]:
            return {"case": case, "error": "board process not found"}
        paints_before = read_paints(paints_path)
        cpu_before = group_cpu(groups)
        wall_before = time.monotonic()
        requests_before = server.request_count()
        time.sleep(seconds)
        wall = time.monotonic() - wall_before
        cpu_after = group_cpu(groups)
        paints = read_paints(paints_path) - paints_before
        requests = server.request_count() - requests_before
        return {"case": case, "wall": wall, "paints": paints, "requests": requests,
                "geometry": x.geometry(window),
                "cpu": {name: cpu_after[name] - cpu_before[name] for name in cpu_before}}
    finally:
        if board is not None:
            board.kill()
            try:
                board.wait(timeout=10)
            except Exception:
                pass
        x.stop()
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "windows"))
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--warmup", type=float, default=8.0)
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()

    exe = os.path.join(args.build, "tests", "bench", "velmorant_paintcount.exe")
    if not os.path.exists(exe):
        print("no %s: build the windows preset first" % exe)
        return 1
    os.environ.setdefault("WINEPREFIX", "/tmp/velmorant-measure-wine")
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    # Wine maps file names through the Unix locale; kanji names need UTF-8.
    os.environ["LC_ALL"] = "C.UTF-8"
    os.environ["VELMORANT_SOURCE_DIR"] = SOURCE
    cases = args.cases or list(CASES)
    with open("/proc/loadavg") as f:
        print("load average before: " + " ".join(f.read().split()[:3]))
    print("%-9s %7s %7s %9s %9s %9s %9s  %s" % ("case", "wall s", "paints", "paints/s", "board %",
                                                 "wine %", "X %", "geometry"))
    for case in cases:
        if case not in CASES:
            print("%-9s unknown case" % case)
            continue
        if case == "newstyle" and not newstyle_available():
            print("%-9s skipped: the new-style sign is not in this source tree" % case)
            continue
        r = measure(case, exe, args.seconds, args.warmup)
        if "error" in r:
            print("%-9s error: %s" % (case, r["error"]))
            continue
        cpu = r["cpu"]
        print("%-9s %7.1f %7d %9.2f %9.3f %9.3f %9.3f  %s  (%d document fetches)" % (
            case, r["wall"], r["paints"], r["paints"] / r["wall"], 100 * cpu["board"] / r["wall"],
            100 * cpu["wine"] / r["wall"], 100 * cpu["x"] / r["wall"], r["geometry"], r["requests"]))
        sys.stdout.flush()
    with open("/proc/loadavg") as f:
        print("load average after: " + " ".join(f.read().split()[:3]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
