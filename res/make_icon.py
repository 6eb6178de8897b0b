#!/usr/bin/env python3
"""Build the launcher's icon from its text pixel map.

    python3 make_icon.py setup_icon.txt OUT.ico [--preview OUT.png] [--scale N]

The pixel map (see setup_icon.txt) has a legend followed by 32 rows of 32
characters.  Each legend line is "legend C NAME": pixel character C stands
for palette colour NAME, or for a see-through pixel when NAME is
"transparent".  Lines starting with '#' and blank lines are ignored.

The output is a single-image .ico: 32x32 pixels, 4 bits per pixel with the
standard 16-colour palette, and a 1-bit AND mask in which see-through pixels
are set.  See-through pixels get colour index 0 in the colour bitmap.

--preview writes an enlarged PNG of the same picture (see-through pixels as a
light checkerboard) so the art can be reviewed without a Windows machine.
"""

import argparse
import struct
import sys
import zlib

SIZE = 32

# The standard 16-colour palette, in palette order: (name, (red, green, blue)).
PALETTE = [
    ("black", (0x00, 0x00, 0x00)),
    ("dark-red", (0x80, 0x00, 0x00)),
    ("dark-green", (0x00, 0x80, 0x00)),
    ("olive", (0x80, 0x80, 0x00)),
    ("navy", (0x00, 0x00, 0x80)),
    ("purple", (0x80, 0x00, 0x80)),
    ("teal", (0x00, 0x80, 0x80)),
    ("silver", (0xC0, 0xC0, 0xC0)),
    ("grey", (0x80, 0x80, 0x80)),
    ("red", (0xFF, 0x00, 0x00)),
    ("green", (0x00, 0xFF, 0x00)),
    ("yellow", (0xFF, 0xFF, 0x00)),
    ("blue", (0x00, 0x00, 0xFF)),
    ("magenta", (0xFF, 0x00, 0xFF)),
    ("cyan", (0x00, 0xFF, 0xFF)),
    ("white", (0xFF, 0xFF, 0xFF)),
]
PALETTE_INDEX = {name: index for index, (name, _) in enumerate(PALETTE)}
TRANSPARENT = None  # the value a see-through pixel has in the parsed grid

XOR_ROW_BYTES = SIZE * 4 // 8  # 16, already a multiple of 4
AND_ROW_BYTES = SIZE // 8  # 4, already a multiple of 4
XOR_BYTES = XOR_ROW_BYTES * SIZE  # 512
AND_BYTES = AND_ROW_BYTES * SIZE  # 128
HEADER_BYTES = 40
PALETTE_BYTES = 4 * len(PALETTE)  # 64
IMAGE_BYTES = HEADER_BYTES + PALETTE_BYTES + XOR_BYTES + AND_BYTES  # 744
IMAGE_OFFSET = 6 + 16  # after ICONDIR and the one ICONDIRENTRY


class MapError(Exception):
    """The pixel map is malformed; the message names the file and line."""


def parse_map(text, filename="<map>"):
    """Return SIZE rows of SIZE palette indices (None for see-through)."""
    legend = {}
    rows = []

    def fail(lineno, message):
        raise MapError(f"{filename}:{lineno}: {message}")

    for lineno, raw in enumerate(text.splitlines(), start=1):
        line = raw.rstrip()
        if not line or line.startswith("#"):
            continue
        fields = line.split()
        if fields[0] == "legend":
            if rows:
                fail(lineno, "legend line after the first pixel row")
            if len(fields) != 3 or len(fields[1]) != 1:
                fail(lineno, f"expected 'legend C NAME', got {line!r}")
            char, name = fields[1], fields[2]
            if char == "#":
                fail(lineno, "'#' cannot be a pixel character")
            if char in legend:
                fail(lineno, f"pixel character {char!r} defined twice")
            if name == "transparent":
                legend[char] = TRANSPARENT
            elif name in PALETTE_INDEX:
                legend[char] = PALETTE_INDEX[name]
            else:
                fail(lineno, f"unknown colour {name!r}; known: transparent, "
                             + ", ".join(n for n, _ in PALETTE))
            continue
        if len(line) != SIZE:
            fail(lineno, f"pixel row is {len(line)} characters wide, expected {SIZE}")
        unknown = sorted(set(line) - set(legend))
        if unknown:
            col = min(line.index(c) for c in unknown) + 1
            fail(lineno, f"column {col}: character(s) "
                         + " ".join(repr(c) for c in unknown) + " not in the legend")
        rows.append([legend[c] for c in line])
    if len(rows) != SIZE:
        raise MapError(f"{filename}: {len(rows)} pixel rows, expected {SIZE}")
    return rows


