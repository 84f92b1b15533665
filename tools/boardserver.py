#!/usr/bin/env python3
"""The board server for demonstrations and tests (Python 3 standard library).

It answers what a board asks for:
  GET /api/boards/<n>/display.txt  -> <root>/boards/<n>/display.txt
  GET /sounds/<encoded name>       -> <root>/sounds/<name> (one sub-directory)
  GET /                            -> a small operator page
and always closes the connection after the reply, as the board expects.

Tests drive it through a control endpoint on the same port: a POST of one
JSON object to /__control. Control requests are not recorded; every other
request's raw bytes are. Operations ("op"):
  reset                       forget scripts, put files and recorded requests
  put {path, hex | text}      serve these bytes at this path (over the tree)
  remove {path}               answer 404 at this path
  script {path?, steps:[..]}  the next requests (of this path, or of any path
                              when none is given) each take one step
  count                       body: number of recorded requests, in decimal
  request {index}             body: raw bytes of recorded request <index>
                              (negative counts from the end); 404 when none
  wait {count, timeout_ms}    returns when that many requests are recorded
  shutdown                    stops the server
A step is an object whose keys choose a misbehaviour; absent keys mean the
ordinary reply:
  status: int                 status code of the reply
  version: "HTTP/1.1"         protocol text of the status line
  body_hex / body_text        this body instead of the file
  fill: int                   a body of that many "x" bytes
  delay_head_ms: int          silence before anything is sent
  delay_body_ms: int          silence after the head (and split_at bytes)
  split_at: int               body bytes sent before delay_body_ms
  lf_only: true               head lines end in LF only
  long_head: int              a head of that many bytes with no blank line
  cut_body: int               close (orderly) after this many body bytes
  reset_body: int             reset the connection after this many bytes
  close_silently: true        close without sending anything
  raw_hex: str                send exactly these bytes, then close

The test suites start it with "start", which runs "serve" in the background
on a free loopback port and writes that port to --port-file, and end it with
"stop". Run "serve --root DIR --port 8020" to try a board by hand.
"""

import argparse
import collections
import html
import json
import os
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

REASONS = {200: "OK", 204: "No Content", 301: "Moved Permanently", 302: "Found",
           400: "Bad Request", 404: "Not Found", 500: "Internal Server Error"}
HEAD_LIMIT = 65536


class BoardState:
    """What the server knows beyond its directory tree, behind one lock."""

    def __init__(self, root):
        self.root = os.path.abspath(root) if root else None
        self.lock = threading.Condition()
        self.reset()

    def reset(self):
        with self.lock:
            self.overrides = {}
            self.scripts = collections.OrderedDict()
            self.recorded = []
            self.lock.notify_all()

    def record(self, raw):
        with self.lock:
            self.recorded.append(raw)
            self.lock.notify_all()

    def next_step(self, path):
        with self.lock:
            for key in (path, None):
                steps = self.scripts.get(key)
                if steps:
                    return steps.popleft()
            return {}

    def content(self, path):
        """(bytes, content type) for a path, or None."""
        with self.lock:
            if path in self.overrides:
                body = self.overrides[path]
                return None if body is None else (body, "application/octet-stream")
        if path == "/":
            return (self.operator_page().encode("utf-8"), "text/html; charset=utf-8")
        if self.root is None:
            return None
        parts = path.split("/")
        local = None
        if len(parts) == 5 and parts[1:3] == ["api", "boards"] and parts[4] == "display.txt" \
                and parts[3].isdigit():
            local = os.path.join(self.root, "boards", parts[3], "display.txt")
        elif path.startswith("/sounds/"):
            name = urllib.parse.unquote(path[len("/sounds/"):], errors="strict")
            segments = name.split("/")
            if 1 <= len(segments) <= 2 and all(s and not s.startswith(".") for s in segments):
                local = os.path.join(self.root, "sounds", *segments)
        if local is None or not os.path.isfile(local):
            return None
        with open(local, "rb") as f:
            return (f.read(), "text/plain; charset=utf-8" if local.endswith(".txt") else
                    "application/octet-stream")

    def operator_page(self):
        boards = []
        if self.root and os.path.isdir(os.path.join(self.root, "boards")):
            boards = sorted(os.listdir(os.path.join(self.root, "boards")),
                            key=lambda n: (len(n), n))
        items = "".join('<li><a href="/api/boards/{0}/display.txt">Board {0}</a></li>'.format(
            html.escape(b)) for b in boards)
        return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Board server</title>"
                "</head><body><h1>Board server</h1><ul>{}</ul><p>Requests served: {}</p>"
                "</body></html>").format(items or "<li>no boards</li>", len(self.recorded))


