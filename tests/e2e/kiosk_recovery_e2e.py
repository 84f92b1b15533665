#!/usr/bin/env python3
"""Kiosk recovery: the real "/kiosk" watchdog under Wine, whose board child
ends four times in a row: ended from outside as by Task Manager
(TerminateProcess, exit code 1), and by genuine access violations inside the
child. The executable is the test build with a fault switch
(velmorant_crashswitch.exe, copied in as velmorant.exe): writing a child's
process id into "velmorant.exe.crash" beside it makes that child write
through an invalid address. The probe waits on the crashing child and reads
the exit code Windows gives it, which must be the access violation's, with
no debugger left behind. Each time a new child must follow: after the short
pause while fewer than three children in a row died young, then after the
long one. Only children are ended (never with 11 or 12, which would ask for
a PC restart or power-off); the watchdog is ended at the close."""

import os
import shutil
import subprocess
import tempfile
import time

from e2elib import (BoardServer, Checks, board_processes, probe, probe_exe, process_counts, to_windows_path, wait_until,
                    write_settings)

DOCUMENT = "velmorant 2\nline=train\t10:00\t大阪\tOsaka\t\t0\nend\n"
ACCESS_VIOLATION = "0xC0000005"


def children(watchdog):
    return [pid for pid, parent in board_processes() if parent == watchdog]


def crash(exe, child, checks, round_number):
    """Throws the fault switch for one child; returns when the child has
    ended (or the wait gave up), with the exit code the probe saw."""
    waiter = subprocess.Popen(["wine", probe_exe(), "wait", str(child), "30000"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True)
    ready = waiter.stdout.readline().strip()
    checks.check(ready == "waiting", "round %d: the probe holds child %d (%r)" % (round_number, child, ready))
    with open(exe + ".crash", "w") as f:
        f.write(str(child))
    try:
        result = waiter.stdout.readline().strip()
        waiter.wait(timeout=40)
    except subprocess.TimeoutExpired:
        waiter.kill()
        result = "no end"
    return result


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-kiosk-")
    server = BoardServer()
    watchdog_process = None
    watchdog = None
    try:
        # The switch lives only in the test build: the product never looks
        # for the file.
        marker = ".crash".encode("utf-16-le")
        with open(os.environ["VELMORANT_EXE"], "rb") as f:
            checks.check(marker not in f.read(), "velmorant.exe carries no fault switch")
        with open(os.environ["VELMORANT_CRASHSWITCH_EXE"], "rb") as f:
            checks.check(marker in f.read(), "the test build carries the fault switch")

        server.put_board(1, DOCUMENT)
        exe = os.path.join(work, "velmorant.exe")
        shutil.copyfile(os.environ["VELMORANT_CRASHSWITCH_EXE"], exe)
        # No daily restart key: the child never asks for a PC restart.
        settings = write_settings(work, "server=127.0.0.1\nport=%d\n取得間隔=0.5\n" % server.port)
        watchdog_process = subprocess.Popen(["wine", exe, "/kiosk", to_windows_path(settings)],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL)

        checks.check(wait_until(lambda: len(board_processes()) >= 2, 40, 0.5), "watchdog starts a child")
        pids = [p for p, _ in board_processes()]
        roots = [p for p, parent in board_processes() if parent not in pids]
        checks.check(len(roots) == 1, "one watchdog process (%r)" % board_processes())
        if len(roots) != 1:
            return
        watchdog = roots[0]
        # Pauses: 2 s after each of the first two young deaths, 30 s after the
        # third and the fourth. The bounds leave room for Wine's process start.
        plan = [("kill", 2.0), ("crash", 2.0), ("crash", 30.0), ("kill", 30.0)]
        watchdog_counts = []
        for round_number, (how, pause) in enumerate(plan, 1):
            watchdog_counts.append(process_counts(watchdog))
            current = children(watchdog)
            checks.check(len(current) == 1, "round %d: exactly one child (%r)" % (round_number, current))
            if len(current) != 1:
                break
            child = current[0]
            before = server.request_count()
            checks.check(wait_until(lambda: server.request_count() > before, 20),
                         "round %d: the child fetches documents" % round_number)
            if how == "kill":
                result, _ = probe("kill", child, "1")
                checks.check(result == 0, "round %d: child %d ended with code 1" % (round_number, child))
            else:
                seen = crash(exe, child, checks, round_number)
                checks.check(seen == "exit " + ACCESS_VIOLATION,
                             "round %d: child %d ended by an access violation (%s)" % (round_number, child, seen))
            ended = time.time()
            appeared = wait_until(lambda: any(p != child for p in children(watchdog)), pause + 25, 0.2)
            took = time.time() - ended
            print("round %d: %s, new child after %.1f s (pause %.0f s)" % (round_number, how, took, pause))
            checks.check(appeared, "round %d: a new child within the pause (%.1f s)" % (round_number, took))
            checks.check(took >= pause - 0.5, "round %d: not before the %.0f s pause (%.1f s)" %
                         (round_number, pause, took))
            if how == "crash":
                # The debugger Wine starts for the fault writes its backtrace
                # and goes; none may stay behind holding anything.
                _, debuggers = probe("list", "winedbg.exe")
                checks.check(debuggers.strip() == "", "round %d: no debugger left running (%r)" %
                             (round_number, debuggers))
                checks.check(not os.path.exists(exe + ".crash"), "round %d: the switch was taken" % round_number)
        # Months of restarts: the watchdog's own handles stay level from one
        # child to the next (a handle kept per child would add one a round).
        watchdog_counts.append(process_counts(watchdog))
        print("watchdog counts at each round and at the end: %r" % watchdog_counts)
        handles = [c.get("handles", -1) for c in watchdog_counts]
        checks.check(min(handles) > 0 and max(handles[1:]) <= handles[1] + 1,
                     "the watchdog's handles stay level over the restarts (%r)" % handles)
    finally:
        # The watchdog first, so that it starts no further child; then its
        # children, by id (Windows keeps their parent id after it is gone).
        if watchdog is not None:
            probe("kill", watchdog, "1")
            time.sleep(0.5)
            for pid in children(watchdog):
                probe("kill", pid, "1")
        if watchdog_process is not None and watchdog_process.poll() is None:
            watchdog_process.kill()
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
