#!/usr/bin/env python3
"""Live trains end to end: velmorant-server fetching a GTFS-realtime feed
from a local HTTP server (loopback) whose .pb file changes under it, and the
boards' documents read back: a delay carried on to a later stop, a skipped
stop, a cancellation, an added trip, a trip found by route, direction and
start time, an alert in and out of its active period, staff's delay winning
over the feed, the station's own feed published back, a malformed feed
(the last good data kept, the page's state red) and a feed that stops (the
timetable again after the age limit). A second feed URL serves the test
file of the published npm package gtfs-realtime-bindings, fetched by name
and pinned version, read by the same decoder.

Usage: realtime_e2e.py SERVER SOURCE_DIR WORK_DIR"""

import datetime
import functools
import http.server
import json
import os
import runpy
import shutil
import subprocess
import sys
import tarfile
import threading
import time
import types
import urllib.error
import urllib.request
import zoneinfo

TOKEN = "test-token-0123456789abcdef0123456789"
NPM_PACKAGE = "gtfs-realtime-bindings"
NPM_VERSION = "1.1.1"
START = "2026-12-08T06:50"  # a Tuesday
DAY = "20261208"
MAX_AGE = 6
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def feed_tool(source):
    return types.SimpleNamespace(**runpy.run_path(os.path.join(source, "tools", "realtime-feed.py")))


def npm_test_file(cache):
    """The package's test feed, from npm on the first run, then from the cache."""
    target = os.path.join(cache, "%s-%s" % (NPM_PACKAGE, NPM_VERSION))
    path = os.path.join(target, "package", "test", "vehicle_position.pb")
    if not os.path.exists(path):
        os.makedirs(target, exist_ok=True)
        result = subprocess.run(["npm", "pack", "%s@%s" % (NPM_PACKAGE, NPM_VERSION), "--pack-destination", target],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        tarball = os.path.join(target, "%s-%s.tgz" % (NPM_PACKAGE, NPM_VERSION))
        if result.returncode != 0 or not os.path.exists(tarball):
            sys.exit("FAIL: npm could not fetch %s@%s" % (NPM_PACKAGE, NPM_VERSION))
        with tarfile.open(tarball) as tar:
            tar.extractall(target)
    return path


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def station(server, source, work, feed_port):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work + "/feeds")
    os.makedirs(work + "/sounds")
    with open(work + "/sounds/dep.mp3", "wb") as melody:
        melody.write(b"ID3" + bytes(2000))
    with open(work + "/station.toml", "w", encoding="utf-8") as config:
        config.write(f"""[server]
port = 0
[operator]
[[operator.token]]
name = "test-system"
token = "{TOKEN}"
[[realtime]]
url = "http://127.0.0.1:{feed_port}/rt.pb"
interval = 1
timeout = 5
max_age = {MAX_AGE}
headers = {{ "x-api-key" = "secret-key" }}
[[realtime]]
url = "http://127.0.0.1:{feed_port}/npm.pb"
interval = 1
max_age = 600
[[board]]
number = 1
name = "川辺 1番線"
station = "KAW"
platform_code = "1"
rows = 4
[[board]]
number = 2
name = "港南"
style = "new-style"
stop_id = "MIN-1"
[[board]]
number = 3
name = "山手"
stop_id = "YAM-1"
rows = 3
melody = "dep.mp3"
melody_lead_seconds = 600
[[board]]
number = 4
name = "川辺 新型"
style = "new-style"
stop_id = "KAW-1"
""")
    subprocess.run([server, "import", source + "/tests/server/feed", "--config", work + "/station.toml"],
                   check=True, stdout=subprocess.DEVNULL)


def ask(port, path, body=None):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}",
                                     data=None if body is None else json.dumps(body).encode())
    request.add_header("Authorization", "Bearer " + TOKEN)
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def wait_for(port, number, condition, seconds=8):
    """The board's document once condition holds (or the last one seen)."""
    text = ""
    deadline = time.time() + seconds
    while time.time() < deadline:
        text = ask(port, f"/api/boards/{number}/display.txt")[1].decode()
        if condition(text):
            break
        time.sleep(0.2)
    return text


class Publisher:
    """Keeps rt.pb fresh: the current feed rewritten every half second with
    the server's time, so that its age stays under the limit."""

    def __init__(self, tool, rt, path, server_start):
        self.tool, self.rt, self.path = tool, rt, path
        self.offset = server_start - time.time()
        self.build = None
        self.stopped = threading.Event()
        self.serial = 0
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def now(self):
        return int(time.time() + self.offset)

    def run(self):
        while not self.stopped.is_set():
            if self.build is not None:
                self.tool.write(self.build(self.now()), self.path)
                # Each version gets a later Last-Modified (its time is
                # whole seconds), so If-Modified-Since never hides it.
                self.serial += 1
                os.utime(self.path, (time.time(), time.time() + self.serial))
            time.sleep(0.5)


