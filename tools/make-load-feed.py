#!/usr/bin/env python3
"""Writes a large generated GTFS feed for the server benchmark: a city
network of 100 routes over 1,000 stations (each with platforms 1 and 2),
with enough trips for the asked number of stop_times rows (default
1,000,000), and a station.toml with one board per platform up to the asked
number of boards.

    make-load-feed.py FOLDER [--rows N] [--boards N]

The feed goes to FOLDER/feed/, the station to FOLDER/station.toml (store
FOLDER/timetable.db)."""

import argparse
import os

STATIONS = 1000
ROUTES = 100
STOPS_PER_TRIP = 20


def hms(seconds):
    return "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--boards", type=int, default=5000)
    options = parser.parse_args()
    feed = os.path.join(options.folder, "feed")
    os.makedirs(feed, exist_ok=True)

    def open_file(name, header):
        f = open(os.path.join(feed, name), "w", encoding="utf-8", newline="")
        f.write(header + "\n")
        return f

    with open_file("agency.txt", "agency_id,agency_name,agency_url,agency_timezone,agency_lang") as f:
        f.write("CITY,都市交通,http://localhost/,Asia/Tokyo,ja\n")
    with open_file("stops.txt", "stop_id,stop_name,location_type,parent_station,platform_code,stop_lat,stop_lon") as f:
        for s in range(STATIONS):
            f.write("S%d,駅%d,1,,,35.6,139.7\n" % (s, s))
            for p in (1, 2):
                f.write("S%d-%d,駅%d,0,S%d,%d,35.6,139.7\n" % (s, p, s, s, p))
    with open_file("routes.txt", "route_id,agency_id,route_short_name,route_long_name,route_type,route_color") as f:
        for r in range(ROUTES):
            f.write("R%d,CITY,%d,%d号線,3,%02X%02X%02X\n" % (r, r, r, (r * 37) % 256, (r * 91) % 256, (r * 53) % 256))
    with open_file("calendar.txt",
                   "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date") as f:
        f.write("WD,1,1,1,1,1,0,0,20260101,20271231\n")
        f.write("HD,0,0,0,0,0,1,1,20260101,20271231\n")

    trips_total = options.rows // STOPS_PER_TRIP
    per_route = trips_total // ROUTES
    rows = 0
    trips = open_file("trips.txt", "route_id,service_id,trip_id,trip_headsign,direction_id")
    stop_times = open_file("stop_times.txt", "trip_id,arrival_time,departure_time,stop_id,stop_sequence")
    for r in range(ROUTES):
        first_station = r * STATIONS // ROUTES
        stations = [(first_station + k) % STATIONS for k in range(STOPS_PER_TRIP)]
        # Half the trips each way, the service day from 5:00 to 25:00 shared
        # between the weekday and the weekend calendar.
        for t in range(per_route):
            direction = t % 2
            service = "WD" if t % 4 < 2 else "HD"
            order = stations if direction == 0 else list(reversed(stations))
            start = 5 * 3600 + (t // 2) * (20 * 3600) // (per_route // 2 + 1)
            trip_id = "R%d-%d" % (r, t)
            trips.write("R%d,%s,%s,駅%d,%d\n" % (r, service, trip_id, order[-1], direction))
            for k, station in enumerate(order):
                at = start + k * 120
                stop_times.write("%s,%s,%s,S%d-%d,%d\n" % (trip_id, hms(at), hms(at + 20), station,
                                                          direction + 1, k + 1))
                rows += 1
    trips.close()
    stop_times.close()

    with open(os.path.join(options.folder, "station.toml"), "w", encoding="utf-8") as f:
        f.write('[server]\nlisten = "127.0.0.1"\nport = 0\nstore = "timetable.db"\nsounds = "sounds"\n')
        for n in range(1, options.boards + 1):
            station = (n - 1) // 2 % STATIONS
            platform = (n - 1) % 2 + 1
            style = "classic" if n % 4 else "new-style"
            f.write('\n[[board]]\nnumber = %d\nname = "駅%d %d番線"\nstyle = "%s"\nstop_id = "S%d-%d"\n'
                    % (n, station, platform, style, station, platform))
    print("%d stop_times rows, %d trips, %d boards in %s" % (rows, ROUTES * per_route, options.boards,
                                                              options.folder))


if __name__ == "__main__":
    main()
