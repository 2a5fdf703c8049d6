#!/usr/bin/env python3
"""Writes the seed corpus of estimator_fuzz: frames with a known finger area, in the fuzzer's input format
(width and height as two little-endian 16-bit words, then the pixels row by row; missing pixels are 255)."""
import struct
import sys
from pathlib import Path


def frame(w, h, dark):
    pixels = bytearray(255 for _ in range(w * h))
    for r in range(h):
        for c in range(w):
            if dark(r, c):
                pixels[r * w + c] = 0
    return struct.pack("<HH", w, h) + bytes(pixels)


def main(out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    seeds = {
        "white-96": struct.pack("<HH", 96, 96),
        "dark-96": frame(96, 96, lambda r, c: True),
        "rect-96": frame(96, 96, lambda r, c: 10 <= r <= 85 and 5 <= c <= 90),
        "near-threshold-96": frame(96, 96, lambda r, c: 4 <= r <= 92 and 4 <= c <= 92),
        "slanted-96": frame(96, 96, lambda r, c: r <= 89 and ((20 <= c <= 32 and r >= 10) or
                                                             (44 <= c <= 56 and r >= 20) or
                                                             (68 <= c <= 80 and r >= 30))),
        "no-overlap-96": frame(96, 96, lambda r, c: (c in (24, 26, 28) and r < 20) or (c in (48, 50, 52) and r > 70)),
        "grey-219-96": struct.pack("<HH", 96, 96) + bytes([219]) * (96 * 96),
        "grey-220-96": struct.pack("<HH", 96, 96) + bytes([220]) * (96 * 96),
        "dark-20x20": frame(20, 20, lambda r, c: True),
        "dark-19x96": frame(19, 96, lambda r, c: True),
        "wide-300x40": frame(300, 40, lambda r, c: True),
        "tall-40x380": frame(40, 380, lambda r, c: True),
        "host-160": frame(160, 160, lambda r, c: 30 <= r <= 140 and 25 <= c <= 130),
    }
    for name, data in seeds.items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "corpus" / "estimator_fuzz")
