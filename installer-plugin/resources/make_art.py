#!/usr/bin/env python3
"""Draws the pictures of the "Setup Progress" plug-in ZMX5wizwin32a.DLL.

Writes, next to this script:
  icon111.ico          the PC at the right-hand end of the animation
  icon112..icon131.ico the moving datalink adapter, one icon per frame 1..20
                       (icon 131 also serves frame 0)
  banner139.bmp        272 x 61 banner at the top right of dialog 1540
  side143.bmp          165 x 345 picture down the left side of dialog 1540

Everything is drawn here with a small anti-aliased rasteriser (shapes are
filled on a finer grid and averaged down), and the .ico and .bmp files are
written with struct: the standard library is all it needs.

    python3 make_art.py
"""

import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------------------
# Colours: (red, green, blue) 0..255, or (red, green, blue, alpha 0..1).

def rgb(hexcode, alpha=1.0):
    hexcode = hexcode.lstrip("#")
    return (int(hexcode[0:2], 16), int(hexcode[2:4], 16), int(hexcode[4:6], 16), alpha)


def mix(c1, c2, t):
    t = max(0.0, min(1.0, t))
    return tuple(c1[i] + (c2[i] - c1[i]) * t for i in range(4))


def vertical_gradient(y0, y1, stops):
    """Colour function: stops is [(position 0..1, colour), ...] from y0 down to y1."""
    def colour(x, y):
        t = (y - y0) / float(y1 - y0) if y1 != y0 else 0.0
        return _along(stops, t)
    return colour


def horizontal_gradient(x0, x1, stops):
    def colour(x, y):
        t = (x - x0) / float(x1 - x0) if x1 != x0 else 0.0
        return _along(stops, t)
    return colour


def _along(stops, t):
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0) if p1 > p0 else 1.0)
    return stops[-1][1]


# ---------------------------------------------------------------------------
# Shapes: lists of contours, each contour a list of (x, y) points in final
# pixel units (0,0 = top-left corner of the top-left pixel).

def rect(x, y, w, h):
    return [(x, y), (x + w, y), (x + w, y + h), (x, y + h)]


def rounded_rect(x, y, w, h, r, steps=8):
    r = max(0.0, min(r, w / 2.0, h / 2.0))
    if r == 0:
        return rect(x, y, w, h)
    pts = []
    corners = [(x + w - r, y + r, -90), (x + w - r, y + h - r, 0),
               (x + r, y + h - r, 90), (x + r, y + r, 180)]
    for cx, cy, start in corners:
        for i in range(steps + 1):
            a = math.radians(start + 90.0 * i / steps)
            pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return pts


def ellipse(cx, cy, rx, ry, steps=48):
    return [(cx + rx * math.cos(2 * math.pi * i / steps),
             cy + ry * math.sin(2 * math.pi * i / steps)) for i in range(steps)]


def circle(cx, cy, r, steps=48):
    return ellipse(cx, cy, r, r, steps)


def cubic(p0, p1, p2, p3, steps=24):
    pts = []
    for i in range(steps + 1):
        t = i / float(steps)
        u = 1 - t
        pts.append((u * u * u * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t * t * t * p3[0],
                    u * u * u * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t * t * t * p3[1]))
    return pts


def stroke(points, width):
    """A polyline as a list of contours (segments and round joints): fill
    them together so that overlaps do not darken."""
    half = width / 2.0
    contours = []
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        dx, dy = x1 - x0, y1 - y0
        length = math.hypot(dx, dy)
        if length == 0:
            continue
        nx, ny = -dy / length * half, dx / length * half
        contours.append([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny), (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)])
    for x, y in points:
        contours.append(circle(x, y, half, 16))
    return contours


def point_on(points, t):
    """The point at fraction t (0..1) of a polyline's length."""
    lengths = [math.hypot(b[0] - a[0], b[1] - a[1]) for a, b in zip(points, points[1:])]
    goal = t * sum(lengths)
    for (a, b), length in zip(zip(points, points[1:]), lengths):
        if goal <= length and length > 0:
            f = goal / length
            return (a[0] + (b[0] - a[0]) * f, a[1] + (b[1] - a[1]) * f)
        goal -= length
    return points[-1]