def build_ico(rows):
    """Return the .ico file bytes for SIZE x SIZE rows of palette indices."""
    icondir = struct.pack("<HHH", 0, 1, 1)  # reserved, type 1 = icon, one image
    entry = struct.pack("<BBBBHHII",
                        SIZE, SIZE,  # width, height
                        len(PALETTE),  # colour count
                        0,  # reserved
                        1, 4,  # planes, bits per pixel
                        IMAGE_BYTES, IMAGE_OFFSET)
    # BITMAPINFOHEADER: the height covers the colour bitmap and the mask.
    header = struct.pack("<IiiHHIIiiII",
                         HEADER_BYTES, SIZE, 2 * SIZE,
                         1, 4,  # planes, bits per pixel
                         0,  # BI_RGB
                         XOR_BYTES + AND_BYTES,
                         0, 0,  # pixels per metre
                         0, 0)  # colours used / important: all
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for _, (r, g, b) in PALETTE)

    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up
        for x in range(0, SIZE, 2):
            left, right = (0 if p is TRANSPARENT else p for p in row[x:x + 2])
            xor.append(left << 4 | right)
        bits = 0
        for p in row:
            bits = bits << 1 | (p is TRANSPARENT)
        mask += bits.to_bytes(AND_ROW_BYTES, "big")

    data = icondir + entry + header + palette + bytes(xor) + bytes(mask)
    assert len(data) == IMAGE_OFFSET + IMAGE_BYTES
    return data


def build_png(rows, scale):
    """Return PNG bytes of the picture enlarged scale times, RGB, 8 bits."""
    light, dark = (0xF4, 0xF4, 0xF4), (0xDC, 0xDC, 0xDC)
    check = max(1, scale // 2)  # checker squares half a pixel wide
    raw = bytearray()
    for y in range(SIZE * scale):
        raw.append(0)  # filter type: none
        for x in range(SIZE * scale):
            p = rows[y // scale][x // scale]
            if p is TRANSPARENT:
                rgb = light if (x // check + y // check) % 2 == 0 else dark
            else:
                rgb = PALETTE[p][1]
            raw += bytes(rgb)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    side = SIZE * scale
    ihdr = struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)  # 8-bit RGB
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Build the launcher's .ico from its pixel map.")
    parser.add_argument("map", help="the text pixel map")
    parser.add_argument("ico", help="the .ico file to write")
    parser.add_argument("--preview", metavar="PNG", help="also write an enlarged PNG")
    parser.add_argument("--scale", type=int, default=8, help="preview enlargement (default 8)")
    args = parser.parse_args(argv)
    if args.scale < 1:
        parser.error("--scale must be at least 1")

    try:
        with open(args.map, encoding="ascii") as f:
            rows = parse_map(f.read(), args.map)
    except (MapError, UnicodeDecodeError, OSError) as e:
        print(f"make_icon: error: {e}", file=sys.stderr)
        return 1

    with open(args.ico, "wb") as f:
        f.write(build_ico(rows))
    if args.preview:
        with open(args.preview, "wb") as f:
            f.write(build_png(rows, args.scale))
    return 0


if __name__ == "__main__":
    sys.exit(main())
