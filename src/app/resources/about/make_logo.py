#!/usr/bin/env python3
"""Draws the Ambrel logo (200 x 80) and the 32 x 32 icon as PNG files.

Pure Python (zlib and struct only): run it from this folder to remake
logo.png and icon.png after changing the drawing.
"""
import struct
import zlib

BACKGROUND = (190, 240, 190)
DARK = (30, 90, 50)
WAVE = (60, 150, 90)

# 5 x 7 glyphs of the letters the logo needs.
GLYPHS = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "m": ["00000", "00000", "11010", "10101", "10101", "10101", "10101"],
    "b": ["10000", "10000", "11110", "10001", "10001", "10001", "11110"],
    "r": ["00000", "00000", "10110", "11001", "10000", "10000", "10000"],
    "e": ["00000", "00000", "01110", "10001", "11111", "10000", "01110"],
    "l": ["01100", "00100", "00100", "00100", "00100", "00100", "01110"],
}


def canvas(w, h, colour):
    return [[colour for _ in range(w)] for _ in range(h)]


def disc(img, cx, cy, r, colour):
    for y in range(len(img)):
        for x in range(len(img[0])):
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                img[y][x] = colour


def arc(img, cx, cy, r, width, colour):
    """The right half of a ring: a sound wave leaving the speaker."""
    for y in range(len(img)):
        for x in range(len(img[0])):
            d2 = (x - cx) ** 2 + (y - cy) ** 2
            if x > cx and (r - width) ** 2 <= d2 <= r * r and abs(y - cy) < (x - cx) * 1.2:
                img[y][x] = colour


def text(img, x, y, word, scale, colour):
    for ch in word:
        rows = GLYPHS[ch]
        for gy, row in enumerate(rows):
            for gx, bit in enumerate(row):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale):
                            img[y + gy * scale + dy][x + gx * scale + dx] = colour
        x += 6 * scale


def write_png(path, img):
    h, w = len(img), len(img[0])
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in img)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    logo = canvas(200, 80, BACKGROUND)
    disc(logo, 26, 40, 9, DARK)
    for r in (18, 26, 34):
        arc(logo, 26, 40, r, 4, WAVE)
    text(logo, 80, 29, "Ambrel", 3, DARK)
    write_png("logo.png", logo)

    icon = canvas(32, 32, BACKGROUND)
    disc(icon, 9, 16, 5, DARK)
    for r in (10, 15, 20):
        arc(icon, 9, 16, r, 3, WAVE)
    write_png("icon.png", icon)


if __name__ == "__main__":
    main()