class Place:
    """Maps drawing coordinates to the canvas: scale, then offset."""

    def __init__(self, scale=1.0, dx=0.0, dy=0.0):
        self.scale, self.dx, self.dy = scale, dx, dy

    def pt(self, x, y):
        return (self.dx + x * self.scale, self.dy + y * self.scale)

    def pts(self, points):
        return [self.pt(x, y) for x, y in points]

    def len(self, v):
        return v * self.scale

    def colour(self, fn):
        """A colour function written in drawing coordinates, for the canvas."""
        if not callable(fn):
            return fn
        s, dx, dy = self.scale, self.dx, self.dy
        return lambda x, y: fn((x - dx) / s, (y - dy) / s)


# ---------------------------------------------------------------------------
# The canvas: premultiplied RGBA floats on a grid `fine` times finer than the
# picture, averaged down at the end.

class Canvas:
    def __init__(self, width, height, fine=4, background=None):
        self.width, self.height, self.fine = width, height, fine
        self.W, self.H = width * fine, height * fine
        self.r = [0.0] * (self.W * self.H)
        self.g = [0.0] * (self.W * self.H)
        self.b = [0.0] * (self.W * self.H)
        self.a = [0.0] * (self.W * self.H)
        if background is not None:
            self.fill([rect(0, 0, width, height)], background)

    def _spans(self, contours):
        """Row -> list of (x0, x1) fine pixels covered by the contours, even-odd."""
        f = self.fine
        edges = []
        for contour in contours:
            n = len(contour)
            for i in range(n):
                x0, y0 = contour[i]
                x1, y1 = contour[(i + 1) % n]
                if y0 == y1:
                    continue
                edges.append((x0 * f, y0 * f, x1 * f, y1 * f))
        if not edges:
            return {}
        ymin = max(0, int(math.floor(min(min(e[1], e[3]) for e in edges))))
        ymax = min(self.H - 1, int(math.ceil(max(max(e[1], e[3]) for e in edges))))
        rows = {}
        for row in range(ymin, ymax + 1):
            yc = row + 0.5
            xs = []
            for x0, y0, x1, y1 in edges:
                if (y0 <= yc < y1) or (y1 <= yc < y0):
                    xs.append(x0 + (yc - y0) * (x1 - x0) / (y1 - y0))
            if len(xs) < 2:
                continue
            xs.sort()
            spans = []
            for i in range(0, len(xs) - 1, 2):
                a = max(0, int(math.ceil(xs[i] - 0.5)))
                b = min(self.W, int(math.ceil(xs[i + 1] - 0.5)))
                if b > a:
                    spans.append((a, b))
            if spans:
                rows[row] = spans
        return rows

    def mask(self, *groups):
        """The union of several shapes (each a list of contours, even-odd inside)."""
        cover = {}
        for contours in groups:
            for row, spans in self._spans(contours).items():
                line = cover.setdefault(row, bytearray(self.W))
                for a, b in spans:
                    line[a:b] = b"\x01" * (b - a)
        return cover

    def paint(self, cover, colour, opacity=1.0):
        f = float(self.fine)
        W = self.W
        fn = colour if callable(colour) else None
        if fn is None:
            cr, cg, cb, ca = colour
        for row, line in cover.items():
            base = row * W
            y = (row + 0.5) / f
            x = line.find(1)
            while x != -1:
                end = line.find(0, x)
                if end == -1:
                    end = W
                for col in range(x, end):
                    if fn is not None:
                        cr, cg, cb, ca = fn((col + 0.5) / f, y)
                    alpha = ca * opacity
                    if alpha <= 0:
                        continue
                    i = base + col
                    keep = 1.0 - alpha
                    self.r[i] = cr / 255.0 * alpha + self.r[i] * keep
                    self.g[i] = cg / 255.0 * alpha + self.g[i] * keep
                    self.b[i] = cb / 255.0 * alpha + self.b[i] * keep
                    self.a[i] = alpha + self.a[i] * keep
                x = line.find(1, end)

    def fill(self, contours, colour, opacity=1.0):
        self.paint(self.mask(contours), colour, opacity)

    def fill_union(self, groups, colour, opacity=1.0):
        self.paint(self.mask(*groups), colour, opacity)

    def pixels(self):
        """Rows of (r, g, b, a) 0..255, straight (not premultiplied) colour."""
        f = self.fine
        n = float(f * f)
        out = []
        for y in range(self.height):
            row = []
            for x in range(self.width):
                sr = sg = sb = sa = 0.0
                for yy in range(y * f, y * f + f):
                    base = yy * self.W + x * f
                    for i in range(base, base + f):
                        sr += self.r[i]
                        sg += self.g[i]
                        sb += self.b[i]
                        sa += self.a[i]
                sa /= n
                if sa > 0:
                    sr, sg, sb = sr / n / sa, sg / n / sa, sb / n / sa
                row.append((_byte(sr * 255), _byte(sg * 255), _byte(sb * 255), _byte(sa * 255)))
            out.append(row)
        return out


