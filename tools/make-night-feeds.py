#!/usr/bin/env python3
"""Writes four small fictional GTFS feeds, one folder each, for trying how a
board chooses its trains and its languages:

  night24/   a 24-hour metro line whose agency dates the trains after
             midnight on the next service day (00:00:00, not 24:00:00)
  dst/       a line in America/New_York running through both clock changes
  english/   an English-only railway (feed_lang en, no translations)
  japanese/  a Japanese-only railway (feed_lang ja) with English only where
             its translations give it

Usage: make-night-feeds.py OUTPUT_FOLDER
"""
import os
import sys

CALENDAR = ("service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
            "D,1,1,1,1,1,1,1,20260101,20271231\n")


def hhmm(minutes):
    return "%02d:%02d:00" % (minutes // 60, minutes % 60)


def line_feed(zone, lang, stops, route, headsigns, departures, run_minutes, extra=None):
    """A line from the first stop to the last: one trip per departure
    minute, the headsign cycling through headsigns."""
    trips = ["route_id,service_id,trip_id,trip_headsign"]
    times = ["trip_id,arrival_time,departure_time,stop_id,stop_sequence"]
    for number, minute in enumerate(departures):
        trip = "T%d" % number
        trips.append("R,D,%s,%s" % (trip, headsigns[number % len(headsigns)]))
        for sequence, (stop_id, _) in enumerate(stops):
            at = hhmm(minute % (24 * 60) + sequence * run_minutes)
            times.append("%s,%s,%s,%s,%d" % (trip, at, at, stop_id, sequence + 1))
    files = {
        "agency.txt": "agency_id,agency_name,agency_url,agency_timezone,agency_lang\n"
                      "M,%s,http://localhost/,%s,%s\n" % (route[1], zone, lang),
        "feed_info.txt": "feed_publisher_name,feed_publisher_url,feed_lang,feed_version\n"
                         "%s,http://localhost/,%s,1\n" % (route[1], lang),
        "stops.txt": "stop_id,stop_name,platform_code\n" +
                     "".join("%s,%s,1\n" % stop for stop in stops),
        "routes.txt": "route_id,agency_id,route_short_name,route_long_name,route_type,route_color\n"
                      "R,M,%s,%s,2,%s\n" % route,
        "calendar.txt": CALENDAR,
        "trips.txt": "\n".join(trips) + "\n",
        "stop_times.txt": "\n".join(times) + "\n",
    }
    files.update(extra or {})
    return files


def feeds():
    every = lambda first, last, step: list(range(first, last, step))
    return {
        "night24": line_feed("Asia/Tokyo", "en", [("N1", "Harbour"), ("N2", "Airport")],
                             ("N", "Night Line", "00A7E1"), ["Airport"], every(0, 24 * 60, 12), 9),
        "dst": line_feed("America/New_York", "en", [("D1", "Union"), ("D2", "Riverside")],
                         ("D", "Dawn Line", "F26522"), ["Riverside"], every(60, 25 * 60, 30), 15),
        "english": line_feed("America/New_York", "en",
                             [("E1", "Hudson Yards"), ("E2", "Newark"), ("E3", "Penn Station")],
                             ("NE", "Northeast", "E31837"), ["Penn Station", "Newark"],
                             every(5 * 60 + 10, 24 * 60, 15), 12),
        "japanese": line_feed("Asia/Tokyo", "ja", [("J1", "山手"), ("J2", "川崎"), ("J3", "港南")],
                              ("L", "南海岸線", "0072BC"), ["港南", "港南 臨時"],
                              every(5 * 60 + 2, 24 * 60, 10), 6, {
                                  "translations.txt":
                                      "table_name,field_name,language,translation,record_id,field_value\n"
                                      "stops,stop_name,en,Konan,J3,\n"
                                      "routes,route_long_name,en,Minami Coast Line,R,\n"}),
    }


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for name, files in feeds().items():
        folder = os.path.join(sys.argv[1], name)
        os.makedirs(folder, exist_ok=True)
        for file_name, text in files.items():
            with open(os.path.join(folder, file_name), "w", encoding="utf-8", newline="\n") as out:
                out.write(text)
    print("feeds written to %s: %s" % (sys.argv[1], ", ".join(feeds())))


if __name__ == "__main__":
    main()
