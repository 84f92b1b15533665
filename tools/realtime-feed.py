#!/usr/bin/env python3
"""GTFS-realtime test feeds written with Debian's Python protobuf
(python3-protobuf), from the same gtfs-realtime.proto the server is built
with: protoc --python_out compiles it into a folder of the build tree once.

As a module (tests, the benchmark): load(build_dir) gives the generated
module; feed(module, timestamp) a FeedMessage to fill; the helpers below add
trip updates, alerts and vehicles.

As a command:
  realtime-feed.py demo OUT.pb BUILD_DIR STORE YYYY-MM-DDTHH:MM[:SS]
writes the demonstration line's feed for that clock (Tokyo time) from its
imported store: one delayed train, one cancelled, an alert and a train's
position."""

import importlib
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PROTO_DIR = os.path.join(HERE, "..", "src", "server", "realtime")


def load(build_dir):
    """The Python module generated from the project's .proto."""
    out = os.path.join(build_dir, "realtime-python")
    os.makedirs(out, exist_ok=True)
    target = os.path.join(out, "gtfs_realtime_pb2.py")
    proto = os.path.join(PROTO_DIR, "gtfs-realtime.proto")
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(proto):
        # protoc names the module after the file, the dash made "_".
        subprocess.run(["protoc", "-I", PROTO_DIR, "--python_out", out, proto], check=True)
    if out not in sys.path:
        sys.path.insert(0, out)
    return importlib.import_module("gtfs_realtime_pb2")


def feed(rt, timestamp):
    message = rt.FeedMessage()
    message.header.gtfs_realtime_version = "2.0"
    message.header.timestamp = int(timestamp)
    return message


def trip_update(rt, message, entity_id, trip_id="", start_date="", relationship=None, route_id="",
                direction_id=None, start_time="", delay=None):
    entity = message.entity.add()
    entity.id = entity_id
    update = entity.trip_update
    if trip_id:
        update.trip.trip_id = trip_id
    if route_id:
        update.trip.route_id = route_id
    if direction_id is not None:
        update.trip.direction_id = direction_id
    if start_time:
        update.trip.start_time = start_time
    if start_date:
        update.trip.start_date = start_date
    if relationship is not None:
        update.trip.schedule_relationship = relationship
    if delay is not None:
        update.delay = delay
    return update


def stop(rt, update, sequence=None, stop_id="", delay=None, time=None, skipped=False, no_data=False):
    given = update.stop_time_update.add()
    if sequence is not None:
        given.stop_sequence = sequence
    if stop_id:
        given.stop_id = stop_id
    if delay is not None:
        given.departure.delay = delay
    if time is not None:
        given.departure.time = int(time)
    if skipped:
        given.schedule_relationship = rt.TripUpdate.StopTimeUpdate.SKIPPED
    if no_data:
        given.schedule_relationship = rt.TripUpdate.StopTimeUpdate.NO_DATA
    return given


def alert(rt, message, entity_id, texts, stops=(), routes=(), periods=()):
    """texts: [(language tag, text)]; periods: [(start, end)], 0 for open."""
    entity = message.entity.add()
    entity.id = entity_id
    for start, end in periods:
        period = entity.alert.active_period.add()
        if start:
            period.start = int(start)
        if end:
            period.end = int(end)
    for stop_id in stops:
        entity.alert.informed_entity.add().stop_id = stop_id
    for route_id in routes:
        entity.alert.informed_entity.add().route_id = route_id
    for language, text in texts:
        translation = entity.alert.header_text.translation.add()
        translation.text = text
        if language:
            translation.language = language


def vehicle(rt, message, entity_id, trip_id, start_date, sequence, status):
    entity = message.entity.add()
    entity.id = entity_id
    entity.vehicle.trip.trip_id = trip_id
    entity.vehicle.trip.start_date = start_date
    entity.vehicle.current_stop_sequence = sequence
    entity.vehicle.current_status = status


def write(message, path):
    """Written whole and renamed into place, so a server never reads half."""
    temporary = path + ".tmp"
    with open(temporary, "wb") as out:
        out.write(message.SerializeToString())
    os.replace(temporary, path)


def next_trips(store, stop_ids, when):
    """The trips leaving any of the stops after `when` (a local datetime) on
    its service day, soonest first: (trip_id, route_id, stop_sequence)."""
    import sqlite3
    date = int(when.strftime("%Y%m%d"))
    seconds = when.hour * 3600 + when.minute * 60 + when.second
    db = sqlite3.connect("file:%s?mode=ro" % store, uri=True)
    services = {row[0] for row in db.execute(
        "SELECT service_id FROM calendar WHERE start_date <= ?1 AND end_date >= ?1 AND (days >> ?2) & 1",
        (date, when.weekday()))}
    for service, kind in db.execute("SELECT service_id, exception_type FROM calendar_dates WHERE date = ?",
                                    (date,)):
        (services.add if kind == 1 else services.discard)(service)
    marks = ",".join("?" * len(stop_ids))
    rows = db.execute("SELECT s.trip_id, t.route_id, s.stop_sequence, t.service_id, s.departure,"
                      " t.first_departure FROM stop_times s JOIN trips t ON t.trip_id = s.trip_id"
                      " WHERE s.stop_id IN (%s) AND s.stop_sequence < t.last_sequence" % marks,
                      stop_ids).fetchall()
    found = []
    for trip, route, sequence, service, departure, first in rows:
        if service not in services or departure is None:
            continue
        times = [departure]
        # A trip run by frequency leaves again every headway.
        for start, end, headway in db.execute("SELECT start_time, end_time, headway FROM frequencies"
                                              " WHERE trip_id = ?", (trip,)):
            times = [start + k * headway + departure - first for k in range((end - start) // headway + 1)]
        later = [time for time in times if time > seconds]
        if later:
            found.append((min(later), trip, route, sequence))
    return [(trip, route, sequence) for _, trip, route, sequence in sorted(found)]


def demo(out, build_dir, store, clock):
    """The demonstration line from its store at the demo's clock: the next
    train at 月見台 4 minutes late (carried on to its later stops), the one
    after it cancelled, works announced for the line, and the next train at
    港中央 platform 2 standing at the station before."""
    import datetime
    import zoneinfo
    when = datetime.datetime.fromisoformat(clock)
    now = int(when.replace(tzinfo=zoneinfo.ZoneInfo("Asia/Tokyo")).timestamp())
    day = when.strftime("%Y%m%d")
    rt = load(build_dir)
    message = feed(rt, now)
    tsukimi = next_trips(store, ["TKM-1"], when)
    if len(tsukimi) >= 2:
        late = trip_update(rt, message, "late", trip_id=tsukimi[0][0], start_date=day)
        stop(rt, late, sequence=tsukimi[0][2], delay=240)
        trip_update(rt, message, "cancelled", trip_id=tsukimi[1][0], start_date=day,
                    relationship=rt.TripDescriptor.CANCELED)
    alert(rt, message, "works", [("ja", "本日 月見線の一部の駅で工事をしています"),
                                 ("en", "Works at some Tsukimi Line stations today")],
          routes=["LOCAL", "RAPID", "LINER"], periods=[(now - 600, now + 86400)])
    minato = next_trips(store, ["MNT-2"], when)
    if minato:
        vehicle(rt, message, "position", minato[0][0], day, minato[0][2] - 1, rt.VehiclePosition.STOPPED_AT)
    write(message, out)


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "demo":
        demo(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5])
    else:
        sys.exit(__doc__)
