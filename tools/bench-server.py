#!/usr/bin/env python3
"""The board server's benchmark, run by hand on the release build:

    cmake --preset server && cmake --build --preset server
    python3 tools/bench-server.py [--seconds S] [--boards 1,100,1000,5000]

1. Generates a feed of 1,000,000 stop_times rows (tools/make-load-feed.py)
   and times its import, with the importer's peak memory (max RSS).
2. Serves it on a free loopback port with 5,000 boards configured and runs
   the board-like load generator (tools/boardload.cpp) for 1, 100, 1,000
   and 5,000 boards, each polling once a second.
3. Runs the same loads against a plain nginx serving the same documents as
   static files (its own configuration, loopback only, started and stopped
   here), as the yardstick.
4. Runs ApacheBench (HTTP/1.0, no keep-alive) against both.
5. Decodes and applies a GTFS-realtime trip-updates feed of 5,000 trips x
   30 stop updates (written by tools/realtime-feed.py) to a board holding
   every one of those trips, with tests/bench/realtime_bench.cpp; goal:
   under 200 ms and 100 MB. `--realtime-only` runs this part alone.

6. With --imports (or alone with --imports-only): times the import and
   reads its peak memory for generated feeds of 1,000,000 and 10,000,000
   stop_times rows and for zip bombs: one whose stop_times.txt claims
   5 GiB, one of 3.5 GiB of zeros under the 4 GiB limit, and one of
   1 GiB of repeated rows of one trip.

7. Runs the attack mix of tests/server/attack_test.py at full size (slow
   and silent connections, 100 MiB bodies, a preview flood, racing login
   guesses, from other loopback addresses) beside 5,000 polling boards, and
   reads the server's peak memory.

8. With --live-feed (or alone with --live-feed-only): the station once
   without and once with a [[realtime]] feed, round after round (--rounds):
   a trip-updates feed of 5,000 of the generated feed's own weekday trips x
   30 stop updates, served by a small HTTP server on loopback that gives a
   new version (new timestamp, new delays) every 15 s, so the server fetches,
   decodes and applies a new one at each of its 15 s fetches; 5,000 boards
   poll for --live-seconds (default 45: three applications) and the two
   p99s and their ratio are printed (goal: within 10 %), with the load
   average and how many versions the server took during each run.

Prints a Markdown table of the figures. Everything lives in
build/server/bench/; the feeds are generated here and never kept in the
tree."""

import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time
import threading
import urllib.request
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "server"))
import attack_test  # noqa: E402  the same attacks as the test, at full size
CLOCK = "2026-03-10T07:30"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_measured(command, show=False):
    """Runs a command; returns (exit code, seconds, peak RSS in MB)."""
    started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.monotonic() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0 or show:
        sys.stdout.write(output.decode("utf-8", "replace")[-3000:])
    return process.returncode, seconds, usage.ru_maxrss / 1024.0


def wait_for_file(path, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path) and open(path).read().strip():
            return True
        time.sleep(0.05)
    return False


