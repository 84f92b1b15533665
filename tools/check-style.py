#!/usr/bin/env python3
"""The style check of the test command: clang-format must leave every source
of src/ and tests/ as it is, and clang-tidy (the project's .clang-tidy) must
find nothing in the sources of src/ that the host build compiles, the board
server's included.

  check-style.py SOURCE_DIR BUILD_DIR [JOBS]

BUILD_DIR holds the host build's compile_commands.json.
"""
import concurrent.futures
import json
import os
import subprocess
import sys

SOURCE_ENDINGS = (".cpp", ".h")


def sources(root, folders):
    found = []
    for folder in folders:
        for directory, _, files in os.walk(os.path.join(root, folder)):
            found += [os.path.join(directory, name) for name in files if name.endswith(SOURCE_ENDINGS)]
    return sorted(found)


def tidy_files(root, build):
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as database:
        entries = json.load(database)
    sources_root = os.path.join(root, "src") + os.sep
    files = {os.path.realpath(entry["file"]) for entry in entries}
    return sorted(f for f in files if f.startswith(sources_root))


def run_tidy(build, path):
    result = subprocess.run(["clang-tidy", "--quiet", "-p", build, path], capture_output=True, text=True)
    findings = [line for line in result.stdout.splitlines() if ": error:" in line or ": warning:" in line]
    return result.returncode, findings


def main():
    root = os.path.realpath(sys.argv[1])
    build = os.path.realpath(sys.argv[2])
    jobs = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    status = 0
    files = sources(root, ["src", "tests"])
    formatted = subprocess.run(["clang-format", "--dry-run", "-Werror", *files], capture_output=True, text=True)
    if formatted.returncode != 0:
        print(formatted.stderr, end="")
        print(f"clang-format: sources differ from .clang-format (of {len(files)} checked)")
        status = 1
    else:
        print(f"clang-format: {len(files)} sources clean")
    checked = tidy_files(root, build)
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        results = list(pool.map(lambda path: run_tidy(build, path), checked))
    failed = 0
    for path, (code, findings) in zip(checked, results):
        if code != 0 or findings:
            failed += 1
            for line in findings or [f"{path}: clang-tidy exit status {code}"]:
                print(line)
    if failed:
        print(f"clang-tidy: {failed} of {len(checked)} sources have findings")
        status = 1
    else:
        print(f"clang-tidy: {len(checked)} sources clean")
    return status


if __name__ == "__main__":
    sys.exit(main())
