#!/usr/bin/env python3
"""Writes a short departure chime as a 16-bit mono WAV file, so the demo
board has a melody to download and play without shipping audio files."""

import math
import struct
import sys
import wave

RATE = 22050
# A rising four-note chime (frequencies in Hz, seconds each).
NOTES = [(659.25, 0.35), (783.99, 0.35), (1046.50, 0.35), (1318.51, 0.9)]


def main():
    target = sys.argv[1]
    frames = bytearray()
    for frequency, seconds in NOTES:
        count = int(RATE * seconds)
        for i in range(count):
            t = i / RATE
            envelope = math.exp(-3.0 * t / seconds)
            sample = 0.45 * envelope * (math.sin(2 * math.pi * frequency * t) +
                                        0.3 * math.sin(4 * math.pi * frequency * t))
            frames += struct.pack("<h", int(max(-1.0, min(1.0, sample)) * 32767))
    with wave.open(target, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


if __name__ == "__main__":
    main()
