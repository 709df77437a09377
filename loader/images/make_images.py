#!/usr/bin/env python3
"""Makes the synthetic stand-ins for the five built-in memory images,
UsrD_v7a.bin ... UsrD_v7ct.bin.

Run by hand when the stand-ins are to change; the build embeds whatever
<unit>.pas or <unit>.bin is in this folder (README, "Shipping real meter
software"), and real meter software never comes from here. An existing .bin
is replaced only with --force, and no .bin is made for a unit that has its
source unit (<unit>.pas) here. The output is deterministic: the same script
gives the same bytes.

Every image is 131072 bytes, erased bytes 0xFF. Each holds
- its software version's three bytes at 0x5000..0x5002 and the model name after
  them;
- content (bytes 0x00..0xFE, never 0xFF) in every page that is not erased,
  among them all pages from 0x3200 up to 0x5000 and the last page 0x1FE00;
- a few whole erased 512-byte pages: below 0x1000, one pair that moves with the
  meter type, the page just before 0x10000 and a run that moves with the type,
so that a wrong offset, a skipped or extra page or a swapped image shows.
"""
import argparse
import pathlib
import sys

SIZE = 0x20000
PAGE = 0x200
VERSION_OFFSET = 0x5000

# (unit name, model name, version bytes), in meter-type order 0..4.
IMAGES = [
    ("UsrD_v7a", b"KV-750LA", bytes([0x34, 0x00, 0x35])),
    ("UsrD_v7b", b"KV-750LB", bytes([0x63, 0x00, 0x21])),
    ("UsrD_v7c", b"KV-750LC", bytes([0x35, 0x00, 0x23])),
    ("UsrD_v7at", b"KV-750LAT", bytes([0x34, 0x01, 0x35])),
    ("UsrD_v7ct", b"KV-750LCT", bytes([0x35, 0x01, 0x25])),
]


def erased_ranges(meter_type):
    """(start, length) of the erased areas; all on 512-byte page boundaries."""
    return [
        (0x0000, 0x1000),
        (0x6000 + 0x400 * meter_type, 0x400),
        (0xFE00, 0x200),
        (0x14000 + 0x200 * meter_type, 0x1000),
    ]


def make_image(meter_type, model, version):
    image = bytearray(SIZE)
    state = (0x5EED0000 + meter_type * 0x9E3779B1) & 0xFFFFFFFF
    for i in range(SIZE):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        image[i] = (state >> 16) % 255  # 0x00..0xFE: content is never erased
    header = version + model
    image[VERSION_OFFSET:VERSION_OFFSET + len(header)] = header
    for start, length in erased_ranges(meter_type):
        image[start:start + length] = b"\xFF" * length
    assert len(image) == SIZE
    return bytes(image)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--force", action="store_true",
                        help="replace existing .bin files (they may hold real meter software)")
    args = parser.parse_args()
    folder = pathlib.Path(__file__).resolve().parent
    wanted, kept = [], []
    for meter_type, (unit, model, version) in enumerate(IMAGES):
        if (folder / (unit + ".pas")).exists():
            print(f"{unit}: {unit}.pas is built in; no {unit}.bin is made")
        elif (folder / (unit + ".bin")).exists() and not args.force:
            kept.append(unit + ".bin")
        else:
            wanted.append((meter_type, unit, model, version))
    if kept:
        sys.exit(f"{', '.join(kept)} exist and may hold real meter software; nothing was written. "
                 "Run with --force to replace them by the synthetic stand-ins.")
    for meter_type, unit, model, version in wanted:
        (folder / (unit + ".bin")).write_bytes(make_image(meter_type, model, version))
        print(f"{unit}.bin written")


if __name__ == "__main__":
    main()
