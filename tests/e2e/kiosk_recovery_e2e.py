#!/usr/bin/env python3
"""Kiosk recovery: the real "/kiosk" watchdog under Wine, whose board child
is ended from outside three times, as by Task Manager
(TerminateProcess, exit code 1) and as by a crash (the exit code of an
access violation). Each time a new child must follow: after the short pause
while fewer than three children in a row died young, then after the long
one. Only children are ended with those codes (never 11 or 12, which would
ask for a PC restart or power-off); the watchdog is ended at the close."""

import os
import shutil
import subprocess
import tempfile
import time

from e2elib import (BoardServer, Checks, board_processes, private_exe, probe, to_windows_path, wait_until,
                    write_settings)

DOCUMENT = "velmorant 2\nline=train\t10:00\t大阪\tOsaka\t\t0\nend\n"
ACCESS_VIOLATION = "0xC0000005"


def children(watchdog):
    return [pid for pid, parent in board_processes() if parent == watchdog]


def main():
    checks = Checks()
    work = tempfile.mkdtemp(prefix="velmorant-kiosk-")
    server = BoardServer()
    watchdog_process = None
    watchdog = None
    try:
        server.put_board(1, DOCUMENT)
        exe = private_exe(work)
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
        # third. The bounds leave room for Wine's process start.
        plan = [("1", 2.0), (ACCESS_VIOLATION, 2.0), ("1", 30.0)]
        for round_number, (code, pause) in enumerate(plan, 1):
            current = children(watchdog)
            checks.check(len(current) == 1, "round %d: exactly one child (%r)" % (round_number, current))
            if len(current) != 1:
                break
            child = current[0]
            before = server.request_count()
            checks.check(wait_until(lambda: server.request_count() > before, 20),
                         "round %d: the child fetches documents" % round_number)
            result, _ = probe("kill", child, code)
            checks.check(result == 0, "round %d: child %d ended with %s" % (round_number, child, code))
            ended = time.time()
            appeared = wait_until(lambda: any(p != child for p in children(watchdog)), pause + 25, 0.2)
            took = time.time() - ended
            print("round %d: code %s, new child after %.1f s (pause %.0f s)" % (round_number, code, took, pause))
            checks.check(appeared, "round %d: a new child within the pause (%.1f s)" % (round_number, took))
            checks.check(took >= pause - 0.5, "round %d: not before the %.0f s pause (%.1f s)" %
                         (round_number, pause, took))
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
