#!/usr/bin/env python3
"""Draws the window icon: a compass rose over a map grid, 128 x 128, 16 colours (4 bits per pixel).

Run from this folder: python3 make_icon.py  (writes icon.ico; needs only the standard library).
python3 make_icon.py --png SIZE FILE draws the same picture as a SIZE x SIZE PNG with smoothed
edges, for the desktop's icon theme."""
import math
import struct
import sys
import zlib

SIZE = 128
PALETTE = [  # (r, g, b); index 0 is the transparent background (masked out)
    (0, 0, 0), (20, 60, 110), (40, 100, 160), (235, 235, 235),
    (255, 255, 255), (210, 30, 30), (150, 20, 20), (90, 160, 90),
    (60, 120, 60), (200, 200, 200), (250, 200, 60), (30, 30, 30),
    (120, 170, 220), (170, 200, 230), (100, 100, 100), (255, 120, 120),
]


def inside_triangle(px, py, a, b, c):
    def side(p, q, r):
        return (p[0] - r[0]) * (q[1] - r[1]) - (q[0] - r[0]) * (p[1] - r[1])
    d1, d2, d3 = side((px, py), a, b), side((px, py), b, c), side((px, py), c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def pixel(x, y):
    cx = cy = (SIZE - 1) / 2
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    # Needle: north half red, south half white, drawn over everything.
    north = ((cx, 12), (cx - 12, cy), (cx + 12, cy))
    south = ((cx, SIZE - 13), (cx - 12, cy), (cx + 12, cy))
    if inside_triangle(x, y, *north):
        return 5 if x >= cx else 6
    if inside_triangle(x, y, *south):
        return 4 if x >= cx else 9
    if r > 62:
        return 0
    if r > 56:
        return 1
    if r > 52:
        return 4
    # Map grid on a green/blue field.
    if abs(dx) < 1 or abs(dy) < 1:
        return 3
    if math.floor(x + 0.5) % 16 == 0 or math.floor(y + 0.5) % 16 == 0:
        return 13
    return 7 if (dx * 0.6 + dy) < 10 else 2


def write_png(size, path):
    # Each pixel averages a grid of samples of the 128-pixel drawing, so that small sizes keep
    # the needle and ring instead of a staircase and large ones are not blocky.
    steps = max(2, min(16, 2 * SIZE // size))
    scale = SIZE / size
    raw = bytearray()
    for j in range(size):
        raw.append(0)  # no row filter
        for i in range(size):
            r = g = b = a = 0
            for sy in range(steps):
                for sx in range(steps):
                    index = pixel((i + (sx + 0.5) / steps) * scale - 0.5,
                                  (j + (sy + 0.5) / steps) * scale - 0.5)
                    if index:
                        pr, pg, pb = PALETTE[index]
                        r, g, b, a = r + pr, g + pg, b + pb, a + 1
            if a:
                raw += bytes((round(r / a), round(g / a), round(b / a), round(255 * a / steps ** 2)))
            else:
                raw += bytes(4)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    png = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
           chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))
    with open(path, 'wb') as f:
        f.write(png)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == '--png':
        write_png(int(sys.argv[2]), sys.argv[3])
        return
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):  # bottom-up rows
        row = rows[y]
        for x in range(0, SIZE, 2):
            xor.append((row[x] << 4) | row[x + 1])
        bits = 0
        line = bytearray()
        for x in range(SIZE):
            bits = (bits << 1) | (1 if row[x] == 0 else 0)
            if x % 8 == 7:
                line.append(bits)
                bits = 0
        mask += line  # 16 bytes: already a multiple of 4
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + palette + bytes(xor) + bytes(mask)
    icondir = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    with open('icon.ico', 'wb') as f:
        f.write(icondir + entry + image)


if __name__ == '__main__':
    main()