def write_bomb(path, base_feed, size, line):
    """A zip of the generated feed whose stop_times.txt is `line` repeated
    up to `size` bytes: tiny compressed, huge expanded."""
    block = line * (16 * 1024 * 1024 // len(line))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for name in sorted(os.listdir(base_feed)):
            if name != "stop_times.txt":
                z.write(os.path.join(base_feed, name), name)
        with z.open("stop_times.txt", "w", force_zip64=True) as entry:
            entry.write(b"trip_id,arrival_time,departure_time,stop_id,stop_sequence\n")
            written = 0
            while written < size:
                piece = block[:size - written]
                entry.write(piece)
                written += len(piece)


def run_import(server, feed, store):
    """An import measured by /usr/bin/time where it is installed: the
    rusage of a child forked from Python counts Python's own pages before
    the exec, which would floor the figure at Python's size."""
    command = [server, "import", feed, "--store", store]
    if not os.access("/usr/bin/time", os.X_OK):
        return run_measured(command, show=True)
    peak_file = store + ".peak"
    code, seconds, _ = run_measured(["/usr/bin/time", "-o", peak_file, "-f", "%M"] + command, show=True)
    with open(peak_file) as f:
        return code, seconds, int(f.read().split()[-1]) / 1024.0


def import_benchmarks(server, work):
    """Import time and peak memory: 1 M and 10 M stop times, and zip bombs."""
    report = ["| import | time, peak memory, exit |", "|---|---|---|"]
    feeds = {}
    for rows in (1000000, 10000000):
        folder = os.path.join(work, "import-%d" % rows)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools/make-load-feed.py"), folder, "--rows",
                        str(rows), "--boards", "2"], check=True, stdout=subprocess.DEVNULL)
        feeds[rows] = os.path.join(folder, "feed")
    small = feeds[1000000]
    bombs = [("zip bomb: stop_times.txt claims 5 GiB (zeros)", 5 << 30, b"\0"),
             ("zip bomb: 3.5 GiB of zeros, under the limit", 3584 << 20, b"\0"),
             ("zip bomb: 1 GiB of one trip's row repeated", 1 << 30, b"R0-0,05:00:00,05:00:20,S0-1,1\n")]
    cases = [("%d stop_times rows" % rows, feed) for rows, feed in sorted(feeds.items())]
    for number, (title, size, line) in enumerate(bombs):
        path = os.path.join(work, "bomb-%d.zip" % number)
        write_bomb(path, small, size, line)
        cases.append(("%s (%.1f MB zip)" % (title, os.path.getsize(path) / 1e6), path))
    for title, feed in cases:
        store = os.path.join(work, "import-bench.db")
        for leftover in (store, store + ".new"):
            if os.path.exists(leftover):
                os.remove(leftover)
        code, seconds, peak = run_import(server, feed, store)
        report.append("| %s | %.1f s, %.0f MB, exit %d |" % (title, seconds, peak, code))
        print(report[-1], flush=True)
    return report


def fetch(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=10) as reply:
        return reply.read()


def boardload(tool, port, boards, seconds, numbers):
    result = subprocess.run([tool, "--port", str(port), "--boards", str(boards), "--seconds", str(seconds),
                             "--board-numbers", str(numbers)], stdout=subprocess.PIPE, text=True)
    line = result.stdout.strip()
    figures = dict(re.findall(r"(\w+)=([\d.]+)", line))
    return line, figures


