#!/usr/bin/env python3
"""Makes the applet icon from its text pixel art.

    mkico.py applet.txt veldrano.ico [preview.png]

Writes one 32 x 32 image, 4 bits per pixel with the standard 16-colour
Windows palette and an AND mask for transparency, in the .ico layout that
resource compilers take. Standard library only.
"""
import struct
import sys
import zlib

PALETTE = [  # index: (character, RGB)
    ("K", (0x00, 0x00, 0x00)), ("R", (0x80, 0x00, 0x00)),
    ("G", (0x00, 0x80, 0x00)), ("Y", (0x80, 0x80, 0x00)),
    ("B", (0x00, 0x00, 0x80)), ("M", (0x80, 0x00, 0x80)),
    ("C", (0x00, 0x80, 0x80)), ("S", (0xC0, 0xC0, 0xC0)),
    ("D", (0x80, 0x80, 0x80)), ("r", (0xFF, 0x00, 0x00)),
    ("g", (0x00, 0xFF, 0x00)), ("y", (0xFF, 0xFF, 0x00)),
    ("b", (0x00, 0x00, 0xFF)), ("m", (0xFF, 0x00, 0xFF)),
    ("c", (0x00, 0xFF, 0xFF)), ("W", (0xFF, 0xFF, 0xFF)),
]
INDEX = {ch: i for i, (ch, _) in enumerate(PALETTE)}
TRANSPARENT = "."
SIZE = 32


def read_art(path):
    rows = [l.rstrip("\n") for l in open(path) if not l.startswith("#") and l.strip()]
    if len(rows) != SIZE or any(len(r) != SIZE for r in rows):
        sys.exit(f"{path}: need {SIZE} rows of {SIZE} pixels")
    for r in rows:
        for ch in r:
            if ch != TRANSPARENT and ch not in INDEX:
                sys.exit(f"{path}: unknown pixel {ch!r}")
    return rows


def ico_bytes(rows):
    # Bitmaps run bottom-up; transparent pixels are black in the colour
    # bits and set in the mask, so the screen shows through.
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        idx = [0 if ch == TRANSPARENT else INDEX[ch] for ch in row]
        xor += bytes((idx[i] << 4) | idx[i + 1] for i in range(0, SIZE, 2))
        bits = 0
        for ch in row:
            bits = (bits << 1) | (ch == TRANSPARENT)
        mask += struct.pack(">I", bits)  # 32 bits: already DWORD-aligned
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(bytes((b, g, r, 0)) for _, (r, g, b) in PALETTE)
    image = header + palette + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


def png_bytes(rows, scale=8):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = bytearray()
    for row in rows:
        line = bytearray()
        for ch in row:
            rgba = (0xFF, 0xFF, 0xFF, 0) if ch == TRANSPARENT else PALETTE[INDEX[ch]][1] + (0xFF,)
            line += bytes(rgba) * scale
        for _ in range(scale):
            raw += b"\0" + line
    ihdr = struct.pack(">IIBBBBB", SIZE * scale, SIZE * scale, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(__doc__)
    rows = read_art(argv[1])
    with open(argv[2], "wb") as f:
        f.write(ico_bytes(rows))
    if len(argv) == 4:
        with open(argv[3], "wb") as f:
            f.write(png_bytes(rows))


if __name__ == "__main__":
    main(sys.argv)