def read_request(sock):
    """The raw bytes of one request (head and any Content-Length body)."""
    data = b""
    while b"\r\n\r\n" not in data and len(data) < HEAD_LIMIT:
        piece = sock.recv(65536)
        if not piece:
            return data
        data += piece
    head, _, rest = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                length = int(value.strip())
            except ValueError:
                length = 0
    while len(rest) < length:
        piece = sock.recv(65536)
        if not piece:
            break
        rest += piece
    return head + b"\r\n\r\n" + rest


def simple_reply(sock, status, body, content_type="text/plain; charset=utf-8"):
    head = "HTTP/1.0 {} {}\r\nContent-Type: {}\r\nContent-Length: {}\r\nConnection: close\r\n\r\n".format(
        status, REASONS.get(status, "Status"), content_type, len(body))
    sock.sendall(head.encode("ascii") + body)


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.settimeout(30)
        try:
            raw = read_request(sock)
        except OSError:
            return
        line = raw.split(b"\r\n", 1)[0].decode("latin-1")
        fields = line.split(" ")
        target = fields[1] if len(fields) >= 2 else ""
        if target.startswith("/__control"):
            self.control(sock, raw)
        else:
            self.server.state.record(raw)
            try:
                self.reply(sock, target.split("?", 1)[0])
            except OSError:
                pass
        self.finish_connection(sock)

    def finish_connection(self, sock):
        try:
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def control(self, sock, raw):
        state = self.server.state
        try:
            command = json.loads(raw.partition(b"\r\n\r\n")[2].decode("utf-8") or "{}")
            op = command.get("op")
            if op == "reset":
                state.reset()
            elif op == "put":
                body = bytes.fromhex(command["hex"]) if "hex" in command else \
                    command.get("text", "").encode("utf-8")
                with state.lock:
                    state.overrides[command["path"]] = body
            elif op == "remove":
                with state.lock:
                    state.overrides[command["path"]] = None
            elif op == "script":
                with state.lock:
                    state.scripts.setdefault(command.get("path"), collections.deque()).extend(
                        command.get("steps", []))
            elif op == "count":
                with state.lock:
                    simple_reply(sock, 200, str(len(state.recorded)).encode("ascii"))
                return
            elif op == "request":
                with state.lock:
                    index = int(command.get("index", -1))
                    try:
                        body = state.recorded[index]
                    except IndexError:
                        body = None
                if body is None:
                    simple_reply(sock, 404, b"")
                else:
                    simple_reply(sock, 200, body, "application/octet-stream")
                return
            elif op == "wait":
                deadline = time.monotonic() + command.get("timeout_ms", 10000) / 1000.0
                with state.lock:
                    while len(state.recorded) < command.get("count", 0):
                        left = deadline - time.monotonic()
                        if left <= 0:
                            break
                        state.lock.wait(left)
                    simple_reply(sock, 200, str(len(state.recorded)).encode("ascii"))
                return
            elif op == "shutdown":
                simple_reply(sock, 200, b"bye")
                threading.Thread(target=self.server.shutdown, daemon=True).start()
                return
            else:
                simple_reply(sock, 400, b"unknown op")
                return
            simple_reply(sock, 200, b"ok")
        except (ValueError, KeyError, TypeError) as error:
            simple_reply(sock, 400, str(error).encode("utf-8"))

    def reply(self, sock, path):
        state = self.server.state
        step = state.next_step(path)
        if step.get("delay_head_ms"):
            time.sleep(step["delay_head_ms"] / 1000.0)
        if step.get("close_silently"):
            return
        if "raw_hex" in step:
            sock.sendall(bytes.fromhex(step["raw_hex"]))
            return
        if step.get("long_head"):
            head = b"HTTP/1.0 200 OK\r\nX-Padding: "
            sock.sendall(head + b"a" * max(0, step["long_head"] - len(head)))
            return
        found = state.content(path)
        if "body_hex" in step:
            body = bytes.fromhex(step["body_hex"])
        elif "body_text" in step:
            body = step["body_text"].encode("utf-8")
        elif "fill" in step:
            body = b"x" * step["fill"]
        else:
            body = found[0] if found else b""
        content_type = found[1] if found else "application/octet-stream"
        status = step.get("status", 200 if (found or "body_hex" in step or "body_text" in step
                                            or "fill" in step) else 404)
        if status == 404 and not found and "status" not in step:
            body = b"not found"
        end = "\n" if step.get("lf_only") else "\r\n"
        head = ("{} {} {}{e}Content-Type: {}{e}Content-Length: {}{e}Connection: close{e}{e}".format(
            step.get("version", "HTTP/1.0"), status, REASONS.get(status, "Status"), content_type,
            len(body), e=end)).encode("ascii")
        if "cut_body" in step:
            sock.sendall(head + body[:step["cut_body"]])
            return
        if "reset_body" in step:
            sock.sendall(head + body[:step["reset_body"]])
            time.sleep(0.05)
            # An abortive close: the client sees a reset, not an orderly end.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.close()
            return
        if step.get("delay_body_ms"):
            split = step.get("split_at", 0)
            sock.sendall(head + body[:split])
            time.sleep(step["delay_body_ms"] / 1000.0)
            sock.sendall(body[split:])
            return
        # Head and body in one send: one segment for small replies.
        sock.sendall(head + body)


class BoardServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, state):
        super().__init__(address, Handler)
        self.state = state


def write_port_file(path, port):
    temporary = path + ".tmp"
    with open(temporary, "w") as f:
        f.write("{}\n".format(port))
    os.replace(temporary, path)


def serve(args):
    server = BoardServer((args.host, args.port), BoardState(args.root))
    port = server.server_address[1]
    print("PORT {}".format(port), flush=True)
    if args.port_file:
        write_port_file(args.port_file, port)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
        if args.port_file and os.path.exists(args.port_file):
            os.remove(args.port_file)


def control(port, command, timeout=10):
    body = json.dumps(command).encode("utf-8")
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall("POST /__control HTTP/1.0\r\nContent-Length: {}\r\n\r\n".format(
            len(body)).encode("ascii") + body)
        reply = b""
        while True:
            piece = sock.recv(65536)
            if not piece:
                break
            reply += piece
    return reply.partition(b"\r\n\r\n")[2]


def start(args):
    """Runs "serve" detached from the caller and returns once it listens."""
    if os.path.exists(args.port_file):
        os.remove(args.port_file)
    log = open(args.port_file + ".log", "wb")
    command = [sys.executable, os.path.abspath(__file__), "serve", "--port", "0",
               "--port-file", args.port_file]
    if args.root:
        command += ["--root", args.root]
    subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                     start_new_session=True, close_fds=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if os.path.exists(args.port_file):
            print(open(args.port_file).read().strip())
            return 0
        time.sleep(0.05)
    print("board server did not start", file=sys.stderr)
    return 1


def stop(args):
    try:
        port = int(open(args.port_file).read().strip())
        control(port, {"op": "shutdown"})
    except (OSError, ValueError):
        pass
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("action", choices=["serve", "start", "stop"])
    parser.add_argument("--root", help="directory with boards/<n>/display.txt and sounds/")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8020)
    parser.add_argument("--port-file", help="where the listening port is written")
    args = parser.parse_args()
    if args.action in ("start", "stop") and not args.port_file:
        parser.error("--port-file is needed")
    if args.action == "serve":
        serve(args)
        return 0
    return start(args) if args.action == "start" else stop(args)


if __name__ == "__main__":
    sys.exit(main())
