"""Helpers for the end-to-end tests: the scripted board server, the real
velmorant.exe under Wine, and BMP pictures read back pixel by pixel."""

import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

SOURCE = os.environ.get("VELMORANT_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
SERVER_SCRIPT = os.path.join(SOURCE, "tools", "boardserver.py")

# The classic palette as (R, G, B).
PALETTE = [(30, 30, 30), (48, 255, 64), (255, 140, 0), (255, 40, 40),
           (255, 224, 0), (240, 240, 240), (64, 184, 255), (255, 80, 208)]


class BoardServer:
    """The scripted board server on a free loopback port."""

    def __init__(self, root=None):
        self.workdir = tempfile.mkdtemp(prefix="velmorant-server-")
        self.root = root or os.path.join(self.workdir, "root")
        os.makedirs(self.root, exist_ok=True)
        port_file = os.path.join(self.workdir, "port")
        subprocess.run([sys.executable, SERVER_SCRIPT, "start", "--root", self.root,
                        "--port-file", port_file], check=True, timeout=30)
        with open(port_file) as f:
            self.port = int(f.read().strip())

    def control(self, op, **fields):
        fields["op"] = op
        request = urllib.request.Request(
            "http://127.0.0.1:%d/__control" % self.port, data=json.dumps(fields).encode(),
            method="POST")
        with urllib.request.urlopen(request, timeout=30) as reply:
            return reply.read()

    def put_board(self, board, text):
        self.control("put", path="/api/boards/%d/display.txt" % board, text=text)

    def request_count(self):
        return int(self.control("count"))

    def request(self, index):
        return self.control("request", index=index)

    def stop(self):
        try:
            self.control("shutdown")
        except Exception:
            pass
        shutil.rmtree(self.workdir, ignore_errors=True)


def velmorant_exe():
    return os.environ["VELMORANT_EXE"]


def to_windows_path(path):
    """A Linux path as Wine sees it (drive Z: maps the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write_settings(directory, text, name="velmorant.ini"):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(text.encode("utf-8"))
    return path


def run_board(arguments, timeout=120, cwd=None):
    """Runs velmorant.exe under Wine; returns (exit code, stderr text)."""
    command = ["wine", velmorant_exe()] + list(arguments)
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, timeout=timeout, cwd=cwd)
    return result.returncode, result.stderr.decode("utf-8", "replace")


def snapshot(settings_path, picture, ms, extra=()):
    return run_board(list(extra) + ["/snap", to_windows_path(picture), str(ms),
                                    to_windows_path(settings_path)])


class Picture:
    """A 32-bit bottom-up BMP read back as top-down (R, G, B) pixels."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.size = len(data)
        assert data[:2] == b"BM", "not a BMP file"
        (self.file_size,) = struct.unpack_from("<I", data, 2)
        (self.offset,) = struct.unpack_from("<I", data, 10)
        self.width, self.height = struct.unpack_from("<ii", data, 18)
        (self.bits,) = struct.unpack_from("<H", data, 28)
        self.data = data

    def pixel(self, x, y):
        row = self.height - 1 - y
        at = self.offset + (row * self.width + x) * 4
        b, g, r = self.data[at], self.data[at + 1], self.data[at + 2]
        return (r, g, b)


def classic_dot(picture, layout, column, row):
    """The colour at the centre of LED dot (column, row) of a classic board."""
    n, led_left, led_top = layout
    return picture.pixel(led_left + column * n + n // 2, led_top + row * n + n // 2)


def palette_index(rgb, tolerance=40):
    """The palette entry nearest to a lit dot's centre colour, or None."""
    best, best_distance = None, None
    for index, colour in enumerate(PALETTE):
        distance = sum(abs(a - b) for a, b in zip(rgb, colour))
        if best_distance is None or distance < best_distance:
            best, best_distance = index, distance
    return best if best_distance <= tolerance else None


def wait_until(predicate, timeout, step=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Checks:
    """Collects failed checks so one run reports all of them."""

    def __init__(self):
        self.failures = []
        self.count = 0

    def check(self, condition, message):
        self.count += 1
        if not condition:
            self.failures.append(message)
            print("FAIL:", message)

    def finish(self):
        print("%d checks, %d failed" % (self.count, len(self.failures)))
        sys.exit(1 if self.failures or self.count == 0 else 0)


# ---------------------------------------------------------------------------
# Helpers for the fault, soak and kiosk scripts.

CLASSIC_LAYOUT = (3, 6, 36)  # default 780 x 138 picture: pitch 3, LED panel at (6, 36)


def free_port():
    """A loopback port nothing listens on (for "server down" cases)."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class FixedPortServer(BoardServer):
    """The board server on a port chosen by the test, so that it can go away
    and come back where the board expects it."""

    def __init__(self, port, root=None):  # pylint: disable=super-init-not-called
        self.workdir = tempfile.mkdtemp(prefix="velmorant-server-")
        self.root = root or os.path.join(self.workdir, "root")
        os.makedirs(self.root, exist_ok=True)
        self.port = port
        port_file = os.path.join(self.workdir, "port")
        log = open(port_file + ".log", "wb")
        self.process = subprocess.Popen([sys.executable, SERVER_SCRIPT, "serve", "--root", self.root,
                                         "--port", str(port), "--port-file", port_file],
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.time() + 20
        while not os.path.exists(port_file) and time.time() < deadline:
            time.sleep(0.05)

    def stop(self):
        BoardServer.stop(self)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()


def private_exe(directory):
    """A copy of velmorant.exe in its own directory, so that the melody cache
    and anything else written beside the executable lands there."""
    target = os.path.join(directory, "velmorant.exe")
    shutil.copyfile(velmorant_exe(), target)
    return target


def run_exe(exe, arguments, timeout=120):
    command = ["wine", exe] + list(arguments)
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, timeout=timeout)
    return result.returncode, result.stderr.decode("utf-8", "replace")


def row_colours(picture, row, layout=CLASSIC_LAYOUT, width=256):
    """The set of palette indices lit on one board row (0 and unknown left out)."""
    found = set()
    for dot_row in range(16 * row, 16 * row + 16):
        for column in range(width):
            index = palette_index(classic_dot(picture, layout, column, dot_row))
            if index not in (0, None):
                found.add(index)
    return found


def probe_exe():
    return os.environ.get("VELMORANT_PROBE")


def probe(*arguments, env=None, timeout=30):
    """Runs the probe helper under Wine; its standard output as text."""
    result = subprocess.run(["wine", probe_exe()] + [str(a) for a in arguments], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=timeout, env=env)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def process_counts(pid, env=None, tries=3):
    """{"handles": n, "gdi": n, "windows": n} of a Windows process, as the
    probe reads them (-1 for a figure it could not read); {} when no reading
    came back. Starting a Wine process now and then fails on a loaded
    machine, so a probe run that gives nothing is tried again, and said."""
    for attempt in range(tries):
        code, text = probe("counts", pid, env=env)
        found = {}
        for item in text.split():
            name, _, value = item.partition("=")
            try:
                found[name] = int(value)
            except ValueError:
                pass
        if len(found) == 3:
            return found
        print("probe counts %d gave no reading (exit %d, %r), try %d of %d" %
              (pid, code, text.strip(), attempt + 1, tries), flush=True)
        time.sleep(0.5)
    return {}


def board_processes(env=None):
    """(pid, parent pid) of every velmorant.exe the Wine server knows."""
    for _ in range(3):
        code, text = probe("list", "velmorant.exe", env=env)
        if code == 0:
            break
        print("probe list gave exit %d" % code, flush=True)
        time.sleep(0.5)
    pairs = []
    for line in text.splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[0].isdigit():
            pairs.append((int(fields[0]), int(fields[1])))
    return pairs


# ---------------------------------------------------------------------------
# Helpers for the scripts that run velmorant-server beside the board.

def server_exe():
    """velmorant-server from the host build (or VELMORANT_SERVER_EXE); the
    script fails at once when there is none."""
    server = os.environ.get("VELMORANT_SERVER_EXE") or os.path.join(
        SOURCE, "build", "host", "src", "server", "velmorant-server")
    if not os.access(server, os.X_OK):
        print("FAIL: no velmorant-server at %s (build the host preset first, or set VELMORANT_SERVER_EXE)"
              % server)
        sys.exit(1)
    return server


def stop_server(process):
    """Ends the server with SIGTERM (killed after 20 s); its exit code, or
    "killed"."""
    process.terminate()
    try:
        return process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        return "killed"


def lit(picture, row, columns):
    """{palette index: dot count} of one classic board row within the columns."""
    found = {}
    for dot_row in range(16 * row, 16 * row + 16):
        for column in columns:
            index = palette_index(classic_dot(picture, CLASSIC_LAYOUT, column, dot_row))
            if index not in (0, None):
                found[index] = found.get(index, 0) + 1
    return found
