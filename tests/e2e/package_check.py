#!/usr/bin/env python3
"""The release ZIP built by CPack from the Windows build: the program, the
sample settings file and the operator's guide, each in the form a station PC
needs."""

import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

from e2elib import Checks

KEYS = ["サーバー", "ポート", "台", "取得間隔", "フォント", "ラベルフォント", "スリープ防止",
        "消灯ドット", "メロディ", "起動画面", "定期再起動", "背景色"]


def main():
    cpack, config = sys.argv[1], sys.argv[2]
    checks = Checks()
    out = tempfile.mkdtemp(prefix="velmorant-package-")
    try:
        result = subprocess.run([cpack, "--config", config, "-B", out], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=240)
        checks.check(result.returncode == 0, "cpack succeeds: %s" % result.stdout.decode("utf-8", "replace"))
        zips = [name for name in os.listdir(out) if name.endswith(".zip")]
        checks.check(len(zips) == 1, "one ZIP (%r)" % zips)
        if len(zips) != 1:
            return
        with zipfile.ZipFile(os.path.join(out, zips[0])) as archive:
            names = {os.path.basename(name): name for name in archive.namelist() if not name.endswith("/")}
            checks.check(sorted(names) == ["velmorant-operator.txt", "velmorant.exe", "velmorant.ini"],
                         "exactly the three files (%r)" % sorted(names))
            if "velmorant.exe" in names:
                checks.check(archive.read(names["velmorant.exe"])[:2] == b"MZ", "a Windows executable")
            if "velmorant.ini" in names:
                ini = archive.read(names["velmorant.ini"])
                checks.check(ini.startswith(b"\xef\xbb\xbf"), "settings sample is UTF-8 with signature")
                text = ini[3:].decode("utf-8")
                for key in KEYS:
                    checks.check(("\n%s =" % key) in text or ("\n; %s =" % key) in text,
                                 "the sample lists %s" % key)
                comments = [line for line in text.splitlines() if line.startswith(";")]
                checks.check(any(any(ord(c) > 0x3000 for c in line) for line in comments) and
                             any("board" in line.lower() for line in comments),
                             "comments in Japanese and English")
            if "velmorant-operator.txt" in names:
                guide = archive.read(names["velmorant-operator.txt"])
                checks.check(guide.startswith(b"\xef\xbb\xbf"), "guide is UTF-8 with signature")
                checks.check(b"\r\n" in guide and b"\n" not in guide.replace(b"\r\n", b""),
                             "guide has Windows line ends only")
                text = guide[3:].decode("utf-8")
                for needle in ("/kiosk", "Ctrl+Alt+Shift+F12", "発車標を再起動(&B)",
                               "専用モードを終了してデスクトップへ(&Q)", "shell:startup"):
                    checks.check(needle in text, "the guide explains %s" % needle)
    finally:
        shutil.rmtree(out, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
