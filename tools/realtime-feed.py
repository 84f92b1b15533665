#!/usr/bin/env python3
"""GTFS-realtime test feeds written with Debian's Python protobuf
(python3-protobuf), from the same gtfs-realtime.proto the server is built
with: protoc --python_out compiles it into a folder of the build tree once.

As a module (tests, the benchmark): load(build_dir) gives the generated
module; feed(module, timestamp) a FeedMessage to fill; the helpers below add
trip updates, alerts and vehicles.

As a command:
  realtime-feed.py demo OUT.pb BUILD_DIR --start YYYYMMDD --now UNIX_SECONDS
writes the demonstration line's feed (one delayed train, one cancelled,
an alert and the next train's position)."""

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


def demo(out, build_dir, start_date, now):
    """The demonstration line: its first train of the hour 4 minutes late
    (carried on to the later stops), the next one cancelled, works at the
    station announced, and the delayed train on its way to the station."""
    rt = load(build_dir)
    message = feed(rt, now)
    late = trip_update(rt, message, "late", trip_id=os.environ.get("DEMO_LATE_TRIP", "T101"), start_date=start_date)
    stop(rt, late, sequence=1, delay=240)
    trip_update(rt, message, "cancelled", trip_id=os.environ.get("DEMO_CANCELLED_TRIP", "T103"),
                start_date=start_date, relationship=rt.TripDescriptor.CANCELED)
    alert(rt, message, "works", [("ja", "本日 終日 駅構内で工事をしています"),
                                 ("en", "Works in the station all day today")],
          routes=[os.environ.get("DEMO_ROUTE", "TSUKIMI")], periods=[(now - 600, now + 86400)])
    vehicle(rt, message, "late-train", os.environ.get("DEMO_LATE_TRIP", "T101"), start_date, 1,
            rt.VehiclePosition.IN_TRANSIT_TO)
    write(message, out)


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "demo":
        arguments = dict(zip(sys.argv[4::2], sys.argv[5::2]))
        demo(sys.argv[2], sys.argv[3], arguments["--start"], int(arguments["--now"]))
    else:
        sys.exit(__doc__)
