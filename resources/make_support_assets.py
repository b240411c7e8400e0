#!/usr/bin/env python3
"""Draws the support module's small icon (24 x 24, 32 bpp) into support_small.ico
and its cursor (32 x 32, hotspot 3,2) into support.cur.

Run once by hand when a drawing changes; both files are kept in the tree. The
update picture (support_update.jpg, a 126 x 283 baseline JPEG) is made with
ImageMagick by make_support_picture.sh.
"""
import struct
import sys


def small_icon_pixel(x, y):
    """A blue round badge with a white 'K' cut into it."""
    cx, cy = 11.5, 11.5
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if d2 > 11.5 ** 2:
        return (0, 0, 0, 0)
    if d2 > 10 ** 2:
        return (120, 60, 20, 255)  # dark rim (BGRA)
    stem = 7 <= x <= 9 and 5 <= y <= 18
    arm = abs((x - 9) - abs(y - 11.5)) <= 1.2 and 9 <= x <= 17 and 5 <= y <= 18
    if stem or arm:
        return (255, 255, 255, 255)
    return (200, 120, 40, 255)


def cursor_pixel(x, y):
    """An arrow whose tip sits at (3, 2), with an orange wrench mark."""
    tx, ty = 3, 2
    dx, dy = x - tx, y - ty
    if 0 <= dy <= 18 and 0 <= dx <= dy * 0.6:
        edge = dx == 0 or dx >= int(dy * 0.6) - 0 or dy == 18
        return (0, 0, 0, 255) if edge else (255, 255, 255, 255)
    if 18 <= x <= 27 and 20 <= y <= 29:
        return (0, 140, 255, 255)
    return (0, 0, 0, 0)


def dib(size, pixel):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        rows.append(b''.join(struct.pack('<BBBB', *pixel(x, y)) for x in range(size)))
    mask_row = ((size + 31) // 32) * 4
    return header + b''.join(rows) + b'\0' * (mask_row * size)


def icon_file(kind, size, data, field1, field2):
    out = struct.pack('<HHH', 0, kind, 1)
    out += struct.pack('<BBBBHHII', size, size, 0, 0, field1, field2, len(data), 6 + 16)
    return out + data


def main(folder):
    with open(folder + '/support_small.ico', 'wb') as f:
        f.write(icon_file(1, 24, dib(24, small_icon_pixel), 1, 32))
    # In a cursor file the planes and bit-count fields hold the hotspot.
    with open(folder + '/support.cur', 'wb') as f:
        f.write(icon_file(2, 32, dib(32, cursor_pixel), 3, 2))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else '.')