def first_feed(tool, rt, now, vehicle_at=(1, "STOPPED_AT")):
    message = tool.feed(rt, now)
    # L101: 5 minutes late at its first stop, carried on to 川辺.
    tool.stop(rt, tool.trip_update(rt, message, "1", trip_id="L101", start_date=DAY), sequence=1, delay=300)
    # L103 passes 川辺 without stopping.
    tool.stop(rt, tool.trip_update(rt, message, "2", trip_id="L103", start_date=DAY), sequence=2, skipped=True)
    tool.trip_update(rt, message, "3", trip_id="X1", start_date=DAY, relationship=rt.TripDescriptor.CANCELED)
    # A train the timetable does not have, at 川辺 at 7:30.
    added = tool.trip_update(rt, message, "4", trip_id="EXTRA1", route_id="L", start_date=DAY,
                             relationship=rt.TripDescriptor.ADDED)
    seven_thirty = int(datetime.datetime(2026, 12, 8, 7, 30, tzinfo=zoneinfo.ZoneInfo("Asia/Tokyo")).timestamp())
    tool.stop(rt, added, stop_id="KAW-1", time=seven_thirty)
    # L102 without a trip id: route L, direction 1, starting 7:05.
    tool.trip_update(rt, message, "5", route_id="L", direction_id=1, start_time="07:05:00", start_date=DAY,
                     delay=120)
    tool.alert(rt, message, "6", [("JA-jp", "川辺駅 工事のお知らせ"), ("en", "Works at Kawabe")], stops=["KAW"],
               periods=[(now - 60, now + 3600)])
    tool.alert(rt, message, "7", [("ja", "明日の運休"), ("en", "Tomorrow")], stops=["KAW"],
               periods=[(now + 7200, 0)])
    # L101's train, for the new-style board's position diagram.
    tool.vehicle(rt, message, "8", "L101", DAY, vehicle_at[0], getattr(rt.VehiclePosition, vehicle_at[1]))
    return message


def run(server, source, work):
    tool = feed_tool(source)
    rt = tool.load(work + "-python")
    feeds = work + "-feeds"
    os.makedirs(feeds, exist_ok=True)
    shutil.copy(npm_test_file(work + "-npm"), feeds + "/npm.pb")
    files = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=feeds))
    threading.Thread(target=files.serve_forever, daemon=True).start()
    station(server, source, work, files.server_address[1])
    start = datetime.datetime.fromisoformat(START).replace(tzinfo=zoneinfo.ZoneInfo("Asia/Tokyo")).timestamp()
    publisher = Publisher(tool, rt, feeds + "/rt.pb", start)
    publisher.build = lambda now: first_feed(tool, rt, now)
    time.sleep(1)
    log = open(work + "/server.log", "a")
    process = subprocess.Popen([server, "serve", "--config", work + "/station.toml", "--now", START,
                                "--port-file", work + "/port"], stdout=log, stderr=log)
    try:
        for _ in range(200):
            if os.path.exists(work + "/port"):
                break
            time.sleep(0.05)
        with open(work + "/port") as f:
            port = int(f.read())
        scenarios(tool, rt, port, publisher, feeds)
    finally:
        publisher.stopped.set()
        process.terminate()
        process.wait(timeout=20)
        files.shutdown()


