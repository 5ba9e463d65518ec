#!/usr/bin/env python3
"""Draws the installer host's icon 108, a 32 x 32 "setup box with a CD", and
writes it as setup_box.ico (one 32-bit image with its AND mask) beside this
script. The tests look for the box's front colour left in the icon."""
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "installer-plugin", "resources"))
from make_art import write_ico  # noqa: E402  (one ICO writer for the project's icons)

SIZE = 32
FRONT = (200, 120, 30)      # the box's front face; solid at x 2..13, y 12..29
TOP = (236, 172, 84)
SIDE = (150, 86, 20)
EDGE = (90, 50, 10)
TAPE = (250, 232, 180)
DISC = (206, 211, 222)
DISC_EDGE = (112, 116, 128)
HOLE = (80, 80, 90)


def draw():
    pixels = [[None] * SIZE for _ in range(SIZE)]  # (r, g, b) or None: transparent

    def put(x, y, colour):
        if 0 <= x < SIZE and 0 <= y < SIZE:
            pixels[y][x] = colour

    # Front face with its outline.
    for y in range(12, 30):
        for x in range(2, 22):
            edge = y in (12, 29) or x in (2, 21)
            put(x, y, EDGE if edge and x != 2 else FRONT)
    for y in range(12, 30):
        put(1, y, EDGE)
    # Top face: a parallelogram leaning right, with a strip of tape.
    for row, y in enumerate(range(6, 12)):
        shift = 6 - row
        for x in range(1 + shift, 22 + shift):
            colour = TOP
            if x in (1 + shift, 21 + shift) or y == 6:
                colour = EDGE
            elif 10 + shift <= x <= 13 + shift:
                colour = TAPE
            put(x, y, colour)
    # Right side face.
    for x in range(22, 28):
        depth = x - 21
        for y in range(12 - depth, 30 - depth):
            put(x, y, EDGE if x == 27 or y == 29 - depth else SIDE)
    # The CD in front of the box's lower right corner.
    cx, cy, radius = 22.5, 21.5, 9.0
    for y in range(SIZE):
        for x in range(SIZE):
            d = math.hypot(x - cx, y - cy)
            if d > radius:
                continue
            if d > radius - 1.0:
                put(x, y, DISC_EDGE)
            elif d < 1.6:
                put(x, y, None)
            elif d < 3.0:
                put(x, y, HOLE)
            else:
                # A rainbow sheen across the silver.
                angle = math.atan2(y - cy, x - cx)
                shade = int(24 * math.sin(angle * 2))
                r = min(255, max(0, DISC[0] + shade))
                g = min(255, max(0, DISC[1] - shade // 2))
                b = min(255, max(0, DISC[2] + shade // 3))
                put(x, y, (r, g, b))
    return pixels


def rgba(pixels):
    """The drawing as the RGBA rows the plug-in's art writer takes (None is
    transparent)."""
    return [[(p[0], p[1], p[2], 255) if p else (0, 0, 0, 0) for p in row] for row in pixels]


if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "setup_box.ico")
    write_ico(out, rgba(draw()))
    print(out)
