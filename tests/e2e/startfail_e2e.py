#!/usr/bin/env python3
"""Start-up failure: a board whose window cannot be created ends at once with
exit code 3 instead of running on with nothing on the screen. The executable
is the test build that refuses every window of its main thread
(velmorant_startfail.exe). A snapshot run says why on standard error; a
kiosk child ends silently, so its watchdog can start a new board."""

import os
import tempfile

from e2elib import Checks, run_exe, to_windows_path, write_settings

EXIT_START_FAILED = 3


def main():
    checks = Checks()
    exe = os.environ["VELMORANT_STARTFAIL_EXE"]
    with tempfile.TemporaryDirectory() as directory:
        # A port nobody listens on: the board never gets as far as a document.
        settings = write_settings(directory, "server=127.0.0.1\nport=9\n")
        picture = os.path.join(directory, "board.bmp")
        code, error = run_exe(exe, ["/snap", to_windows_path(picture), "500", to_windows_path(settings)],
                              timeout=60)
        checks.check(code == EXIT_START_FAILED, f"snapshot run ends with 3 (got {code})")
        checks.check("board window could not be created" in error, f"snapshot run says why ({error!r})")
        checks.check(not os.path.exists(picture), "no picture from a board without a window")
        code, _ = run_exe(exe, ["/child", to_windows_path(settings)], timeout=60)
        checks.check(code == EXIT_START_FAILED, f"kiosk child ends with 3 (got {code})")
    checks.finish()


if __name__ == "__main__":
    main()
