#!/usr/bin/env python3
"""Draws the tray artwork once: regular, pause, alert, on-menu and eight animation frames, 44x44 PNGs
(shown at 22 px and 44 px). A coloured disc with a dark rim and a white glyph reads on light and dark
panels alike. Plain Python: no imaging library needed. Run it from this folder to redraw."""
import math, struct, zlib

SIZE = 44
SS = 4  # subsamples per axis

BLUE = (40, 120, 210)
GREY = (120, 128, 140)
RED = (210, 50, 45)
WHITE = (255, 255, 255)
RIM = (20, 40, 70)

def inside_arrow(x, y):
    # an upward arrow: head triangle and shaft, centred
    if 11 <= y <= 22 and abs(x - 22) <= (y - 11) * 0.95:
        return True
    return 21 <= y <= 32 and abs(x - 22) <= 3.2

def inside_pause(x, y):
    return 13 <= y <= 31 and (14.5 <= x <= 19.5 or 24.5 <= x <= 29.5)

def inside_bang(x, y):
    if 11 <= y <= 26 and abs(x - 22) <= 3 - (y - 11) * 0.06:
        return True
    return math.hypot(x - 22, y - 31.5) <= 3

def sample(x, y, disc, glyph, glyph_colour, dots=None):
    r = math.hypot(x - 22, y - 22)
    if r > 21:
        return None
    if r > 19.2:
        return RIM + (255,)
    if glyph(x, y):
        return glyph_colour + (255,)
    if dots is not None:
        lit, ring = dots
        for i in range(8):
            a = -math.pi / 2 + i * math.pi / 4
            cx, cy = 22 + ring * math.cos(a), 22 + ring * math.sin(a)
            if math.hypot(x - cx, y - cy) <= 2.1:
                k = (i - lit) % 8
                alpha = [1.0, 0.15, 0.15, 0.15, 0.15, 0.15, 0.45, 0.7][k]
                return tuple(round(disc[c] + (255 - disc[c]) * alpha) for c in range(3)) + (255,)
    return disc + (255,)

def render(name, disc, glyph, glyph_colour=WHITE, dots=None):
    rows = []
    for py in range(SIZE):
        row = bytearray([0])
        for px in range(SIZE):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    s = sample(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS, disc, glyph, glyph_colour, dots)
                    if s:
                        for c in range(3):
                            acc[c] += s[c] * s[3]
                        acc[3] += s[3]
            a = acc[3] / (SS * SS)
            if acc[3]:
                row += bytes(round(acc[c] / acc[3]) for c in range(3)) + bytes([round(a)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    with open(name + ".png", "wb") as f:
        f.write(png)

def small_arrow(x, y):
    # the arrow shrunk so that the ring of dots fits around it
    return inside_arrow(22 + (x - 22) * 1.45, 22 + (y - 22) * 1.45)

render("zorHollin_tray_regular", BLUE, inside_arrow)
render("zorHollin_tray_pause", GREY, inside_pause)
render("zorHollin_tray_alert", RED, inside_bang)
render("zorHollin_tray_onMenu", WHITE, inside_arrow, BLUE)
for i in range(8):
    render("ZorvikHollin_anim%02d" % (i + 1), BLUE, small_arrow, WHITE, (i, 14.5))
