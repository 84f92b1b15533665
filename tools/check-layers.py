#!/usr/bin/env python3
"""Checks that the layers of src/ point one way.

  shell -> render -> serverlink -> documents -> platform -> base
  server -> render (its portable part, for the live previews) -> documents -> base

Includes: a file may include headers of its own folder and of the folders
below it, never one above (render also leaves serverlink alone: it is given
the link state, so it links without the server link).

Symbols (with --archive): every symbol a layer's library leaves undefined
must not be one that only a higher layer's library defines, so each layer
links with the layers below it alone.

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
    "server": {"base", "documents", "render", "server"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([A-Za-z0-9_]+)/')
SOURCE_ENDINGS = (".cpp", ".h", ".hpp", ".cc")


def include_faults(src):
    faults = []
    folders = set(ALLOWED)
    for root, _, files in os.walk(src):
        relative = os.path.relpath(root, src)
        layer = relative.split(os.sep)[0]
        if layer not in ALLOWED:
            continue
        for name in sorted(files):
            if not name.endswith(SOURCE_ENDINGS):
                continue
            path = os.path.join(root, name)
            with open(path, encoding="utf-8", errors="replace") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if match and match.group(1) in folders and match.group(1) not in ALLOWED[layer]:
                        shown = os.path.relpath(path, os.path.dirname(src))
                        faults.append(f"{shown}:{number}: {layer} includes {match.group(1)}/, a layer above it")
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
                faults.append(f"velmorant_{layer} needs {symbol} from velmorant_{owners[0]}, a layer above it")
    return faults


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
