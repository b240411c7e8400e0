#!/usr/bin/env python3
"""Draws the program's icon (a disk with a green arrow) into roamdeck.ico.

Run once by hand when the drawing changes; the .ico is kept in the tree.
"""
import struct
import sys


def pixel(size, x, y):
    """BGRA colour of one pixel of the drawing at the given size."""
    s = size / 32.0
    # Disk body: dark grey rounded box.
    if 3 * s <= x < 29 * s and 6 * s <= y < 27 * s:
        # Green down arrow in the upper half.
        cx = 16 * s
        if 9 * s <= y < 15 * s and abs(x - cx) < 2.5 * s:
            return (40, 200, 40, 255)
        if 15 * s <= y < 20 * s and abs(x - cx) < (20 * s - y) * 1.2:
            return (40, 200, 40, 255)
        # Activity light.
        if 22 * s <= y < 25 * s and 23 * s <= x < 26 * s:
            return (60, 220, 255, 255)
        edge = x < 4 * s or x >= 28 * s or y < 7 * s or y >= 26 * s
        return (90, 90, 90, 255) if edge else (60, 50, 45, 255)
    return (0, 0, 0, 0)


def image(size):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        rows.append(b''.join(struct.pack('<BBBB', *pixel(size, x, y)) for x in range(size)))
    mask_row = ((size + 31) // 32) * 4
    mask = b'\0' * (mask_row * size)  # alpha carries the transparency
    return header + b''.join(rows) + mask


def main(path):
    sizes = [16, 32, 48]
    images = [image(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'roamdeck.ico')