def apachebench(port, requests, concurrency):
    result = subprocess.run(["ab", "-q", "-n", str(requests), "-c", str(concurrency),
                             "http://127.0.0.1:%d/api/boards/1/display.txt" % port],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    text = result.stdout
    rate = re.search(r"Requests per second:\s+([\d.]+)", text)
    # ab counts a body whose length differs from the first one's as failed;
    # a board's document changes with the clock, so only the other causes
    # count as failures here.
    failed = re.search(r"\(Connect: (\d+), Receive: (\d+), Length: \d+, Exceptions: (\d+)\)", text)
    non2xx = re.search(r"Non-2xx responses:\s+(\d+)", text)
    p50 = re.search(r"^\s+50%\s+(\d+)", text, re.M)
    p99 = re.search(r"^\s+99%\s+(\d+)", text, re.M)
    if not rate:
        return "ab failed: " + text[-500:]
    return "%s req/s, p50 %s ms, p99 %s ms, failed %s%s" % (
        rate.group(1), p50.group(1) if p50 else "?", p99.group(1) if p99 else "?",
        sum(int(g) for g in failed.groups()) if failed else 0, ", non-2xx " + non2xx.group(1) if non2xx else "")


WRITE_TRIP_UPDATES = """
import runpy, sys, types
tool = types.SimpleNamespace(**runpy.run_path(sys.argv[1]))
rt = tool.load(sys.argv[2])
message = tool.feed(rt, 1800000000)
for trip in range(int(sys.argv[4])):
    update = tool.trip_update(rt, message, str(trip), trip_id="T%d" % trip, start_date="20270115")
    for sequence in range(int(sys.argv[5])):
        tool.stop(rt, update, sequence=sequence, stop_id="S%d" % sequence, delay=60 + trip % 600)
tool.write(message, sys.argv[3])
"""


def realtime_figures(bench, work, trips=5000, stops=30):
    """Decoding and applying a large trip-updates feed, as a table row."""
    if not os.access(bench, os.X_OK):
        return "| realtime | no %s (cmake --build --preset server --target realtime_bench) |" % bench
    feed = os.path.join(work, "trip-updates.pb")
    # Debian's Python protobuf belongs to the system's Python.
    subprocess.run(["/usr/bin/python3", "-c", WRITE_TRIP_UPDATES, os.path.join(ROOT, "tools/realtime-feed.py"),
                    work, feed, str(trips), str(stops)], check=True)
    output = subprocess.run([bench, feed, str(trips), "5"], check=True, capture_output=True,
                            text=True).stdout.strip()
    figures = dict(field.split("=") for field in output.split())
    return ("| GTFS-realtime, %d trips x %d stop updates (%s bytes) | decode %s ms, decode and apply %s ms, "
            "peak memory %s MB, %s trains delayed (goal: under 200 ms and 100 MB) |" %
            (trips, stops, figures["feed_bytes"], figures["decode_ms"], figures["decode_apply_ms"],
             figures["max_rss_mb"], figures["delayed"]))


# The live feed's HTTP server for step 8, run by the system's Python (it
# needs Debian's protobuf). It holds four versions of the feed's entities,
# each trip with its own delays, and answers with the next version every
# 15 s of wall time: the header (its timestamp on the timetable clock of the
# server being measured, whose start the bench writes to a file) followed by
# the version's entities, two encodings that concatenate into one message.
# The ETag is the version, so an unchanged feed costs a 304.
LIVE_FEED_SERVER = r"""
import http.server, json, runpy, sys, time, types
tool = types.SimpleNamespace(**runpy.run_path(sys.argv[1]))
rt = tool.load(sys.argv[2])
trips = json.load(open(sys.argv[3]))
clock_epoch, start_file, port_file, log_file = int(sys.argv[4]), sys.argv[5], sys.argv[6], sys.argv[7]
STOP_UPDATES, PERIOD, VERSIONS = 30, 15, 4
versions = []
for version in range(VERSIONS):
    message = rt.FeedMessage()
    for number, (trip_id, stops) in enumerate(trips):
        update = tool.trip_update(rt, message, str(number), trip_id=trip_id, start_date=sys.argv[8])
        for k in range(STOP_UPDATES):
            stop_id = stops[k] if k < len(stops) else ""
            tool.stop(rt, update, sequence=k + 1, stop_id=stop_id, delay=60 * ((number + version) % 10) + 30)
    # Only the entities: the header (a required field) comes with each reply.
    versions.append(message.SerializePartialToString())
started = time.time()
log = open(log_file, "a", buffering=1)

class Feed(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        version = int((time.time() - started) // PERIOD)
        etag = '"v%d"' % version
        if self.headers.get("If-None-Match") == etag:
            self.send_response(304)
            self.end_headers()
            log.write("%.3f 304 %d\n" % (time.time(), version))
            return
        try:
            server_start = float(open(start_file).read())
        except (OSError, ValueError):
            server_start = time.time()
        header = tool.feed(rt, clock_epoch + (time.time() - server_start)).SerializeToString()
        body = header + versions[version % VERSIONS]
        self.send_response(200)
        self.send_header("Content-Type", "application/x-protobuf")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("ETag", etag)
        self.end_headers()
        self.wfile.write(body)
        log.write("%.3f 200 %d %d\n" % (time.time(), version, len(body)))

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Feed)
open(port_file, "w").write(str(server.server_address[1]))
server.serve_forever()
"""


def weekday_trips(feed, count, after):
    """`count` of the generated feed's weekday trips starting at `after`
    (seconds of the day) or later, soonest first, each with its stops in
    order: the trains the boards show in the next hours."""
    weekday = set()
    with open(os.path.join(feed, "trips.txt"), encoding="utf-8") as f:
        next(f)
        for line in f:
            fields = line.split(",")
            if fields[1] == "WD":
                weekday.add(fields[2])
    stops, starts = {}, {}
    with open(os.path.join(feed, "stop_times.txt"), encoding="utf-8") as f:
        next(f)
        for line in f:
            trip, _, departure, stop, _ = line.rstrip("\n").split(",")
            if trip in weekday:
                if trip not in stops:
                    h, m, s = departure.split(":")
                    starts[trip] = int(h) * 3600 + int(m) * 60 + int(s)
                    stops[trip] = []
                stops[trip].append(stop)
    chosen = sorted((start, trip) for trip, start in starts.items() if start >= after)[:count]
    return [(trip, stops[trip]) for _, trip in chosen]


def clock_epoch(clock, zone="Asia/Tokyo"):
    import datetime
    import zoneinfo
    return int(datetime.datetime.fromisoformat(clock).replace(tzinfo=zoneinfo.ZoneInfo(zone)).timestamp())


def feed_versions_taken(log_file, start, end):
    """How many new versions the live feed's server gave between two times."""
    if not os.path.exists(log_file):
        return 0
    taken = 0
    for line in open(log_file):
        fields = line.split()
        if len(fields) >= 2 and fields[1] == "200" and start <= float(fields[0]) <= end:
            taken += 1
    return taken


def serve_station(server_exe, config, work, name):
    """velmorant-server serve on a free port at the bench's clock; (process, port)."""
    port_file = os.path.join(work, "port-" + name)
    if os.path.exists(port_file):
        os.remove(port_file)
    with open(os.path.join(work, "live-start"), "w") as f:
        f.write(repr(time.time()))
    log = open(os.path.join(work, "server-%s.log" % name), "wb")
    process = subprocess.Popen([server_exe, "serve", "--config", config, "--now", CLOCK, "--port", "0",
                                "--port-file", port_file], stdout=log, stderr=subprocess.STDOUT)
    if not wait_for_file(port_file, 60):
        process.kill()
        sys.exit("the server did not start (see %s)" % log.name)
    return process, int(open(port_file).read())


def stop_server(process):
    process.send_signal(signal.SIGTERM)
    try:
        return process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        return "killed after 20 s"


def cpu_seconds(pid):
    """User and system CPU time a process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def delayed_boards(port, boards):
    """How many of the first boards' documents show a train late."""
    return sum(1 for n in range(1, boards + 1) if "遅れ".encode() in fetch(port, "/api/boards/%d/display.txt" % n))


def live_feed_runs(options, tool, work, config):
    """Step 8: board p99 without and with a live feed applied every 15 s."""
    feed_log = os.path.join(work, "live-feed.log")
    trips_file = os.path.join(work, "live-trips.json")
    import json
    # Weekday trips from 6:50 on: the ones running at the clock's 7:30 and
    # those the boards list next.
    trips = weekday_trips(os.path.join(work, "feed"), 5000, 6 * 3600 + 50 * 60)
    with open(trips_file, "w") as f:
        json.dump(trips, f)
    port_file = os.path.join(work, "live-feed-port")
    for leftover in (port_file, feed_log):
        if os.path.exists(leftover):
            os.remove(leftover)
    service_date = CLOCK[:10].replace("-", "")
    feed_server = subprocess.Popen(["/usr/bin/python3", "-c", LIVE_FEED_SERVER,
                                    os.path.join(ROOT, "tools/realtime-feed.py"), work, trips_file,
                                    str(clock_epoch(CLOCK)), os.path.join(work, "live-start"), port_file, feed_log,
                                    service_date])
    report = ["| run | boards | without a feed | with the feed every 15 s | p99 ratio | versions taken |",
              "|---|---|---|---|---|---|"]
    medians = {}
    try:
        if not wait_for_file(port_file, 120):
            sys.exit("the live feed's server did not start")
        live_config = os.path.join(work, "station-live.toml")
        with open(config, encoding="utf-8") as f:
            text = f.read()
        with open(live_config, "w", encoding="utf-8") as f:
            f.write(text + '\n[[realtime]]\nurl = "http://127.0.0.1:%s/trip-updates.pb"\n' % open(port_file).read())
        for run in range(1, options.rounds + 1):
            for boards in [int(n) for n in options.live_boards.split(",")]:
                figures = {}
                for name, station in (("without", config), ("with", live_config)):
                    process, port = serve_station(options.server, station, work, name)
                    try:
                        # Every board's timetable is built once before the measure,
                        # and the feed's first version taken.
                        boardload(tool, port, boards, 5, boards)
                        load_before = os.getloadavg()
                        started, cpu_before = time.time(), cpu_seconds(process.pid)
                        line, result = boardload(tool, port, boards, options.live_seconds, boards)
                        ended, cpu = time.time(), cpu_seconds(process.pid) - cpu_before
                        result["cpu"] = "%.2f" % (cpu * 1000.0 / max(1, int(result.get("ok", "0"))))
                        load_after = os.getloadavg()
                        print(name, line, flush=True)
                        taken = feed_versions_taken(feed_log, started, ended) if name == "with" else 0
                        late = delayed_boards(port, min(200, boards))
                        result["peak"] = "%.0f" % peak_memory_mb(process.pid)
                    finally:
                        code = stop_server(process)
                    figures[name] = (result, load_before, load_after, taken, late, code)
                p99 = {name: float(figures[name][0].get("p99", "nan")) for name in figures}
                cells = []
                for name in ("without", "with"):
                    result, before, after, taken, late, code = figures[name]
                    cells.append("p50 %s ms, p99 %s ms, %s errors, server CPU %s ms per good request, peak memory "
                                 "%s MB, load %.1f -> %.1f; %d of the first 200 boards show a train late; exit %s" % (
                                     result.get("p50", "?"), result.get("p99", "?"), result.get("errors", "?"),
                                     result["cpu"], result["peak"], before[0], after[0], late, code))
                report.append("| %d | %d | %s | %s | %.2f | %d |" % (run, boards, cells[0], cells[1],
                                                                    p99["with"] / p99["without"], figures["with"][3]))
                print(report[-1], flush=True)
                medians.setdefault(boards, ([], []))
                medians[boards][0].append(p99["without"])
                medians[boards][1].append(p99["with"])
        # One run's p99 moves a lot from run to run on a shared machine: the
        # medians over the rounds are the figure to compare.
        for boards, (without, with_feed) in medians.items():
            report.append("| median of %d | %d | p99 %.2f ms | p99 %.2f ms | %.2f | |" % (
                len(without), boards, statistics.median(without), statistics.median(with_feed),
                statistics.median(with_feed) / statistics.median(without)))
    finally:
        feed_server.terminate()
        feed_server.wait(timeout=20)
    return report


def print_report(report, load_start):
    """Prints the table, with the load average at the start and now."""
    report.append("")
    report.append("Load average (1 min) at the start: %.1f; at the end: %.1f (%d cores)" %
                  (load_start, os.getloadavg()[0], os.cpu_count()))
    print()
    print("\n".join(report))


def peak_memory_mb(pid):
    """The process's peak resident memory (VmHWM) in MB."""
    with open("/proc/%d/status" % pid) as status:
        found = re.search(r"VmHWM:\s+(\d+) kB", status.read())
    return int(found.group(1)) / 1024.0 if found else -1.0


def under_attack(tool, port, boards, seconds, numbers):
    """5,000 boards polling while the full attack mix runs; one table row."""
    result = {}
    load = threading.Thread(target=lambda: result.update(figures=boardload(tool, port, boards, seconds, numbers)))
    load.start()
    try:
        guesses = attack_test.attacks(port, attack_test.FULL, seconds - 1, user="nobody")
    except SystemExit:
        guesses = ["attacker refused (see FAIL above)"]
    load.join()
    line, figures = result["figures"]
    print(line, flush=True)
    return "| %d boards under the full attack mix | %s req/s, p50 %s ms, p99 %s ms, %s errors; logins: %s |" % (
        boards, figures.get("rate", "?"), figures.get("p50", "?"), figures.get("p99", "?"),
        figures.get("errors", "?"), ", ".join("%s x %d" % (code, guesses.count(code)) for code in sorted(set(guesses))))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--realtime-bench", default=os.path.join(ROOT, "build/server/src/server/realtime_bench"))
    parser.add_argument("--realtime-only", action="store_true")
    parser.add_argument("--server", default=os.path.join(ROOT, "build/server/src/server/velmorant-server"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build/server/bench"))
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=1, help="board-load runs per server, taking turns")
    parser.add_argument("--boards", default="1,100,1000,5000")
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--imports", action="store_true", help="also time imports of 1 M, 10 M rows and zip bombs")
    parser.add_argument("--imports-only", action="store_true", help="only the import figures")
    parser.add_argument("--live-feed", action="store_true",
                        help="also board p99 without and with a live feed applied every 15 s")
    parser.add_argument("--live-feed-only", action="store_true", help="only the live feed's figures")
    parser.add_argument("--live-seconds", type=int, default=45, help="each run of the live feed's step")
    parser.add_argument("--rounds", type=int, default=2, help="runs of the live feed's step")
    parser.add_argument("--live-boards", default="5000", help="board counts of the live feed's step")
    options = parser.parse_args()
    counts = [int(n) for n in options.boards.split(",")]
    configured = max(counts)
    work = os.path.abspath(options.work)
    os.makedirs(work, exist_ok=True)
    realtime = "" if options.live_feed_only else realtime_figures(options.realtime_bench, work)
    print(realtime, flush=True)
    if options.realtime_only:
        return
    if not os.access(options.server, os.X_OK):
        sys.exit("no server binary at %s (cmake --preset server && cmake --build --preset server)" % options.server)
    if options.imports or options.imports_only:
        import_report = import_benchmarks(options.server, work)
        if options.imports_only:
            print()
            print("\n".join(import_report))
            return

    for program, package in (("ab", "apache2-utils"), ("nginx", "nginx-light")):
        if not shutil.which(program):
            sys.exit("%s is missing: apt-get install %s" % (program, package))
    tool = os.path.join(work, "boardload")
    subprocess.run(["g++", "-O2", "-std=c++20", "-o", tool, os.path.join(ROOT, "tools/boardload.cpp")], check=True)
    subprocess.run([sys.executable, os.path.join(ROOT, "tools/make-load-feed.py"), work, "--rows",
                    str(options.rows), "--boards", str(configured)], check=True)
    config = os.path.join(work, "station.toml")
    # The boards poll from 127.0.0.1; the attacks come from other loopback
    # addresses, as from other hosts of the station's network.
    with open(config, encoding="utf-8") as f:
        text = f.read()
    with open(config, "w", encoding="utf-8") as f:
        f.write(text.replace("[server]\n", '[server]\nboards_from = ["127.0.0.1"]\n', 1))
    store = os.path.join(work, "timetable.db")
    for leftover in (store, store + ".new"):
        if os.path.exists(leftover):
            os.remove(leftover)
    os.makedirs(os.path.join(work, "sounds"), exist_ok=True)

    report = [realtime, ""]
    load_start = os.getloadavg()[0]
    code, seconds, peak = run_measured([options.server, "import", os.path.join(work, "feed"), "--config", config])
    report.append("| import of %d stop_times rows | %.1f s, peak memory %.0f MB, exit %d |" %
                  (options.rows, seconds, peak, code))
    print(report[-1], flush=True)
    if code != 0:
        sys.exit("import failed")
    if options.live_feed_only:
        report += [""] + live_feed_runs(options, tool, work, config)
        print_report(report, load_start)
        return

    port_file = os.path.join(work, "port")
    if os.path.exists(port_file):
        os.remove(port_file)
    server_log = open(os.path.join(work, "server.log"), "wb")
    server = subprocess.Popen([options.server, "serve", "--config", config, "--now", CLOCK, "--port", "0",
                               "--port-file", port_file], stdout=server_log, stderr=subprocess.STDOUT)
    nginx = None
    try:
        if not wait_for_file(port_file, 60):
            sys.exit("the server did not start (see %s)" % server_log.name)
        port = int(open(port_file).read())

        # The same documents as static files for nginx, fetched once each.
        www = os.path.join(work, "www")
        for n in range(1, configured + 1):
            folder = os.path.join(www, "api", "boards", str(n))
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "display.txt"), "wb") as f:
                f.write(fetch(port, "/api/boards/%d/display.txt" % n))
        nginx_port = free_port()
        nginx_conf = os.path.join(work, "nginx.conf")
        with open(nginx_conf, "w") as f:
            f.write("daemon off;\nworker_processes auto;\npid %s/nginx.pid;\nerror_log %s/nginx-error.log;\n"
                    "events { worker_connections 8192; }\n"
                    "http { access_log off; default_type text/plain; keepalive_timeout 0;\n"
                    "  client_body_temp_path %s/nginx-body;\n"
                    "  server { listen 127.0.0.1:%d; root %s; } }\n" % (work, work, work, nginx_port, www))
        nginx = subprocess.Popen(["nginx", "-c", nginx_conf, "-e", os.path.join(work, "nginx-error.log")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                fetch(nginx_port, "/api/boards/1/display.txt")
                break
            except OSError:
                time.sleep(0.1)
        else:
            sys.exit("nginx did not start (see %s/nginx-error.log)" % work)

        report.append("")
        report.append("| boards | velmorant-server | nginx, static files | median p99, server / nginx |")
        report.append("|---|---|---|---|")
        for boards in counts:
            # The two servers take turns, --repeat times each; the row gives
            # each run and the median p99s' ratio.
            runs = ([], [])
            for _ in range(options.repeat):
                for side, target in enumerate((port, nginx_port)):
                    line, figures = boardload(tool, target, boards, options.seconds, min(boards, configured))
                    print(line, flush=True)
                    runs[side].append(figures)
            row = ["; ".join("%s req/s, p50 %s ms, p99 %s ms, %s errors" % (
                f.get("rate", "?"), f.get("p50", "?"), f.get("p99", "?"), f.get("errors", "?")) for f in side)
                for side in runs]
            medians = [statistics.median(float(f.get("p99", "nan")) for f in side) for side in runs]
            report.append("| %d | %s | %s | %.2f |" % (boards, row[0], row[1], medians[0] / medians[1]))
            print(report[-1], flush=True)
        report.append("")
        report.append("| ApacheBench, 20,000 requests, 20 at a time | velmorant-server | nginx, static files |")
        report.append("|---|---|---|")
        report.append("| board 1 | %s | %s |" % (apachebench(port, 20000, 20), apachebench(nginx_port, 20000, 20)))
        print(report[-1], flush=True)
        report.append("")
        report.append("| attack | board polls |")
        report.append("|---|---|")
        report.append(under_attack(tool, port, configured, max(options.seconds, 10), configured))
        report.append("| server peak memory (VmHWM) | %.0f MB |" % peak_memory_mb(server.pid))
        print(report[-2] + "\n" + report[-1], flush=True)
    finally:
        if nginx:
            nginx.terminate()
            nginx.wait(timeout=20)
        server.send_signal(signal.SIGTERM)
        try:
            code = server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
            code = "killed after 20 s"
        print("server ended on SIGTERM with exit %s" % code)
    if options.live_feed:
        report += [""] + live_feed_runs(options, tool, work, config)
    print_report(report, load_start)


if __name__ == "__main__":
    main()
