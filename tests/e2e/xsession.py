"""An Xvfb screen with its own Wine prefix (real X11 windows), and xdotool
to find, drive and measure the board's window."""

import os
import select
import subprocess
import time

from e2elib import SOURCE


class XSession:
    def __init__(self, width=1024, height=768):
        self.width, self.height = width, height
        # The X server picks a display number it can really listen on: a
        # free lock file is not enough, since X servers in other file-system
        # roots (chroots, containers) share the abstract socket names.
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                      "%dx%dx24" % (width, height), "-nolisten", "tcp"],
                                     pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.time() + 20
        while not number.endswith(b"\n") and time.time() < deadline:
            ready, _, _ = select.select([read_end], [], [], 0.5)
            if ready:
                piece = os.read(read_end, 16)
                if not piece:
                    break
                number += piece
        os.close(read_end)
        self.display = ":" + number.decode("ascii").strip()
        self.env = dict(os.environ)
        self.env["DISPLAY"] = self.display
        base = os.environ.get("WINEPREFIX", "/tmp/velmorant-wine")
        self.env["WINEPREFIX"] = base + "-x11"
        subprocess.run([os.path.join(SOURCE, "tools", "wine-prefix.sh"), "start", self.env["WINEPREFIX"], "x11"],
                       env=self.env, check=True, timeout=300)

    def start_board(self, exe, arguments):
        return subprocess.Popen(["wine", exe] + list(arguments), env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def xdotool(self, *arguments):
        result = subprocess.run(["xdotool"] + [str(a) for a in arguments], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30)
        return result.stdout.decode("utf-8", "replace").strip()

    def find_window(self, title_part="発車標", timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.xdotool("search", "--onlyvisible", "--name", title_part)
            if found:
                return found.split()[-1]
            time.sleep(0.2)
        return None

    def geometry(self, window):
        """(x, y, width, height) of the X window."""
        text = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        try:
            return (int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"]))
        except KeyError:
            return None

    def title(self, window):
        return self.xdotool("getwindowname", window)

    def key(self, window, key):
        self.xdotool("key", "--window", window, key)

    def double_click(self, window, x, y):
        self.xdotool("mousemove", "--window", window, x, y)
        time.sleep(0.2)
        self.xdotool("click", "--repeat", 2, "--delay", 60, 1)

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        subprocess.run([os.path.join(SOURCE, "tools", "wine-prefix.sh"), "stop", self.env["WINEPREFIX"]],
                       env=self.env, timeout=60)
        self.xvfb.terminate()
        try:
            self.xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.xvfb.kill()
