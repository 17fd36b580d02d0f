#!/usr/bin/env python3
"""Draws the program's images into res/: the 64 x 15 toolbar strip (four 16 x 15
buttons, 16 colours) and the window icon at 16, 32 and 48 pixels.

Plain Python (zlib only) so that it runs anywhere: ./scripts/make-images.py
"""
import math
import os
import struct
import zlib

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")

# The 16 colours of the classic Windows palette; silver is the toolbar's
# background and is written as transparent.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png_palette4(path, pixels, transparent):
    """pixels: rows of palette indices; written as a 4-bit palette PNG."""
    height, width = len(pixels), len(pixels[0])
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        padded = row + [0] * (width % 2)
        for i in range(0, len(padded), 2):
            raw.append((padded[i] << 4) | padded[i + 1])
    trns = bytes(0 if i == transparent else 255 for i in range(16))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 4, 3, 0, 0, 0))
    png += chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
    png += chunk(b"tRNS", trns)
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


class Canvas:
    def __init__(self, width, height, fill):
        self.w, self.h = width, height
        self.px = [[fill] * width for _ in range(height)]

    def set(self, x, y, c):
        x, y = int(round(x)), int(round(y))
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1 + 1):
            self.set(x, y0, c)
            self.set(x, y1, c)
        for y in range(y0, y1 + 1):
            self.set(x0, y, c)
            self.set(x1, y, c)

    def line(self, x0, y0, x1, y1, c, width=1):
        steps = int(max(abs(x1 - x0), abs(y1 - y0)) * 2) + 1
        for i in range(steps + 1):
            t = i / steps
            x, y = x0 + (x1 - x0) * t, y0 + (y1 - y0) * t
            for dx in range(width):
                for dy in range(width):
                    self.set(x + dx - (width - 1) / 2, y + dy - (width - 1) / 2, c)

    def disc(self, cx, cy, r, c):
        for y in range(self.h):
            for x in range(self.w):
                if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                    self.px[y][x] = c

    def ellipse(self, cx, cy, rx, ry, c, y_max=None):
        for y in range(self.h):
            for x in range(self.w):
                if y_max is not None and y > y_max:
                    continue
                if ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0:
                    self.px[y][x] = c

    def blit(self, other, ox, oy, transparent):
        for y in range(other.h):
            for x in range(other.w):
                if other.px[y][x] != transparent:
                    self.set(ox + x, oy + y, other.px[y][x])


def gear():
    c = Canvas(16, 15, SILVER)
    cx, cy = 7.5, 7.0
    for y in range(15):
        for x in range(16):
            dx, dy = x - cx, y - cy
            r = math.hypot(dx, dy)
            a = math.atan2(dy, dx)
            tooth = math.cos(8 * a) > 0.35
            if r <= 4.6 or (tooth and r <= 6.6):
                c.px[y][x] = GRAY
            if r <= 4.6 and r > 3.6:
                c.px[y][x] = BLACK if (dx + dy) > 0 else GRAY
            if r <= 1.8:
                c.px[y][x] = SILVER
    # A little light on the upper left of the wheel.
    for (x, y) in [(5, 4), (4, 5), (6, 4), (4, 6)]:
        c.set(x, y, WHITE)
    return c


def person(c, cx, top, body, head):
    c.ellipse(cx, top + 11.0, 3.6, 4.0, body, y_max=14)
    c.disc(cx, top + 3.5, 2.5, head)
    c.set(cx - 1, top + 3, BLACK)
    c.set(cx + 1, top + 3, BLACK)


def cross(c, x0, y0, size):
    c.line(x0, y0, x0 + size, y0 + size, RED, 2)
    c.line(x0 + size, y0, x0, y0 + size, RED, 2)


def single_user():
    c = Canvas(16, 15, SILVER)
    person(c, 6, 0, NAVY, YELLOW)
    cross(c, 11, 9, 4)
    return c


def user_list():
    c = Canvas(16, 15, SILVER)
    person(c, 9, 0, TEAL, YELLOW)
    person(c, 4, 1, NAVY, YELLOW)
    cross(c, 11, 9, 4)
    return c


def about():
    c = Canvas(16, 15, SILVER)
    c.disc(7.5, 7.0, 6.6, NAVY)
    c.disc(7.5, 7.0, 5.6, BLUE)
    c.rect(7, 3, 8, 4, WHITE)
    c.rect(7, 6, 8, 11, WHITE)
    c.rect(6, 6, 6, 6, WHITE)
    c.rect(6, 11, 9, 11, WHITE)
    return c


def toolbar():
    strip = Canvas(64, 15, SILVER)
    for i, glyph in enumerate([gear(), single_user(), user_list(), about()]):
        strip.blit(glyph, 16 * i, 0, SILVER)
    return strip


def icon(size):
    """An envelope with a red cross: mail that goes away."""
    t = FUCHSIA  # unused colour, written as transparent
    c = Canvas(size, size, t)
    s = size / 32.0
    x0, y0 = int(2 * s), int(7 * s)
    x1, y1 = size - 1 - int(2 * s), size - 1 - int(7 * s)
    c.rect(x0, y0, x1, y1, WHITE)
    c.frame(x0, y0, x1, y1, BLACK)
    mx = (x0 + x1) / 2
    my = y0 + (y1 - y0) * 0.55
    c.line(x0, y0, mx, my, BLACK, max(1, int(s)))
    c.line(x1, y0, mx, my, BLACK, max(1, int(s)))
    c.line(x0, y1, x0 + (x1 - x0) * 0.38, y0 + (y1 - y0) * 0.45, GRAY, 1)
    c.line(x1, y1, x1 - (x1 - x0) * 0.38, y0 + (y1 - y0) * 0.45, GRAY, 1)
    # Red cross over the lower right corner.
    size_x = int(12 * s)
    cx0, cy0 = size - 1 - size_x - int(1 * s), size - 1 - size_x - int(1 * s)
    wide = max(2, int(3 * s))
    c.line(cx0, cy0, cx0 + size_x, cy0 + size_x, RED, wide)
    c.line(cx0 + size_x, cy0, cx0, cy0 + size_x, RED, wide)
    return c, t


def main():
    write_png_palette4(os.path.join(RES, "Toolbar.png"), toolbar().px, SILVER)
    for size in (16, 32, 48):
        c, t = icon(size)
        write_png_palette4(os.path.join(RES, "QuenDravalt%d.png" % size), c.px, t)


if __name__ == "__main__":
    main()
