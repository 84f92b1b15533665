#!/usr/bin/env python3
"""Checks that the layers of src/ point one way.

  shell -> render -> serverlink -> documents -> platform -> base

and the board server's parts (src/server/<part>/), on the board's documents
and base:

  http -> operator, preview -> signs -> realtime -> timetable -> station
  preview -> render (its portable part, for the live previews)

Includes: a file may include headers of its own folder and of the folders
below it, never one above (render also leaves serverlink alone: it is given
the link state, so it links without the server link).

Symbols (with --archive): every symbol a layer's library leaves undefined
must not be one that only a higher layer's library defines, so each layer
links with the layers below it alone. The server parts that "import" and
"check" are made of (station, timetable, realtime, signs) must also need no
symbol of the HTTP, font, picture or crypto libraries.

Exit status 0 when clean, 1 with one line per fault otherwise.
"""
import argparse
import os
import re
import subprocess
import sys

ORDER = ["base", "platform", "documents", "serverlink", "render", "shell"]
ALLOWED = {
    "base": {"base"},
    "platform": {"base", "platform"},
    "documents": {"base", "platform", "documents"},
    "serverlink": {"base", "platform", "documents", "serverlink"},
    "render": {"base", "platform", "documents", "render"},
    "shell": set(ORDER),
}
SERVER_ORDER = ["station", "timetable", "realtime", "signs", "operator", "preview", "http"]
SERVER_BELOW = {
    "station": set(),
    "timetable": {"station"},
    "realtime": {"station", "timetable"},
    "signs": {"station", "timetable", "realtime"},
    "operator": {"station", "timetable", "realtime", "signs"},
    "preview": {"station", "timetable", "realtime", "signs"},
    "http": set(SERVER_ORDER),
}
for part, below in SERVER_BELOW.items():
    ALLOWED["server/" + part] = {"base", "documents"} | {"server/" + other for other in below | {part}}
ALLOWED["server/preview"] |= {"render"}
ALLOWED["server/http"] |= {"render"}
# What a program of "import" and "check" alone may not need: an HTTP server
# or client (httplib, Boost.Beast, libcurl), FreeType, libpng and libsodium.
OFFLINE_PARTS = {"server/station", "server/timetable", "server/realtime", "server/signs"}
OUTSIDE_SYMBOL = re.compile(r"^(_ZN7httplib|_ZNK7httplib|_ZN5boost5beast|_ZNK5boost5beast|_ZN5boost4asio|curl_|FT_|"
                            r"png_|sodium_|crypto_|randombytes_)")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([A-Za-z0-9_]+)/(?:([A-Za-z0-9_]+)/)?')
SOURCE_ENDINGS = (".cpp", ".h", ".hpp", ".cc")


def include_faults(src):
    faults = []
    folders = set(ALLOWED)
    for root, _, files in os.walk(src):
        relative = os.path.relpath(root, src).split(os.sep)
        layer = "/".join(relative[:2]) if relative[0] == "server" else relative[0]
        if layer not in ALLOWED:
            continue
        for name in sorted(files):
            if not name.endswith(SOURCE_ENDINGS):
                continue
            path = os.path.join(root, name)
            with open(path, encoding="utf-8", errors="replace") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    folder = match.group(1)
                    if folder == "server":
                        folder = f"server/{match.group(2)}" if match.group(2) else "server"
                    if folder not in ALLOWED[layer]:
                        shown = os.path.relpath(path, os.path.dirname(src))
                        if folder in folders:
                            faults.append(f"{shown}:{number}: {layer} includes {folder}/, a layer above it")
                        elif folder.startswith("server"):
                            faults.append(f"{shown}:{number}: {layer} includes {folder}/, no server part")
    return faults


def archive_symbols(nm, path):
    """Defined and undefined external symbols of a static library."""
    output = subprocess.run([nm, "-g", "-P", path], check=True, capture_output=True, text=True).stdout
    defined, undefined = set(), set()
    for line in output.splitlines():
        fields = line.split()
        if len(fields) < 2 or line.endswith(":"):
            continue
        symbol, kind = fields[0], fields[1]
        if kind == "U":
            undefined.add(symbol)
        elif kind not in ("w", "v"):
            defined.add(symbol)
    return defined, undefined


def symbol_faults(nm, archives):
    symbols = {layer: archive_symbols(nm, path) for layer, path in archives.items()}
    faults = []
    for layer, (_, undefined) in symbols.items():
        below = ALLOWED[layer]
        for symbol in sorted(undefined):
            if any(symbol in symbols[other][0] for other in below if other in symbols):
                continue
            owners = [other for other in symbols if other not in below and symbol in symbols[other][0]]
            if owners:
                faults.append(f"{library(layer)} needs {symbol} from {library(owners[0])}, a layer above it")
        if layer in OFFLINE_PARTS:
            outside = sorted(symbol for symbol in undefined if OUTSIDE_SYMBOL.match(symbol))
            if outside:
                faults.append(f"{library(layer)} needs {outside[0]} (and {len(outside) - 1} more) of the HTTP, "
                              "font, picture or crypto libraries, which import and check must not link")
    return faults


def library(layer):
    return "velmorant_" + layer.split("/")[-1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--src", required=True, help="the src/ folder")
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--archive", action="append", default=[], metavar="LAYER=PATH")
    arguments = parser.parse_args()
    faults = include_faults(os.path.abspath(arguments.src))
    archives = {}
    for item in arguments.archive:
        layer, _, path = item.partition("=")
        archives[layer] = path
    if archives:
        faults += symbol_faults(arguments.nm, archives)
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f"layers one way: includes under {arguments.src}" + (f" and {len(archives)} libraries" if archives else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
