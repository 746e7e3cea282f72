#!/usr/bin/env python3
"""Draws the program's icons and bitmaps as small 16-colour files (run once; outputs are committed).

tessiv.ico  (icon 128)   32x32 program icon: a blue shield with a white key bit
browse.ico  (icon 130)   16x16 open folder for the browse buttons
wizard.bmp  (bitmap 149) 96x180 wizard side panel: blue gradient with the shield
banner.bmp  (bitmap 156) 48x48 status window and About box emblem
"""
import os
import struct

# The standard 16-colour VGA palette (B, G, R, 0).
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
           (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
           (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, NAVY, GREY, DARKGREY, BLUE, YELLOW, OLIVE, WHITE, TEAL = 0, 4, 7, 8, 12, 11, 3, 15, 6


def rgbquads():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)


def pack4(rows, width):
    """Bottom-up 4-bit rows, each padded to 4 bytes."""
    out = b""
    for row in reversed(rows):
        data = bytearray()
        for x in range(0, width, 2):
            hi = row[x]
            lo = row[x + 1] if x + 1 < width else 0
            data.append((hi << 4) | lo)
        while len(data) % 4:
            data.append(0)
        out += bytes(data)
    return out


def pack_mask(mask, width):
    out = b""
    for row in reversed(mask):
        data = bytearray()
        for x in range(0, width, 8):
            byte = 0
            for bit in range(8):
                if x + bit < width and row[x + bit]:
                    byte |= 0x80 >> bit
            data.append(byte)
        while len(data) % 4:
            data.append(0)
        out += bytes(data)
    return out


def shield(w, h, ox, oy, size):
    """Pixels of a shield of the given size at (ox, oy): 1 = body, 2 = outline, 3 = key mark."""
    pix = {}
    for y in range(size):
        half = size // 2 if y < size * 0.55 else int((size // 2) * (size - y) / (size * 0.45))
        for x in range(size // 2 - half, size // 2 + half):
            edge = x in (size // 2 - half, size // 2 + half - 1) or y == 0
            pix[(ox + x, oy + y)] = 2 if edge else 1
    for y in range(size // 5, size * 3 // 5):
        for x in range(size // 2 - max(1, size // 16), size // 2 + max(1, size // 16)):
            pix[(ox + x, oy + y)] = 3
    for y in range(size // 5, size // 5 + max(2, size // 8)):
        for x in range(size // 2 - size // 6, size // 2 + size // 6):
            pix[(ox + x, oy + y)] = 3
    return pix


def write_bmp(path, rows, width, height):
    pixels = pack4(rows, width)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(pixels), 2835, 2835, 16, 0)
    offset = 14 + len(info) + 64
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + info + rgbquads() + pixels)


def write_ico(path, rows, mask, size):
    xor = pack4(rows, size)
    andm = pack_mask(mask, size)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(andm), 0, 0, 16, 0)
    image = info + rgbquads() + xor + andm
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(header + entry + image)


def program_icon():
    size = 32
    rows = [[0] * size for _ in range(size)]
    mask = [[1] * size for _ in range(size)]
    for (x, y), v in shield(size, size, 2, 1, 28).items():
        if 0 <= x < size and 0 <= y < size:
            rows[y][x] = {1: BLUE, 2: NAVY, 3: WHITE}[v]
            mask[y][x] = 0
    return rows, mask


def browse_icon():
    size = 16
    rows = [[0] * size for _ in range(size)]
    mask = [[1] * size for _ in range(size)]
    for y in range(3, 14):
        for x in range(1, 15):
            if y == 3 and x > 6:
                continue
            border = y in (3, 4, 13) or x in (1, 14)
            rows[y][x] = BLACK if border else YELLOW
            mask[y][x] = 0
    return rows, mask


def wizard_bitmap():
    w, h = 96, 180
    rows = []
    for y in range(h):
        band = NAVY if y < h // 3 else (BLUE if y < 2 * h // 3 else TEAL)
        rows.append([band if (x + y) % 7 else DARKGREY for x in range(w)])
    for (x, y), v in shield(w, h, 16, 50, 64).items():
        if 0 <= x < w and 0 <= y < h:
            rows[y][x] = {1: GREY, 2: WHITE, 3: NAVY}[v]
    return rows, w, h


def banner_bitmap():
    w = h = 48
    rows = [[GREY] * w for _ in range(h)]
    for (x, y), v in shield(w, h, 4, 2, 42).items():
        if 0 <= x < w and 0 <= y < h:
            rows[y][x] = {1: BLUE, 2: NAVY, 3: WHITE}[v]
    return rows, w, h


here = os.path.dirname(os.path.abspath(__file__))
write_ico(os.path.join(here, "tessiv.ico"), *program_icon(), 32)
write_ico(os.path.join(here, "browse.ico"), *browse_icon(), 16)
rows, w, h = wizard_bitmap()
write_bmp(os.path.join(here, "wizard.bmp"), rows, w, h)
rows, w, h = banner_bitmap()
write_bmp(os.path.join(here, "banner.bmp"), rows, w, h)
