#!/usr/bin/env python3
"""Build a Windows .ico file from text pixel maps.

Usage: make_icon.py OUTPUT.ico MAP.txt [MAP.txt ...]

Each map becomes one image of the icon, in the order given.  A map reads:

    # comment lines start with '#'
    bits 4               1 (black and white) or 4 (16 colours)
    . = transparent      legend: character = palette index and colour name,
    K = 0   black        or 'transparent'
    pixels
    ..KK..               one character per pixel, top row first
    .KKKK.

The width is the length of the rows, the height their number.  The indices
are those of the standard 16-colour palette below; a 1-bit image may only
use black (0) and white (15).  The colour name in the legend is checked
against the palette so that a typo in an index shows up at once.
"""

import struct
import sys

# The 16-colour palette in the order Windows uses it, as (name, (r, g, b)).
PALETTE = [
    ("black", (0x00, 0x00, 0x00)),
    ("dark-red", (0x80, 0x00, 0x00)),
    ("dark-green", (0x00, 0x80, 0x00)),
    ("dark-yellow", (0x80, 0x80, 0x00)),
    ("dark-blue", (0x00, 0x00, 0x80)),
    ("dark-magenta", (0x80, 0x00, 0x80)),
    ("dark-cyan", (0x00, 0x80, 0x80)),
    ("light-grey", (0xC0, 0xC0, 0xC0)),
    ("dark-grey", (0x80, 0x80, 0x80)),
    ("red", (0xFF, 0x00, 0x00)),
    ("green", (0x00, 0xFF, 0x00)),
    ("yellow", (0xFF, 0xFF, 0x00)),
    ("blue", (0x00, 0x00, 0xFF)),
    ("magenta", (0xFF, 0x00, 0xFF)),
    ("cyan", (0x00, 0xFF, 0xFF)),
    ("white", (0xFF, 0xFF, 0xFF)),
]
BLACK, WHITE = 0, 15
TRANSPARENT = None


class MapError(Exception):
    pass


def read_map(path):
    """Return (bits, rows) where rows holds palette indices or TRANSPARENT."""
    bits, legend, rows = None, {}, []
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    in_pixels = False
    for number, line in enumerate(lines, 1):
        where = f"{path}:{number}"
        if in_pixels:
            if not line.strip():
                continue
            try:
                rows.append([legend[ch] for ch in line.rstrip()])
            except KeyError as e:
                raise MapError(f"{where}: character {e} is not in the legend")
            continue
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        if words[0] == "bits" and len(words) == 2:
            bits = int(words[1])
        elif words[0] == "pixels":
            in_pixels = True
        elif len(words) >= 3 and len(words[0]) == 1 and words[1] == "=":
            legend[words[0]] = legend_entry(words[2:], where)
        else:
            raise MapError(f"{where}: cannot read {line!r}")

    if bits not in (1, 4):
        raise MapError(f"{path}: 'bits 1' or 'bits 4' is required")
    if not rows or any(len(r) != len(rows[0]) for r in rows):
        raise MapError(f"{path}: the pixel rows must be present and of equal length")
    if bits == 1 and any(p not in (BLACK, WHITE, TRANSPARENT) for r in rows for p in r):
        raise MapError(f"{path}: a 1-bit image can only be black, white or transparent")
    return bits, rows


def legend_entry(words, where):
    if words == ["transparent"]:
        return TRANSPARENT
    index = int(words[0])
    if not 0 <= index < len(PALETTE):
        raise MapError(f"{where}: palette index {index} is out of range")
    if len(words) > 1 and words[1] != PALETTE[index][0]:
        raise MapError(f"{where}: index {index} is {PALETTE[index][0]}, not {words[1]}")
    return index


def pack_rows(rows, bits):
    """Pack rows bottom-up, most significant bits first, each row padded to 4 bytes."""
    out = bytearray()
    for row in reversed(rows):
        value, count = 0, 0
        line = bytearray()
        for v in row:
            value = (value << bits) | v
            count += bits
            if count == 8:
                line.append(value)
                value, count = 0, 0
        if count:
            line.append(value << (8 - count))
        line.extend(b"\0" * (-len(line) % 4))
        out += line
    return bytes(out)


def image_data(bits, rows):
    """One icon image: BITMAPINFOHEADER, palette, colour (XOR) bits, AND mask."""
    width, height = len(rows[0]), len(rows)
    if bits == 1:
        colours = [PALETTE[BLACK][1], PALETTE[WHITE][1]]
        to_index = {BLACK: 0, WHITE: 1}
    else:
        colours = [rgb for _, rgb in PALETTE]
        to_index = {i: i for i in range(16)}
    # Transparent pixels are black in the colour bits and set in the mask, so
    # drawing them leaves the screen alone.
    xor = pack_rows([[0 if p is TRANSPARENT else to_index[p] for p in r] for r in rows], bits)
    mask = pack_rows([[1 if p is TRANSPARENT else 0 for p in r] for r in rows], 1)
    header = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    return header + palette + xor + mask


def build_icon(maps):
    images = [(read_map(path), path) for path in maps]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, blobs = b"", b""
    for (bits, rows), path in images:
        width, height = len(rows[0]), len(rows)
        if width > 255 or height > 255:
            raise MapError(f"{path}: images larger than 255 pixels are not supported")
        blob = image_data(bits, rows)
        entries += struct.pack("<BBBBHHII", width, height, 1 << bits, 0, 1, bits,
                               len(blob), offset + len(blobs))
        blobs += blob
    return directory + entries + blobs


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    try:
        icon = build_icon(argv[2:])
    except (MapError, OSError, ValueError) as e:
        sys.exit(f"make_icon: {e}")
    with open(argv[1], "wb") as f:
        f.write(icon)


if __name__ == "__main__":
    main(sys.argv)
