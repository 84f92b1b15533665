#!/usr/bin/env python3
"""Instruction counts of the portable render and document code under
callgrind, compared with the checked-in baseline.

Runs every case of the host build's callgrind_cases program under
`valgrind --tool=callgrind`, counting only the measured passes (the
velmorantMeasuredPasses function and what it calls), and prints per case the
instructions per pass, the baseline's figure, the difference, and the heap
allocations made during the measured passes (the target is none).

It is a regression report, not a gate: it exits 0 whatever the figures, so
noise never fails CI. Pass --fail-above PERCENT to make a growth beyond that
figure (or any allocation) exit 1, and --write to replace the baseline with
this run's figures.

Usage:
  tools/callgrind-compare.py [--build build/host] [--baseline tests/bench/callgrind-baseline.txt]
                             [--write] [--fail-above PERCENT] [CASE...]
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
DEFAULT_BASELINE = os.path.join(SOURCE, "tests", "bench", "callgrind-baseline.txt")
DEFAULT_BUILD = os.path.join(SOURCE, "build", "host")


def read_baseline(path):
    """{case: instructions per pass} from lines 'case instructions allocations'."""
    figures = {}
    if not os.path.exists(path):
        return figures
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split()
            if len(parts) >= 2:
                figures[parts[0]] = int(parts[1])
    return figures


def write_baseline(path, results):
    with open(path, "w") as f:
        f.write("# Instructions per pass (callgrind Ir, host build, -O2, test glyphs) and heap\n")
        f.write("# allocations per run of measured passes. Written by tools/callgrind-compare.py --write.\n")
        f.write("# case instructions_per_pass allocations\n")
        for name, (instructions, allocations) in results.items():
            f.write("%s %d %d\n" % (name, instructions, allocations))


def total_instructions(out_file):
    """The Ir total of a callgrind output file."""
    with open(out_file) as f:
        for line in f:
            match = re.match(r"^(?:totals|summary):\s+(\d+)", line)
            if match:
                return int(match.group(1))
    raise RuntimeError("no totals in " + out_file)


def run_case(program, name, passes):
    with tempfile.TemporaryDirectory(prefix="velmorant-callgrind-") as work:
        out_file = os.path.join(work, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
                   "--toggle-collect=velmorantMeasuredPasses", "--callgrind-out-file=" + out_file,
                   program, name, str(passes)]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        if result.returncode != 0:
            raise RuntimeError("%s failed: %s" % (name, result.stderr.decode(errors="replace")[-400:]))
        match = re.search(r"case \S+ passes (\d+) allocations (\d+)", result.stdout.decode())
        if not match:
            raise RuntimeError("%s printed no result line" % name)
        instructions = total_instructions(out_file)
        return instructions // int(match.group(1)), int(match.group(2))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=DEFAULT_BUILD)
    parser.add_argument("--baseline", default=DEFAULT_BASELINE)
    parser.add_argument("--write", action="store_true")
    parser.add_argument("--fail-above", type=float, default=None)
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()

    program = os.path.join(args.build, "tests", "bench", "callgrind_cases")
    if not os.path.exists(program):
        print("no %s: build the host preset first" % program)
        return 0 if args.fail_above is None else 1
    listing = subprocess.run([program, "--list"], stdout=subprocess.PIPE, check=True).stdout.decode()
    cases = [line.split() for line in listing.splitlines() if line.strip()]
    if args.cases:
        cases = [c for c in cases if c[0] in args.cases]

    baseline = read_baseline(args.baseline)
    results = {}
    failed = False
    print("%-34s %14s %14s %10s %8s" % ("case", "Ir/pass", "baseline", "change", "allocs"))
    for name, passes in cases:
        instructions, allocations = run_case(program, name, int(passes))
        results[name] = (instructions, allocations)
        before = baseline.get(name)
        if before:
            change = 100.0 * (instructions - before) / before
            change_text = "%+9.2f%%" % change
            if args.fail_above is not None and change > args.fail_above:
                failed = True
        else:
            change_text = "%10s" % "new"
        note = "" if allocations == 0 else "  <- allocates"
        if allocations and args.fail_above is not None:
            failed = True
        print("%-34s %14d %14s %s %8d%s" % (name, instructions, before if before else "-", change_text,
                                            allocations, note))
        sys.stdout.flush()
    if args.write:
        write_baseline(args.baseline, results)
        print("baseline written to", args.baseline)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
