#!/usr/bin/env python3
"""Draws KESTREL's own artwork and writes it in the Windows formats the resource script
uses: kestrel.ico (32x32 and 16x16, 16 colours each) and logo.bmp (160x46, 16 colours).
Run it from anywhere; it writes next to itself. Needs only the standard library."""

import os
import struct

# The 16-colour palette every Windows display has, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, OLIVE, NAVY, SILVER, GREY, YELLOW, BLUE, WHITE = 0, 1, 3, 4, 7, 8, 11, 12, 15

# A 5x7 font holding the letters of the name.
FONT = {
    "K": ["X...X", "X..X.", "X.X..", "XX...", "X.X..", "X..X.", "X...X"],
    "E": ["XXXXX", "X....", "X....", "XXXX.", "X....", "X....", "XXXXX"],
    "S": [".XXXX", "X....", "X....", ".XXX.", "....X", "....X", "XXXX."],
    "T": ["XXXXX", "..X..", "..X..", "..X..", "..X..", "..X..", "..X.."],
    "R": ["XXXX.", "X...X", "X...X", "XXXX.", "X.X..", "X..X.", "X...X"],
    "L": ["X....", "X....", "X....", "X....", "X....", "X....", "XXXXX"],
}


class Canvas:
    def __init__(self, width, height, fill):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def set(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.set(x, y, colour)

    def polygon(self, points, colour):
        """Fills a polygon given in pixel units, sampling pixel centres (even-odd rule)."""
        for y in range(self.height):
            cy = y + 0.5
            crossings = []
            for (xa, ya), (xb, yb) in zip(points, points[1:] + points[:1]):
                if (ya <= cy < yb) or (yb <= cy < ya):
                    crossings.append(xa + (cy - ya) * (xb - xa) / (yb - ya))
            crossings.sort()
            for left, right in zip(crossings[0::2], crossings[1::2]):
                for x in range(self.width):
                    if left <= x + 0.5 < right:
                        self.set(x, y, colour)

    def text(self, x, y, word, scale, colour):
        for letter in word:
            for row, bits in enumerate(FONT[letter]):
                for column, bit in enumerate(bits):
                    if bit == "X":
                        self.rect(x + column * scale, y + row * scale,
                                  x + (column + 1) * scale, y + (row + 1) * scale, colour)
            x += 6 * scale


def kestrel(canvas, ox, oy, size, body, wing, eye):
    """A hovering falcon seen from the front, scaled into a size x size box."""
    def at(points):
        return [(ox + px * size / 32.0, oy + py * size / 32.0) for px, py in points]

    # Wings spread and bent down at the tips, a short fanned tail, a round head.
    canvas.polygon(at([(1, 9), (11, 12), (16, 11), (21, 12), (31, 9), (27, 16), (20, 17),
                       (16, 18), (12, 17), (5, 16)]), wing)
    canvas.polygon(at([(13, 10), (19, 10), (19, 22), (22, 29), (10, 29), (13, 22)]), body)
    canvas.polygon(at([(13, 4), (19, 4), (20, 8), (16, 11), (12, 8)]), body)
    canvas.rect(int(ox + 14 * size / 32.0), int(oy + 6 * size / 32.0),
                int(ox + 14 * size / 32.0) + max(1, size // 16),
                int(oy + 6 * size / 32.0) + max(1, size // 16), eye)


def pack_4bit_rows(canvas):
    """Bottom-up rows of 4-bit palette indices, each padded to a multiple of 4 bytes."""
    data = bytearray()
    for row in reversed(canvas.pixels):
        line = bytearray()
        for x in range(0, canvas.width, 2):
            high = row[x]
            low = row[x + 1] if x + 1 < canvas.width else 0
            line.append((high << 4) | low)
        while len(line) % 4:
            line.append(0)
        data += line
    return bytes(data)


def pack_mask_rows(mask):
    """Bottom-up rows of a 1-bit mask (1 = transparent), padded to 4 bytes."""
    data = bytearray()
    for row in reversed(mask):
        line = bytearray()
        for x in range(0, len(row), 8):
            byte = 0
            for bit, value in enumerate(row[x:x + 8]):
                if value:
                    byte |= 0x80 >> bit
            line.append(byte)
        while len(line) % 4:
            line.append(0)
        data += line
    return bytes(data)


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)


def info_header(width, height):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, 0, 0, 0, 16, 0)


def write_bmp(path, canvas):
    pixels = pack_4bit_rows(canvas)
    offset = 14 + 40 + 64
    with open(path, "wb") as out:
        out.write(struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset))
        out.write(info_header(canvas.width, canvas.height))
        out.write(palette_bytes())
        out.write(pixels)


def icon_image(size):
    transparent = 255
    canvas = Canvas(size, size, transparent)
    # A blue disc behind the bird.
    centre = (size - 1) / 2.0
    for y in range(size):
        for x in range(size):
            if (x - centre) ** 2 + (y - centre) ** 2 <= (size / 2.0 - 0.5) ** 2:
                canvas.set(x, y, BLUE)
    kestrel(canvas, 0, size // 16, size, MAROON, YELLOW, BLACK)
    mask = [[1 if p == transparent else 0 for p in row] for row in canvas.pixels]
    canvas.pixels = [[0 if p == transparent else p for p in row] for row in canvas.pixels]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    return header + palette_bytes() + pack_4bit_rows(canvas) + pack_mask_rows(mask)


def write_ico(path, sizes):
    images = [icon_image(size) for size in sizes]
    offset = 6 + 16 * len(images)
    with open(path, "wb") as out:
        out.write(struct.pack("<HHH", 0, 1, len(images)))
        for size, image in zip(sizes, images):
            out.write(struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), offset))
            offset += len(image)
        for image in images:
            out.write(image)


def logo():
    canvas = Canvas(160, 46, NAVY)
    canvas.rect(0, 0, 160, 2, YELLOW)
    canvas.rect(0, 44, 160, 46, YELLOW)
    kestrel(canvas, 2, 7, 32, SILVER, YELLOW, BLACK)
    canvas.text(36, 9, "KESTREL", 3, WHITE)
    canvas.rect(36, 34, 156, 36, GREY)
    return canvas


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_ico(os.path.join(here, "kestrel.ico"), [32, 16])
    write_bmp(os.path.join(here, "logo.bmp"), logo())


if __name__ == "__main__":
    main()