def scenarios(tool, rt, port, publisher, feeds):
    kawabe = wait_for(port, 1, lambda t: "約5分遅れ" in t)
    print(kawabe)
    check("line=train\t7:00\t港南\u3000約5分遅れ" in kawabe, "L101's delay carried on to 川辺")
    check("7:20" not in kawabe, "L103 skips 川辺 and is not shown there")
    check("運休" in kawabe and "7:40" in kawabe, "X1 cancelled, shown as a notice")
    check("line=train\t7:30\t港南" in kawabe, "the added 7:30 train is shown")
    check("工事のお知らせ" in kawabe and "Works at Kawabe" in kawabe, "the alert in force is shown")
    check("明日の運休" not in kawabe, "an alert outside its active period is not shown")
    yamate = wait_for(port, 3, lambda t: "7:15" in t)
    check("line=train\t6:55\t港南\u3000約5分遅れ" in yamate and "line=train\t7:15" in yamate,
          "at 山手 L101 is late and L103 stops: %r" % yamate)
    konan = wait_for(port, 2, lambda t: "約2分遅れ" in t)
    check("row=train\t7:05" in konan and "約2分遅れ" in konan, "L102 found by route, direction and start: %r" % konan)

    # The next train's live position: standing at the stop before, then on
    # its way here (which is the approach warning, though 5 minutes late
    # it is due in more than the board's minute).
    # 山手's melody rings ten minutes before L101 leaves: from 6:50, as it
    # leaves at 7:00 by the feed (by the timetable it would have from 6:45).
    ages = [int(line.split("\t")[2]) for line in yamate.splitlines() if line.startswith("sound=")]
    check(len(ages) == 1 and 0 <= ages[0] < 200, "the melody follows the live time: %r" % yamate)
    sign = wait_for(port, 4, lambda t: "msg=pos" in t, 25)
    check("msg=pos\t2\t\t\t\t\t山手\t川辺" in sign, "the position diagram: at 山手, before 川辺: %r" % sign)
    publisher.build = lambda now: first_feed(tool, rt, now, (2, "IN_TRANSIT_TO"))
    sign = wait_for(port, 4, lambda t: "msg=approach" in t)
    check("msg=approach" in sign, "the approach warning from the live position: %r" % sign)
    publisher.build = lambda now: first_feed(tool, rt, now)

    # Staff's delay wins over the feed's, and the page says where each
    # train's state comes from.
    status, _ = ask(port, "/api/v1/delays", {"board": 1, "trip_id": "L101", "service_date": int(DAY), "minutes": 10})
    check(status == 200, "the delay was taken")
    kawabe = wait_for(port, 1, lambda t: "約10分遅れ" in t)
    check("港南\u3000約10分遅れ" in kawabe and "約5分遅れ" not in kawabe, "staff's delay wins: %r" % kawabe)
    departures = json.loads(ask(port, "/api/v1/boards/1/departures")[1])["departures"]
    # The list runs on into the next service day, whose trains share the ids.
    sources = {d["trip_id"]: d["source"] for d in departures if d["service_date"] == int(DAY)}
    check(sources.get("L101") == "staff" and sources.get("X1") == "feed" and sources.get("LATE") == "timetable",
          "the sources of the trains: %r" % sources)

    # The station's own feed, read back.
    status, body = ask(port, "/api/v1/notices", {"boards": [1], "text_jp": "階段工事", "text_en": "Stairs closed"})
    check(status == 201, "the notice was taken: %d %r" % (status, body))
    published = rt.FeedMessage()
    published.ParseFromString(ask(port, "/gtfs-rt/trip-updates")[1])
    delays = {e.trip_update.trip.trip_id: e.trip_update.delay for e in published.entity}
    check(delays.get("L101") == 600, "the published trip updates hold staff's delay: %r" % delays)
    published.ParseFromString(ask(port, "/gtfs-rt/alerts")[1])
    check(any(t.text == "Stairs closed" and t.language == "en" for e in published.entity
              for t in e.alert.header_text.translation) and
          any(s.stop_id == "KAW" for e in published.entity for s in e.alert.informed_entity),
          "the published alerts hold the notice for 川辺")
    check("L101" in ask(port, "/gtfs-rt/trip-updates?format=json")[1].decode(), "the JSON form for people")

    # The npm package's feed is read by the same decoder.
    state = json.loads(ask(port, "/api/v1/boards")[1])["realtime"]
    check(len(state) == 2 and state[1]["state"] == "ok" and state[1]["vehicles"] == 1,
          "the npm test feed decoded: %r" % state)
    check([a["ja"] for a in state[0]["alert_texts"]] == ["川辺駅 工事のお知らせ"],
          "the page lists the feed's alerts in force: %r" % state[0]["alert_texts"])

    # A malformed feed changes nothing; the page shows it red. Once the last
    # good data is too old, the boards show the timetable again.
    publisher.build = None
    with open(feeds + "/rt.pb", "wb") as out:
        out.write(b"\x0a\x05garbage-that-is-no-feed")
    os.utime(feeds + "/rt.pb", (time.time(), time.time() + 1000))
    time.sleep(2.5)
    state = json.loads(ask(port, "/api/v1/boards")[1])["realtime"]
    check(state[0]["state"] == "failing" and state[0]["red"], "a malformed feed is shown red: %r" % state[0])
    konan = ask(port, "/api/boards/2/display.txt")[1].decode()
    check("約2分遅れ" in konan, "the last good data stays: %r" % konan)
    kawabe = wait_for(port, 1, lambda t: "7:20" in t, MAX_AGE + 4)
    check("line=train\t7:20" in kawabe and "運休" not in kawabe and "川辺駅" not in kawabe and "7:30" not in kawabe,
          "after the age limit the timetable again: %r" % kawabe)
    konan = ask(port, "/api/boards/2/display.txt")[1].decode()
    check("約2分遅れ" not in konan, "no feed delay after the age limit: %r" % konan)
    state = json.loads(ask(port, "/api/v1/boards")[1])["realtime"]
    check(state[0]["state"] == "stale" and state[0]["red"], "a stale feed is shown red: %r" % state[0])


def main():
    server, source, work = sys.argv[1], sys.argv[2], sys.argv[3]
    run(server, source, work)
    if failures:
        print("%d checks failed" % len(failures))
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
