#!/usr/bin/python3
"""The board server under attack from the station's network, on loopback.

  attack_test.py SERVER SOURCE_DIR WORK_DIR

A board-like poller (127.0.0.1, the station's boards_from) asks for its
document every 0.1 s while others attack from other loopback addresses:
connections that drip a header line a second, silent connections that
reconnect when closed, huge bodies, a flood of preview pictures, racing
wrong passwords. Fails if any poll fails or takes over 2 s. Then: the login
throttle let only the free failures through and did not lock the user out
at another desk, a password change and "user remove" end sessions, a
removed operator.db refuses changes, replies carry nosniff, the log cannot
be forged, operator.db is private, a store damaged in place never changes a
board's document. tools/bench-server.py runs the same mix at full size.
"""
import http.client
import json
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import threading
import time

# How many of each attack: reduced for the test, full for the benchmark.
REDUCED = {"drip": 32, "silent": 100, "previews": 8, "guesses": 30, "bodies": 1}
FULL = {"drip": 32, "silent": 200, "previews": 64, "guesses": 64, "bodies": 10}
PASSWORD = "correct horse battery"
TOKEN = "attack-test-token-0123456789abcdef01234"
SECONDS = 8
WORST_POLL = 2.0


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def station(server, source, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(work + "/station.toml", "w", encoding="utf-8") as config:
        config.write(f"""[server]
port = 0
listen = "127.0.0.1"
boards_from = ["127.0.0.1"]
most_connections_per_address = 16
[operator]
allow_from = ["127.0.0.0/29"]
[[operator.token]]
name = "attack-test"
token = "{TOKEN}"
[[board]]
number = 1
station = "KAW"
platform_code = "1"
address = "127.0.0.1"
[[board]]
number = 2
style = "new-style"
stop_id = "KAW-1"
""")
    subprocess.run([server, "import", source + "/tests/server/feed", "--config", work + "/station.toml"],
                   check=True, stdout=subprocess.DEVNULL)
    for name in ("ekimu", "kakari"):
        subprocess.run([server, "user", "add", name, "--config", work + "/station.toml"], input=PASSWORD + "\n",
                       text=True, check=True, stderr=subprocess.DEVNULL)


def start(server, work):
    log = open(work + "/server.log", "w")
    process = subprocess.Popen([server, "serve", "--config", work + "/station.toml", "--now", "2026-12-07T07:10",
                                "--frozen", "--port-file", work + "/port"], stdout=log, stderr=log)
    for _ in range(200):
        if os.path.exists(work + "/port"):
            return process, int(open(work + "/port").read())
        time.sleep(0.05)
    process.kill()
    fail("the server did not start")


def connect(port, source, timeout=10):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def exchange(port, source, data, timeout=10):
    """Sends the bytes, returns the whole reply ('' when closed unanswered)."""
    try:
        sock = connect(port, source, timeout)
        sock.sendall(data)
        reply = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            reply += chunk
        sock.close()
        return reply.decode("latin-1")
    except OSError:
        return ""


def request(port, source, method, path, body=None, headers=None):
    """(status, headers, body) of one request; status 0 when not answered."""
    text = json.dumps(body) if body is not None else ""
    lines = [f"{method} {path} HTTP/1.1", "Host: 127.0.0.1", f"Content-Length: {len(text.encode())}"]
    lines += [f"{name}: {value}" for name, value in (headers or {}).items()]
    reply = exchange(port, source, ("\r\n".join(lines) + "\r\n\r\n" + text).encode())
    if not reply.startswith("HTTP/1.1 "):
        return 0, "", ""
    head, _, rest = reply.partition("\r\n\r\n")
    return int(reply[9:12]), head, rest


class Poller(threading.Thread):
    """A board: HTTP/1.0, one request per connection, every 0.1 s."""

    def __init__(self, port):
        super().__init__()
        self.port, self.stop, self.polls, self.worst, self.faults = port, False, 0, 0.0, []

    def run(self):
        while not self.stop:
            began = time.monotonic()
            reply = exchange(self.port, "127.0.0.1", b"GET /api/boards/1/display.txt HTTP/1.0\r\n"
                             b"User-Agent: velmorant-w2k/2.0\r\nConnection: close\r\n\r\n", timeout=5)
            took = time.monotonic() - began
            self.polls += 1
            self.worst = max(self.worst, took)
            if not reply.startswith("HTTP/1.1 200") or "velmorant 2\n" not in reply or took > WORST_POLL:
                self.faults.append(f"{took:.2f} s: {reply[:40]!r}")
            time.sleep(0.1)


def drip(port, source, until):
    """A header line a second, never finished; again when closed."""
    while time.monotonic() < until:
        try:
            sock = connect(port, source)
            sock.sendall(b"GET /api/boards/1/display.txt HTTP/1.1\r\n")
            while time.monotonic() < until:
                sock.sendall(b"X-Slow: 1\r\n")
                time.sleep(1)
        except OSError:
            time.sleep(0.05)


def silent(port, source, until):
    """Connects, says nothing; again when closed."""
    while time.monotonic() < until:
        try:
            sock = connect(port, source, timeout=max(0.1, until - time.monotonic()))
            sock.recv(1)
            sock.close()
        except OSError:
            time.sleep(0.05)


def previews(port, until, results):
    pitch = 1
    while time.monotonic() < until:
        reply = exchange(port, "127.0.0.1", f"GET /api/boards/2/preview.png?pitch={pitch % 16 + 1} HTTP/1.0\r\n\r\n"
                         .encode())
        results.append(reply[9:12])
        pitch += 1


def login_form(port, source):
    status, head, body = request(port, source, "GET", "/")
    cookie = re.search(r"Set-Cookie: (velmorant_login=[0-9a-f]+)", head)
    csrf = re.search(r'name="csrf" value="([0-9a-f]+)"', body)
    if status != 200 or cookie is None or csrf is None:
        fail(f"no login form for {source}: {status}")
    return cookie.group(1), csrf.group(1)


def login(port, source, name, password, form=None):
    cookie, csrf = form or login_form(port, source)
    status, head, _ = request(port, source, "POST", "/login", {"name": name, "password": password, "csrf": csrf},
                              {"Cookie": cookie, "Content-Type": "application/json"})
    session = re.search(r"Set-Cookie: (velmorant_session=[0-9a-f]+)", head)
    return status, session.group(1) if session else None


def huge_bodies(port, source, problems):
    """Huge bodies: refused from their header, on every kind of path."""
    for path in ("/api/boards/1/display.txt", "/login", "/api/v1/notices"):
        reply = exchange(port, source, f"POST {path} HTTP/1.1\r\nContent-Length: 104857600\r\n\r\n".encode()
                         + bytes(65536))
        if not reply.startswith("HTTP/1.1 413"):
            problems.append(f"a 100 MiB body to {path} got {reply[:30]!r}")


def attacks(port, sizes, seconds, user="ekimu"):
    """Runs the mix for `seconds`; returns what the racing logins got."""
    until = time.monotonic() + seconds
    threads = [threading.Thread(target=drip, args=(port, "127.0.0.2", until)) for _ in range(sizes["drip"])]
    threads += [threading.Thread(target=silent, args=(port, "127.0.0.3", until)) for _ in range(sizes["silent"])]
    pictures = []
    threads += [threading.Thread(target=previews, args=(port, until, pictures)) for _ in range(sizes["previews"])]
    problems = []
    threads += [threading.Thread(target=huge_bodies, args=(port, "127.0.0.4", problems))
                for _ in range(sizes["bodies"])]
    for thread in threads:
        thread.start()
    time.sleep(1)
    # Racing wrong passwords for a real user from one address.
    forms = [login_form(port, "127.0.0.4") for _ in range(sizes["guesses"])]
    got = []
    racers = [threading.Thread(target=lambda f=f: got.append(login(port, "127.0.0.4", user, "wrong", f)[0]))
              for f in forms]
    for racer in racers:
        racer.start()
    for thread in racers + threads:
        thread.join()
    if problems:
        fail(problems[0])
    if not any(code == "200" for code in pictures):
        fail(f"no preview picture drawn under load: {pictures[:10]}")
    # A loop asking for pictures is answered late past a few a second.
    if not any(code == "429" for code in pictures) or len(pictures) > 20 * seconds * sizes["previews"]:
        fail(f"the picture flood was not slowed: {len(pictures)} replies")
    return got


def sessions(server, work, port):
    """Sessions end with a password change and with the user's removal."""
    status, session = login(port, "127.0.0.5", "ekimu", PASSWORD)
    if status != 200:
        fail(f"ekimu cannot log in at another desk after the guesses elsewhere: {status}")
    if request(port, "127.0.0.5", "GET", "/api/v1/boards", headers={"Cookie": session})[0] != 200:
        fail("a fresh session is refused")
    subprocess.run([server, "user", "add", "ekimu", "--config", work + "/station.toml"], input="a new password\n",
                   text=True, check=True, stderr=subprocess.DEVNULL)
    if request(port, "127.0.0.5", "GET", "/api/v1/boards", headers={"Cookie": session})[0] != 401:
        fail("a password change left the old session open")
    status, session = login(port, "127.0.0.5", "kakari", PASSWORD)
    subprocess.run([server, "user", "remove", "kakari", "--config", work + "/station.toml"], check=True,
                   stderr=subprocess.DEVNULL)
    if status != 200 or request(port, "127.0.0.5", "GET", "/api/v1/boards", headers={"Cookie": session})[0] != 401:
        fail("removing a user left their session open")
    history = request(port, "127.0.0.5", "GET", "/api/v1/history", headers={"Authorization": "Bearer " + TOKEN})[2]
    if "failed login for \\\"ekimu\\\"" not in history or "logged in from 127.0.0.5" not in history:
        fail("logins and failed logins are not in the history: " + history[:300])


def smaller(work, port):
    # A name with a newline cannot forge a log line.
    login(port, "127.0.0.5", "x\nvelmorant-server: forged", "wrong")
    # Replies say what they are; an address outside allow_from is not served.
    for path in ("/api/boards/1/display.txt", "/api/boards/9/display.txt", "/sounds/none.mp3"):
        reply = exchange(port, "127.0.0.1", f"GET {path} HTTP/1.0\r\n\r\n".encode())
        if "X-Content-Type-Options: nosniff" not in reply:
            fail(f"{path}: no nosniff in {reply[:200]!r}")
    if exchange(port, "127.0.0.9", b"GET / HTTP/1.0\r\n\r\n") != "":
        fail("an address outside allow_from and boards_from was answered")
    if stat.S_IMODE(os.stat(work + "/operator.db").st_mode) != 0o600:
        fail("operator.db is readable by others")
    # The operator database made read-only, then removed, while serving:
    # changes are refused with the reason, never acknowledged and lost.
    for change, reason in ((lambda: os.chmod(work + "/operator.db", 0o400), "read-only"),
                           (lambda: os.remove(work + "/operator.db"), "removed")):
        change()
        status, _, body = request(port, "127.0.0.5", "POST", "/api/v1/notices",
                                  {"text_jp": "テスト", "text_en": "Test"},
                                  {"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"})
        if status != 503 or reason not in body:
            fail(f"a change with operator.db {reason} got {status} {body}")


def damaged_store(work, port):
    """The store overwritten in place while serving: the last good document
    or 503, never another one; the operator's page says why."""
    good = exchange(port, "127.0.0.1", b"GET /api/boards/1/display.txt HTTP/1.0\r\n\r\n").partition("\r\n\r\n")[2]
    with open(work + "/timetable.db", "r+b") as store:
        size = os.path.getsize(work + "/timetable.db")
        store.seek(size // 3)
        store.write(bytes([0xA5]) * (size // 2))
    for _ in range(15):
        time.sleep(0.2)
        reply = exchange(port, "127.0.0.1", b"GET /api/boards/1/display.txt HTTP/1.0\r\n\r\n")
        if not reply.startswith("HTTP/1.1 503") and reply.partition("\r\n\r\n")[2] != good:
            fail("a damaged store changed the board's document: " + reply[-300:])
    boards = json.loads(request(port, "127.0.0.5", "GET", "/api/v1/boards",
                                headers={"Authorization": "Bearer " + TOKEN})[2])
    if not boards.get("store_fault"):
        fail("the operator's page does not show the store fault")


def main():
    server, source, work = sys.argv[1], sys.argv[2], sys.argv[3]
    station(server, source, work)
    process, port = start(server, work)
    try:
        poller = Poller(port)
        poller.start()
        got = attacks(port, REDUCED, SECONDS)
        poller.stop = True
        poller.join()
        print(f"{poller.polls} polls, worst {poller.worst:.3f} s; racing wrong passwords got {sorted(got)}")
        if poller.faults or poller.polls < SECONDS * 3:
            fail(f"board polls failed or were slow: {poller.faults[:5]}")
        if sum(1 for code in got if code == 401) > 3:
            fail(f"more than the 3 free password checks ran: {sorted(got)}")
        sessions(server, work, port)
        damaged_store(work, port)
        smaller(work, port)
    finally:
        process.terminate()
        process.wait(timeout=10)
    log = open(work + "/server.log").read()
    if "\nvelmorant-server: forged" in log:
        fail("a login name forged a log line")
    print("ok")


if __name__ == "__main__":
    main()
