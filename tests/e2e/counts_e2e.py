#!/usr/bin/env python3
"""The probe's process counts follow real objects: a holder process (the
probe's "hold" mode) makes kernel handles, GDI objects and windows on
request, and after each step the probe, reading from outside as the soak
does, must see exactly that many more; after "free" the counts are back
where they began. A second holder that makes nothing keeps its own counts
throughout, so the figures are the process's own and not the system's."""

import subprocess

from e2elib import Checks, probe, probe_exe


class Holder:
    def __init__(self):
        self.process = subprocess.Popen(["wine", probe_exe(), "hold"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.pid = int(self.process.stdout.readline())

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def stop(self):
        if self.process.poll() is None:
            try:
                self.ask("quit")
                self.process.wait(timeout=30)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()


def counts(pid):
    result, text = probe("counts", pid)
    fields = dict(item.split("=") for item in text.split())
    return result, {name: int(value) for name, value in fields.items()}


def main():
    checks = Checks()
    holder = Holder()
    bystander = Holder()
    try:
        result, base = counts(holder.pid)
        checks.check(result == 0, "the probe reads the holder's counts")
        checks.check(min(base.values()) >= 0, "every count is available under this Wine: %r" % base)
        _, other = counts(bystander.pid)
        print("holder at start: %r, bystander: %r" % (base, other))

        expected = dict(base)
        for command, kind, n in [("events 25", "handles", 25), ("gdi 30", "gdi", 30), ("windows 4", "windows", 4),
                                 ("gdi 7", "gdi", 7), ("events 3", "handles", 3)]:
            checks.check(holder.ask(command) == "ok", "holder makes %s" % command)
            expected[kind] += n
            _, now = counts(holder.pid)
            print("after %-10s %r" % (command, now))
            checks.check(now == expected, "after %s: %s up by exactly %d, the rest unchanged (%r, expected %r)" %
                         (command, kind, n, now, expected))

        checks.check(holder.ask("free") == "ok", "holder releases everything")
        _, now = counts(holder.pid)
        print("after free       %r" % now)
        checks.check(now == base, "after free the counts are back where they began (%r, began %r)" % (now, base))
        _, still = counts(bystander.pid)
        checks.check(still == other, "the bystander's counts never moved (%r, began %r)" % (still, other))

        result, _ = counts(999999)
        checks.check(result != 0, "no counts for a process that does not exist")
    finally:
        holder.stop()
        bystander.stop()
    checks.finish()


if __name__ == "__main__":
    main()
