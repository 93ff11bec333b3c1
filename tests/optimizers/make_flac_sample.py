"""Writes the FLAC sample of the media pipeline tests: three seconds of a stereo tone
with noise, encoded with flac's fastest setting (-0) so that re-encoding it with --best
shrinks it, and tagged so that stripping the metadata is visible.

usage: make_flac_sample.py <output.flac>
"""
import math
import os
import random
import struct
import subprocess
import sys
import wave


def main():
    target = sys.argv[1]
    wav = target + ".wav"
    random.seed(20190831)  # the same sample on every build
    frames = bytearray()
    for i in range(44100 * 3):
        tone = 8000 * math.sin(2 * math.pi * 440 * i / 44100)
        left = int(tone + random.randint(-300, 300))
        right = int(-tone / 2 + random.randint(-300, 300))
        frames += struct.pack("<hh", left, right)
    with wave.open(wav, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(44100)
        out.writeframes(bytes(frames))
    subprocess.run(["flac", "--silent", "-0", "--force", "-T", "TITLE=Vell test tone",
                    "-o", target, wav], check=True)
    os.remove(wav)


if __name__ == "__main__":
    main()