def _byte(v):
    return max(0, min(255, int(round(v))))


# ---------------------------------------------------------------------------
# A pixel font: 5 columns, capitals 7 rows high, lower-case descenders two
# rows below the line.

FONT = {
    " ": ["     "] * 7,
    "-": ["     ", "     ", "     ", " ### ", "     ", "     ", "     "],
    ".": ["     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "],
    ",": ["     ", "     ", "     ", "     ", " ##  ", "  #  ", " #   "],
    "A": [" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "B": ["#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "],
    "C": [" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "],
    "D": ["#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "],
    "E": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"],
    "F": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "],
    "G": [" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"],
    "H": ["#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "I": [" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "J": ["  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "],
    "K": ["#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"],
    "L": ["#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"],
    "M": ["#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"],
    "N": ["#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"],
    "O": [" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "P": ["#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "],
    "Q": [" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"],
    "R": ["#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"],
    "S": [" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "],
    "T": ["#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "],
    "U": ["#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "V": ["#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "],
    "W": ["#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "],
    "X": ["#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"],
    "Y": ["#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "],
    "Z": ["#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"],
    "a": ["     ", "     ", " ### ", "    #", " ####", "#   #", " ####"],
    "b": ["#    ", "#    ", "# ## ", "##  #", "#   #", "#   #", "#### "],
    "c": ["     ", "     ", " ### ", "#    ", "#    ", "#   #", " ### "],
    "d": ["    #", "    #", " ## #", "#  ##", "#   #", "#   #", " ####"],
    "e": ["     ", "     ", " ### ", "#   #", "#####", "#    ", " ### "],
    "f": ["  ## ", " #  #", " #   ", "###  ", " #   ", " #   ", " #   "],
    "g": ["     ", "     ", " ####", "#   #", "#   #", "#   #", " ####", "    #", " ### "],
    "h": ["#    ", "#    ", "# ## ", "##  #", "#   #", "#   #", "#   #"],
    "i": ["  #  ", "     ", " ##  ", "  #  ", "  #  ", "  #  ", " ### "],
    "j": ["   # ", "     ", "  ## ", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "],
    "k": ["#    ", "#    ", "#  # ", "# #  ", "##   ", "# #  ", "#  # "],
    "l": [" ##  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "m": ["     ", "     ", "## # ", "# # #", "# # #", "# # #", "# # #"],
    "n": ["     ", "     ", "# ## ", "##  #", "#   #", "#   #", "#   #"],
    "o": ["     ", "     ", " ### ", "#   #", "#   #", "#   #", " ### "],
    "p": ["     ", "     ", "#### ", "#   #", "#   #", "#   #", "#### ", "#    ", "#    "],
    "q": ["     ", "     ", " ####", "#   #", "#   #", "#   #", " ####", "    #", "    #"],
    "r": ["     ", "     ", "# ## ", "##  #", "#    ", "#    ", "#    "],
    "s": ["     ", "     ", " ####", "#    ", " ### ", "    #", "#### "],
    "t": [" #   ", " #   ", "###  ", " #   ", " #   ", " #  #", "  ## "],
    "u": ["     ", "     ", "#   #", "#   #", "#   #", "#  ##", " ## #"],
    "v": ["     ", "     ", "#   #", "#   #", "#   #", " # # ", "  #  "],
    "w": ["     ", "     ", "#   #", "#   #", "# # #", "# # #", " # # "],
    "x": ["     ", "     ", "#   #", " # # ", "  #  ", " # # ", "#   #"],
    "y": ["     ", "     ", "#   #", "#   #", "#   #", "#   #", " ####", "    #", " ### "],
    "z": ["     ", "     ", "#####", "   # ", "  #  ", " #   ", "#####"],
    "0": [" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "],
    "1": ["  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "2": [" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"],
    "3": ["#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "],
    "4": ["   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "],
    "5": ["#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "],
    "6": ["  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "],
    "7": ["#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "],
    "8": [" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "],
    "9": [" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "],
}


def text_width(text, scale):
    return (len(text) * 6 - 1) * scale


def text_shape(text, x, y, scale):
    """The lit pixels of a text as contours; (x, y) is the top-left corner of
    the first capital."""
    contours = []
    for n, ch in enumerate(text):
        rows = FONT[ch]
        left = x + n * 6 * scale
        for r, line in enumerate(rows):
            c = 0
            while c < 5:
                if line[c] == "#":
                    start = c
                    while c < 5 and line[c] == "#":
                        c += 1
                    contours.append(rect(left + start * scale, y + r * scale, (c - start) * scale, scale))
                else:
                    c += 1
    return contours


def draw_text(canvas, text, x, y, scale, colour, shadow=None):
    if shadow is not None:
        canvas.fill_union([[c] for c in text_shape(text, x + scale / 2.0, y + scale / 2.0, scale)], shadow)
    canvas.fill_union([[c] for c in text_shape(text, x, y, scale)], colour)


# ---------------------------------------------------------------------------
# The two motifs, drawn in a 32 x 32 frame and placed anywhere with a Place.

OUTLINE = rgb("#2c3440")


def draw_pc(canvas, at):
    """A desktop PC: monitor on a stand, keyboard in front."""
    P = at.pts
    # Monitor: dark outline, light bezel, dark glass edge, blue screen.
    canvas.fill([P(rounded_rect(3, 2, 26, 19, 2.2))], OUTLINE)
    canvas.fill([P(rounded_rect(4, 3, 24, 17, 1.4))],
                at.colour(vertical_gradient(3, 20, [(0, rgb("#f4f6f9")), (1, rgb("#c9d0da"))])))
    canvas.fill([P(rect(5.5, 4.5, 21, 12))], rgb("#1f2a38"))
    canvas.fill([P(rect(6.5, 5.5, 19, 10))],
                at.colour(vertical_gradient(5.5, 15.5, [(0, rgb("#4d9be6")), (1, rgb("#1c4f9e"))])))
    # Sheen across the screen.
    canvas.fill([P([(6.5, 5.5), (15, 5.5), (9.5, 15.5), (6.5, 15.5)])], rgb("#ffffff", 0.22))
    # Power light on the bezel.
    canvas.fill([P(circle(25.2, 18.2, 0.8, 12))], rgb("#34c759"))
    # Stand.
    canvas.fill([P([(13.5, 21), (18.5, 21), (19.5, 24.2), (12.5, 24.2)])], rgb("#8e98a6"))
    canvas.fill([P(rounded_rect(9.5, 23.4, 13, 1.8, 0.8))], rgb("#5b6573"))
    # Keyboard: a flat trapezoid with two rows of keys and a space bar.
    canvas.fill([P([(4.5, 25.8), (27.5, 25.8), (30, 31), (2, 31)])], OUTLINE)
    canvas.fill([P([(5.2, 26.6), (26.8, 26.6), (28.8, 30.2), (3.2, 30.2)])], rgb("#e6eaf0"))
    keys = []
    for i in range(10):
        keys.append(P(rect(6.2 + i * 2.0, 27.2, 1.2, 0.9)))
    for i in range(10):
        keys.append(P(rect(5.7 + i * 2.1, 28.6, 1.3, 0.9)))
    canvas.fill_union([[k] for k in keys], rgb("#7d8797"))
    canvas.fill([P(rect(11, 29.7, 10, 0.45))], rgb("#7d8797"))


# The adapter's cable, from the body to the round connector.
CABLE = cubic((13.5, 18.5), (8.0, 18.5), (6.5, 20.0), (6.5, 23.2), 20)


def draw_adapter(canvas, at, frame=None):
    """A vehicle datalink adapter: an amber box with three lights, its cable
    and a round nine-pin diagnostic connector. frame (0..20) chooses which
    lights are lit and where the bright data spark runs along the cable;
    None draws it at rest (all lights steady)."""
    P = at.pts
    # Soft shadow beneath the body.
    canvas.fill([P(rounded_rect(14.2, 10.2, 17, 14.5, 2.6))], rgb("#000000", 0.16))
    # Cable (drawn first: it runs into the body and the connector).
    canvas.fill_union([[c] for c in stroke(P(CABLE), at.len(2.4))], rgb("#22262c"))
    canvas.fill_union([[c] for c in stroke(P(CABLE), at.len(0.8))], rgb("#5d6672"))
    # Strain relief where the cable leaves the body.
    canvas.fill([P(rounded_rect(11.3, 17.0, 3.0, 3.0, 0.8))], rgb("#22262c"))
    # Body.
    canvas.fill([P(rounded_rect(13, 9, 17, 14.5, 2.6))], rgb("#3a2f12"))
    canvas.fill([P(rounded_rect(14, 10, 15, 12.5, 1.8))],
                at.colour(vertical_gradient(10, 22.5, [(0, rgb("#ffd45a")), (0.55, rgb("#f5ae16")), (1, rgb("#d98a00"))])))
    # Highlight along the top edge.
    canvas.fill([P(rounded_rect(15, 10.6, 13, 1.3, 0.6))], rgb("#ffffff", 0.45))
    # Front panel with three lights: power, transmit, receive.
    canvas.fill([P(rounded_rect(16, 13, 11, 5, 1.0))], rgb("#263140"))
    lights = [(18.3, rgb("#3ddc5f")), (21.5, rgb("#3ddc5f")), (24.7, rgb("#ffb21e"))]
    if frame is None:
        lit = [True, True, True]
    else:
        lit = [True, frame % 2 == 1, frame % 4 in (0, 3)]
    for (x, colour), on in zip(lights, lit):
        if on:
            canvas.fill([P(circle(x, 15.5, 1.5, 16))], (colour[0], colour[1], colour[2], 0.35))
            canvas.fill([P(circle(x, 15.5, 1.0, 16))], colour)
            canvas.fill([P(circle(x - 0.3, 15.2, 0.35, 8))], rgb("#ffffff", 0.8))
        else:
            canvas.fill([P(circle(x, 15.5, 1.0, 16))], rgb("#4a5566"))
    # Grip ribs below the panel.
    canvas.fill_union([[P(rect(17.5 + i * 2.2, 19.5, 1.1, 1.6))] for i in range(4)], rgb("#b87400", 0.8))
    # Round connector: dark shell, metal ring, pins.
    canvas.fill([P(rounded_rect(4.3, 22.2, 4.4, 2.6, 0.6))], rgb("#22262c"))
    canvas.fill([P(circle(6.5, 27.0, 4.3))], rgb("#22262c"))
    canvas.fill([P(circle(6.5, 27.0, 3.5)), P(circle(6.5, 27.0, 2.6))], rgb("#a9b3bf"))
    canvas.fill([P(circle(6.5, 27.0, 2.6))], rgb("#39414c"))
    pins = [P(circle(6.5 + 1.5 * math.cos(a), 27.0 + 1.5 * math.sin(a), 0.45, 8))
            for a in (math.radians(d) for d in (-90, 30, 150))]
    pins.append(P(circle(6.5, 27.0, 0.45, 8)))
    canvas.fill_union([[p] for p in pins], rgb("#e8c66a"))
    # A spark of data running along the cable towards the body.
    if frame is not None:
        x, y = point_on(P(CABLE), 1.0 - (frame % 5) / 4.0)
        canvas.fill([circle(x, y, at.len(1.6), 16)], rgb("#7dff9a", 0.35))
        canvas.fill([circle(x, y, at.len(0.9), 16)], rgb("#eaffef"))


# ---------------------------------------------------------------------------
# File formats.

def write_ico(path, pixels):
    """One 32 x 32 image, 32 bits per pixel with alpha, and its AND mask
    (set where the pixel is less than half covered)."""
    size = len(pixels)
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(directory + entry + image)


def write_bmp(path, pixels):
    """24 bits per pixel, bottom-up rows padded to four bytes."""
    height, width = len(pixels), len(pixels[0])
    stride = (width * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for r, g, b, _ in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        data += line
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(head + info + bytes(data))


# ---------------------------------------------------------------------------
# The pictures.

def make_pc_icon():
    canvas = Canvas(32, 32, fine=4)
    draw_pc(canvas, Place())
    return canvas.pixels()


def make_adapter_icon(frame):
    """The moving icon of frame 1..20 (frame 20's icon also shows at frame 0).
    From frame 19 on it sits over the PC: it shrinks onto the PC's screen."""
    canvas = Canvas(32, 32, fine=4)
    if frame == 19:
        at = Place(0.75, 16.5 - 21.5 * 0.75, 11.5 - 16.25 * 0.75)
    elif frame == 20:
        at = Place(0.5, 16 - 21.5 * 0.5, 10.5 - 16.25 * 0.5)
    else:
        at = Place()
    draw_adapter(canvas, at, frame)
    return canvas.pixels()


NAVY = rgb("#0b2a5b")
BLUE = rgb("#2f74c0")
AMBER = rgb("#f5ae16")


def make_banner():
    w, h = 272, 61
    canvas = Canvas(w, h, fine=3)
    canvas.fill([rect(0, 0, w, h)], horizontal_gradient(0, w, [(0, NAVY), (0.55, rgb("#174a8f")), (1, BLUE)]))
    # A soft light band sweeping across.
    canvas.fill([[(120, 0), (200, 0), (150, h), (70, h)]], rgb("#ffffff", 0.05))
    canvas.fill([[(205, 0), (230, 0), (180, h), (155, h)]], rgb("#ffffff", 0.04))
    # Everything stays clear of the edges: the dialog may trim a few rows.
    draw_text(canvas, "Halvery Group", 12, 10, 2, rgb("#ffffff"), shadow=rgb("#000000", 0.35))
    canvas.fill([rect(12, 31, text_width("Halvery Group", 2), 2)],
                horizontal_gradient(12, 166, [(0, AMBER), (1, rgb("#ffd45a", 0.0))]))
    draw_text(canvas, "Vehicle Datalink Adapters", 12, 37, 1, rgb("#bcd6f5"))
    # Adapter, a dotted link, PC.
    draw_adapter(canvas, Place(1.05, 168, 11))
    dots = [[circle(206 + i * 4.0, 30.5, 1.0, 12)] for i in range(4)]
    canvas.fill_union(dots, rgb("#ffffff", 0.85))
    draw_pc(canvas, Place(1.3, 222, 8))
    return canvas.pixels()


def make_side():
    w, h = 165, 345
    horizon = 262
    canvas = Canvas(w, h, fine=3)
    canvas.fill([rect(0, 0, w, h)], vertical_gradient(0, horizon, [
        (0, NAVY), (0.55, rgb("#1d5aa8")), (0.85, rgb("#4f92d6")), (1, rgb("#a9d0f2"))]))
    # Light rays from behind the title.
    for i, (x0, x1) in enumerate([(-20, 25), (40, 70), (95, 125), (150, 200)]):
        canvas.fill([[(82, -30), (x0, horizon), (x1, horizon)]], rgb("#ffffff", 0.035))
    # The dialog may trim up to about 15 rows at the top and at the bottom:
    # the title and the road's far edge keep clear of them.
    draw_text(canvas, "Halvery Group", (w - text_width("Halvery Group", 2)) / 2.0, 28, 2,
              rgb("#ffffff"), shadow=rgb("#000000", 0.35))
    sub = "ZMX Series Drivers"
    draw_text(canvas, sub, (w - text_width(sub, 1)) / 2.0, 50, 1, rgb("#bcd6f5"))
    canvas.fill([rect((w - 60) / 2.0, 65, 60, 2)], AMBER)
    # The adapter, large, with a dotted data path down to the truck's cab.
    canvas.fill([ellipse(82, 156, 58, 50)], rgb("#ffffff", 0.06))
    draw_adapter(canvas, Place(3.0, 82 - 17.5 * 3.0, 86))
    path = cubic((104, 162), (132, 176), (140, 198), (132, 224), 40)
    canvas.fill_union([[circle(*point_on(path, i / 9.0), 1.5, 12)] for i in range(10)], rgb("#ffffff", 0.85))
    # Distant hills.
    hills = [(0, horizon)] + [(x, horizon - 14 - 9 * math.sin(x / 23.0) - 5 * math.sin(x / 9.0 + 1)) for x in range(0, w + 5, 5)] + [(w, horizon)]
    canvas.fill([hills], rgb("#1b4a86", 0.85))
    # Ground and road.
    canvas.fill([rect(0, horizon, w, h - horizon)], vertical_gradient(horizon, h, [(0, rgb("#3f5d4a")), (1, rgb("#2b3f33"))]))
    canvas.fill([rect(0, 288, w, 38)], rgb("#3b4049"))
    canvas.fill([rect(0, 288, w, 2)], rgb("#9aa3ad"))
    canvas.fill([rect(0, 324, w, 2)], rgb("#9aa3ad"))
    canvas.fill_union([[rect(-6 + i * 34, 306, 18, 2.2)] for i in range(6)], rgb("#f2f2f2"))
    # Shadow under the truck.
    canvas.fill([ellipse(82, 291, 90, 4)], rgb("#000000", 0.3))
    draw_truck(canvas)
    return canvas.pixels()


def draw_wheel(canvas, cx, cy):
    canvas.fill([circle(cx, cy, 10)], rgb("#15181d"))
    canvas.fill([circle(cx, cy, 5.2)], rgb("#c3cad3"))
    canvas.fill([circle(cx, cy, 3.6)], rgb("#8c96a3"))
    canvas.fill([circle(cx, cy, 1.4)], rgb("#2a2f37"))


def draw_truck(canvas):
    """A tractor and trailer, side on, facing right."""
    ink = rgb("#1a2433")
    # Trailer: white box with the company name and an amber stripe.
    canvas.fill([rect(-4, 212, 112, 61)], ink)
    canvas.fill([rect(-4, 213.5, 110.5, 58)], vertical_gradient(213, 272, [(0, rgb("#ffffff")), (1, rgb("#d8dee6"))]))
    canvas.fill([rect(-4, 261, 110.5, 4)], AMBER)
    draw_text(canvas, "HALVERY", 11, 228, 2, rgb("#123a73"))
    canvas.fill([rect(11, 248, text_width("HALVERY", 2), 1.5)], rgb("#123a73", 0.5))
    canvas.fill([rect(-4, 273, 96, 4)], ink)
    canvas.fill([rect(78, 277, 3, 10)], rgb("#59636f"))
    # Tractor: sleeper, cab, hood.
    cab = [(100, 279), (100, 222), (124, 222), (126, 225), (138, 225), (143, 246),
           (158, 249), (162, 253), (163, 279)]
    canvas.fill([rect(94, 272, 70, 7)], ink)
    canvas.fill([cab], ink)
    inner = [(101.5, 277.5), (101.5, 223.5), (123.3, 223.5), (125.3, 226.5), (136.8, 226.5),
             (141.8, 247.3), (157.4, 250.4), (161.5, 254), (161.5, 277.5)]
    canvas.fill([inner], vertical_gradient(222, 279, [(0, rgb("#ffcc4d")), (0.6, rgb("#f5ae16")), (1, rgb("#c98100"))]))
    # Window, door seam, grille, bumper, lamp.
    canvas.fill([[(127.5, 229), (135.8, 229), (139.6, 244), (127.5, 244)]], ink)
    canvas.fill([[(128.5, 230), (135.0, 230), (138.4, 243), (128.5, 243)]],
                vertical_gradient(230, 243, [(0, rgb("#cfe6fb")), (1, rgb("#6fa7dc"))]))
    canvas.fill([rect(125.5, 228, 1.2, 46)], rgb("#a36a00"))
    canvas.fill([rect(131, 250, 4, 1.2)], rgb("#a36a00"))
    canvas.fill([rect(160.5, 254, 2.5, 16)], rgb("#8c96a3"))
    canvas.fill([rect(146, 271, 19, 5)], rgb("#c3cad3"))
    canvas.fill([circle(160, 257, 1.6, 12)], rgb("#fff6c8"))
    # Exhaust stack and fuel tank.
    canvas.fill([rect(120.5, 200, 3, 24)], rgb("#aeb7c2"))
    canvas.fill([rect(120.5, 200, 1, 24)], rgb("#e9edf1"))
    canvas.fill([rounded_rect(127, 261, 16, 10, 3)], rgb("#c3cad3"))
    canvas.fill([rect(127, 263, 16, 1.2)], rgb("#ffffff", 0.6))
    # Wheels: trailer tandem, tractor drive axle and steer axle.
    for cx in (20, 43, 109, 151):
        draw_wheel(canvas, cx, 281)


def main():
    write_ico(os.path.join(HERE, "icon111.ico"), make_pc_icon())
    for frame in range(1, 21):
        write_ico(os.path.join(HERE, "icon%d.ico" % (111 + frame)), make_adapter_icon(frame))
    write_bmp(os.path.join(HERE, "banner139.bmp"), make_banner())
    write_bmp(os.path.join(HERE, "side143.bmp"), make_side())


if __name__ == "__main__":
    main()
