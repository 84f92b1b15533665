#!/usr/bin/env python3
"""Writes the bundled demonstration timetable, a small fictional line (the
Tsukimi Line of Tsukimi Railway), as GTFS text files into tools/feed-demo/.

The files are committed; run this again only to change the line. Five
stations, each a parent station with platform 1 (towards Shirasuna-Kaigan)
and platform 2 (towards Tsukimidai); locals every few minutes from five in
the morning until after midnight, rapids that pass two stations, a liner
given by frequencies, a weekday and a weekend calendar with holidays."""

import csv
import os
import sys

TARGET = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                             "feed-demo")

# (id, Japanese, English, Korean, simplified Chinese, minutes from Tsukimidai)
STATIONS = [
    ("TKM", "月見台", "Tsukimidai", "쓰키미다이", "月见台", 0),
    ("SKR", "桜町", "Sakuramachi", "사쿠라마치", "樱町", 4),
    ("MNT", "港中央", "Minato-Chuo", "미나토추오", "港中央", 9),
    ("KSM", "霞ヶ浜", "Kasumigahama", "가스미가하마", "霞滨", 14),
    ("SRS", "白砂海岸", "Shirasuna-Kaigan", "시라스나카이간", "白砂海岸", 19),
]
RAPID_STOPS = {"TKM", "MNT", "SRS"}

ROUTES = [
    # id, short, long Japanese, long English, colour
    ("LOCAL", "普通", "月見線 普通", "Tsukimi Line Local", "40B8FF"),
    ("RAPID", "快速", "月見線 快速", "Tsukimi Line Rapid", "FF8C00"),
    ("LINER", "ライナー", "月見ライナー", "Tsukimi Liner", "E02828"),
]

# Holidays on weekdays: the weekday timetable is removed, the weekend one added.
HOLIDAYS = ["20261123", "20261231", "20270101", "20270111", "20270211", "20270429", "20270503"]


def hms(seconds):
    return "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


def write(name, header, rows):
    with open(os.path.join(TARGET, name), "w", encoding="utf-8", newline="") as f:
        out = csv.writer(f, lineterminator="\r\n")
        out.writerow(header)
        out.writerows(rows)


def main():
    os.makedirs(TARGET, exist_ok=True)
    write("agency.txt", ["agency_id", "agency_name", "agency_url", "agency_timezone", "agency_lang"],
          [["TSUKIMI", "月見電鉄", "http://localhost/", "Asia/Tokyo", "ja"]])
    write("feed_info.txt", ["feed_publisher_name", "feed_publisher_url", "feed_lang", "feed_version"],
          [["月見電鉄", "http://localhost/", "ja", "demo-1"]])

    stops = []
    translations = []
    for sid, jp, en, ko, zh, _ in STATIONS:
        stops.append([sid, jp, "1", "", "", "35.5", "139.7"])
        for platform in ("1", "2"):
            stops.append(["%s-%s" % (sid, platform), jp, "0", sid, platform, "35.5", "139.7"])
        for lang, text in (("en", en), ("ko", ko), ("zh-Hans", zh)):
            translations.append(["stops", "stop_name", lang, text, "", "", jp])
    write("stops.txt", ["stop_id", "stop_name", "location_type", "parent_station", "platform_code",
                        "stop_lat", "stop_lon"], stops)

    write("routes.txt", ["route_id", "agency_id", "route_short_name", "route_long_name", "route_type",
                         "route_color", "route_text_color"],
          [[rid, "TSUKIMI", short, long_jp, "2", colour, "FFFFFF"] for rid, short, long_jp, _, colour in ROUTES])
    for rid, _, long_jp, long_en, _ in ROUTES:
        translations.append(["routes", "route_long_name", "en", long_en, rid, "", ""])

    write("calendar.txt", ["service_id", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday",
                           "sunday", "start_date", "end_date"],
          [["WEEKDAY", 1, 1, 1, 1, 1, 0, 0, "20260101", "20271231"],
           ["WEEKEND", 0, 0, 0, 0, 0, 1, 1, "20260101", "20271231"]])
    write("calendar_dates.txt", ["service_id", "date", "exception_type"],
          [row for day in HOLIDAYS for row in (["WEEKDAY", day, 2], ["WEEKEND", day, 1])])

    trips = []
    stop_times = []
    frequencies = []

    def add_trip(route, service, direction, start, stations, headsign, number):
        trip_id = "%s-%s-%d-%04d" % (route, {"WEEKDAY": "WD", "WEEKEND": "HD"}[service], direction, number)
        trips.append([route, service, trip_id, headsign, direction])
        first = stations[0][5]
        for sequence, station in enumerate(stations):
            offset = abs(station[5] - first) * 60
            arrive = start + offset
            depart = arrive if sequence in (0, len(stations) - 1) else arrive + 30
            platform = "1" if direction == 0 else "2"
            stop_times.append([trip_id, hms(arrive), hms(depart), "%s-%s" % (station[0], platform),
                               sequence + 1])
        return trip_id

    down = STATIONS
    up = list(reversed(STATIONS))
    for service, local_every, rapid_every in (("WEEKDAY", 6, 15), ("WEEKEND", 8, 20)):
        number = 0
        for direction, stations in ((0, down), (1, up)):
            # Locals from 5:00 until the last one at 24:40; every fourth one
            # turns back at Minato-Chuo and carries no headsign, so the board
            # names its last stop.
            start = 5 * 3600
            count = 0
            while start <= 24 * 3600 + 40 * 60:
                if count % 4 == 3:
                    turn = [s for s in stations if s[0] != stations[-1][0]]
                    turn = turn[:turn.index(next(s for s in turn if s[0] == "MNT")) + 1]
                    add_trip("LOCAL", service, direction, start, turn, "", number)
                else:
                    add_trip("LOCAL", service, direction, start, stations, stations[-1][1], number)
                number += 1
                count += 1
                start += local_every * 60
            # Rapids between 7:00 and 21:00, three minutes after a local.
            start = 7 * 3600 + 3 * 60
            while start <= 21 * 3600:
                rapid = [s for s in stations if s[0] in RAPID_STOPS]
                add_trip("RAPID", service, direction, start, rapid, stations[-1][1], number)
                number += 1
                start += rapid_every * 60
            # The liner: one trip pattern repeated by frequencies.
            liner = [s for s in stations if s[0] in RAPID_STOPS]
            trip_id = add_trip("LINER", service, direction, 10 * 3600 + 1 * 60, liner, stations[-1][1], number)
            number += 1
            frequencies.append([trip_id, "10:01:00", "17:00:00", 1800, 1])

    for _, jp, en, ko, zh, _ in (STATIONS[0], STATIONS[2], STATIONS[4]):
        for lang, text in (("en", en), ("ko", ko), ("zh-Hans", zh)):
            translations.append(["trips", "trip_headsign", lang, text, "", "", jp])

    write("trips.txt", ["route_id", "service_id", "trip_id", "trip_headsign", "direction_id"], trips)
    write("stop_times.txt", ["trip_id", "arrival_time", "departure_time", "stop_id", "stop_sequence"],
          stop_times)
    write("frequencies.txt", ["trip_id", "start_time", "end_time", "headway_secs", "exact_times"], frequencies)
    write("translations.txt", ["table_name", "field_name", "language", "translation", "record_id",
                               "record_sub_id", "field_value"], translations)


if __name__ == "__main__":
    main()
