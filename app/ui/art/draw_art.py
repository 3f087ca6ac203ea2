#!/usr/bin/env python3
"""Draws the window's pictures and writes them as PNG files next to this script.

    python3 app/ui/art/draw_art.py

Only the standard library is used: shapes are signed-distance functions sampled 4 x 4
times per pixel, composited front to back over a transparent background, and the PNG
bytes are written with zlib. The state icons keep a dark outline around light fills so
they read on light and on dark tree backgrounds alike.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = 4


# --- shapes: each returns a signed distance (negative inside) ----------------------

def rect(x0, y0, x1, y1, radius=0.0):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def d(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0), max(qy, 0))
        return outside + min(max(qx, qy), 0) - radius
    return d


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def segment(ax, ay, bx, by, width):
    def d(x, y):
        px, py, vx, vy = x - ax, y - ay, bx - ax, by - ay
        t = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
        return math.hypot(px - vx * t, py - vy * t) - width / 2
    return d


def polyline(points, width):
    parts = [segment(*points[i], *points[i + 1], width) for i in range(len(points) - 1)]
    return lambda x, y: min(p(x, y) for p in parts)


def polygon(points):
    def d(x, y):
        inside = False
        best = float("inf")
        n = len(points)
        for i in range(n):
            ax, ay = points[i]
            bx, by = points[(i + 1) % n]
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                inside = not inside
            best = min(best, segment(ax, ay, bx, by, 0)(x, y))
        return -best if inside else best
    return d


def ring(cx, cy, r, width, start, end):
    """An arc of a circle, angles in degrees, clockwise from 3 o'clock (y down)."""
    def d(x, y):
        a = math.degrees(math.atan2(y - cy, x - cx)) % 360
        lo, hi = start % 360, end % 360
        within = lo <= a <= hi if lo <= hi else (a >= lo or a <= hi)
        if within:
            return abs(math.hypot(x - cx, y - cy) - r) - width / 2
        ends = [(cx + r * math.cos(math.radians(t)), cy + r * math.sin(math.radians(t)))
                for t in (start, end)]
        return min(math.hypot(x - ex, y - ey) for ex, ey in ends) - width / 2
    return d


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def minus(shape, hole):
    return lambda x, y: max(shape(x, y), -hole(x, y))


def outline(shape, width):
    return lambda x, y: abs(shape(x, y)) - width / 2


# --- painting --------------------------------------------------------------------

class Canvas:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.layers = []

    def fill(self, shape, colour, gradient=None):
        """colour is (r, g, b, a); gradient, if given, maps (x, y) to a colour."""
        self.layers.append((shape, colour, gradient))

    def stroke(self, shape, colour, width=1.0):
        self.layers.append((outline(shape, width), colour, None))

    def render(self):
        rows = []
        step = 1.0 / SAMPLES
        for py in range(self.height):
            row = bytearray()
            for px in range(self.width):
                acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
                for sy in range(SAMPLES):
                    for sx in range(SAMPLES):
                        x = px + (sx + 0.5) * step
                        y = py + (sy + 0.5) * step
                        r = g = b = a = 0.0
                        for shape, colour, gradient in self.layers:
                            if shape(x, y) > 0:
                                continue
                            c = gradient(x, y) if gradient else colour
                            ca = c[3] / 255
                            r = c[0] / 255 * ca + r * (1 - ca)
                            g = c[1] / 255 * ca + g * (1 - ca)
                            b = c[2] / 255 * ca + b * (1 - ca)
                            a = ca + a * (1 - ca)
                        acc[0] += r
                        acc[1] += g
                        acc[2] += b
                        acc[3] += a
                n = SAMPLES * SAMPLES
                alpha = acc[3] / n
                if alpha <= 0:
                    row += bytes(4)
                    continue
                row += bytes([round(min(1, acc[0] / n / alpha) * 255),
                              round(min(1, acc[1] / n / alpha) * 255),
                              round(min(1, acc[2] / n / alpha) * 255),
                              round(alpha * 255)])
            rows.append(bytes(row))
        return rows


def write_png(path, width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\x00" + r for r in rows)
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(raw, 9))
           + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def save(name, canvas):
    write_png(os.path.join(HERE, name), canvas.width, canvas.height, canvas.render())


def lerp(c0, c1, t):
    t = max(0.0, min(1.0, t))
    return tuple(round(a + (b - a) * t) for a, b in zip(c0, c1))


INK = (38, 38, 46, 255)        # the outline every icon shares
FOLDER = (240, 190, 70, 255)
FOLDER_TAB = (214, 158, 44, 255)
PAPER = (250, 250, 246, 255)
GREEN = (46, 160, 67, 255)
BLUE = (40, 110, 220, 255)
ORANGE = (232, 128, 28, 255)
RED = (214, 48, 48, 255)


# --- the 16 x 16 state icons ------------------------------------------------------

def folder(c):
    tab = rect(1.5, 2.5, 7.5, 6.0, 1.0)
    body = rect(1.5, 4.5, 14.5, 13.5, 1.0)
    c.fill(tab, FOLDER_TAB)
    c.stroke(tab, INK)
    c.fill(body, FOLDER, lambda x, y: lerp((250, 208, 96, 255), FOLDER_TAB, (y - 4) / 10))
    c.stroke(body, INK)


def page(c, x1=12.5):
    sheet = polygon([(3.0, 1.5), (x1 - 3.5, 1.5), (x1, 5.0), (x1, 14.5), (3.0, 14.5)])
    c.fill(sheet, PAPER)
    c.stroke(sheet, INK)
    fold = polygon([(x1 - 3.5, 1.5), (x1 - 3.5, 5.0), (x1, 5.0)])
    c.fill(fold, (205, 205, 200, 255))
    c.stroke(fold, INK, 0.8)


def badge(c, colour, mark):
    """A coloured disc at the lower right with a white mark: the verdict."""
    disc = circle(11.0, 11.0, 4.5)
    c.fill(disc, colour)
    c.stroke(disc, INK)
    c.fill(mark, (255, 255, 255, 255))


def icon_directory():
    c = Canvas(16, 16)
    folder(c)
    return c


def icon_file():
    c = Canvas(16, 16)
    page(c)
    for y in (7.5, 9.5, 11.5):
        c.fill(segment(5.0, y, 10.5, y, 1.0), (150, 150, 160, 255))
    return c


def icon_create_directory():
    c = Canvas(16, 16)
    folder(c)
    badge(c, GREEN, union(segment(11, 8.3, 11, 13.7, 1.8), segment(8.3, 11, 13.7, 11, 1.8)))
    return c


def icon_upload():
    c = Canvas(16, 16)
    page(c, 11.5)
    arrow = union(polygon([(11, 7.4), (14.0, 10.8), (8.0, 10.8)]),
                  segment(11, 10.0, 11, 14.0, 2.0))
    badge(c, BLUE, arrow)
    return c


def icon_refresh():
    c = Canvas(16, 16)
    page(c, 11.5)
    # Most of a turn, open at the top, with the head where the turn ends.
    turn = union(ring(11, 11.4, 2.3, 1.3, 330, 230),
                 polygon([(8.2, 7.6), (11.4, 8.9), (8.4, 11.0)]))
    badge(c, ORANGE, turn)
    return c


def icon_delete():
    c = Canvas(16, 16)
    page(c, 11.5)
    cross = union(segment(9.0, 9.0, 13.0, 13.0, 1.8), segment(13.0, 9.0, 9.0, 13.0, 1.8))
    badge(c, RED, cross)
    return c


def icon_remote_newer():
    c = Canvas(16, 16)
    page(c, 11.5)
    tick = polyline([(8.7, 11.2), (10.4, 12.9), (13.4, 9.2)], 1.7)
    badge(c, GREEN, tick)
    return c


# --- the version strip and the two pictures of the Info page ----------------------

def version_strip():
    w, h = 40, 400
    c = Canvas(w, h)
    top, bottom = (28, 64, 120, 255), (12, 30, 60, 255)
    c.fill(rect(0, 0, w, h), None, lambda x, y: lerp(top, bottom, y / h))
    # Two threads that cross and part again all the way down: two copies kept in step.
    for phase, colour in ((0.0, (120, 190, 255, 150)), (math.pi, (255, 200, 90, 150))):
        points = [(w / 2 + 11 * math.sin(y / 38 + phase), y) for y in range(90, h + 6, 6)]
        c.fill(polyline(points, 2.2), colour)
    for y in range(110, h, 76):
        c.fill(circle(w / 2, y, 2.6), (255, 255, 255, 200))
    return c


def info_sync():
    """A folder on the left, a server on the right, and the arrow between them."""
    w, h = 160, 96
    c = Canvas(w, h)
    c.fill(rect(0.5, 0.5, w - 0.5, h - 0.5, 10), None,
           lambda x, y: lerp((232, 242, 255, 255), (196, 216, 244, 255), y / h))
    c.stroke(rect(0.5, 0.5, w - 0.5, h - 0.5, 10), (90, 120, 170, 255), 1.0)
    tab = rect(14, 28, 38, 38, 3)
    body = rect(14, 34, 62, 72, 4)
    c.fill(tab, FOLDER_TAB)
    c.stroke(tab, INK, 1.4)
    c.fill(body, None, lambda x, y: lerp((252, 214, 110, 255), FOLDER_TAB, (y - 34) / 40))
    c.stroke(body, INK, 1.4)
    for i in range(3):
        unit = rect(104, 22 + i * 18, 146, 37 + i * 18, 3)
        c.fill(unit, None, lambda x, y: lerp((120, 130, 150, 255), (70, 78, 96, 255),
                                             (y - 22) / 54))
        c.stroke(unit, INK, 1.4)
        c.fill(circle(138, 29.5 + i * 18, 2.2), (120, 230, 120, 255))
        c.fill(segment(110, 29.5 + i * 18, 126, 29.5 + i * 18, 1.6), (200, 206, 220, 255))
    shaft = segment(68, 50, 90, 50, 5)
    head = polygon([(88, 40), (100, 50), (88, 60)])
    c.fill(union(shaft, head), GREEN)
    c.stroke(union(shaft, head), INK, 1.2)
    return c


def ellipse(cx, cy, ax, ay):
    # Close enough to a distance near the curve, which is all an outline needs.
    return lambda x, y: (math.hypot((x - cx) / ax, (y - cy) / ay) - 1) * min(ax, ay)


def info_globe():
    w, h = 96, 96
    c = Canvas(w, h)
    ball = circle(48, 48, 40)
    c.fill(ball, None, lambda x, y: lerp((90, 170, 240, 255), (20, 70, 150, 255),
                                         math.hypot(x - 36, y - 34) / 70))
    grid = (220, 236, 255, 170)
    for ax in (14, 28):
        c.fill(lambda x, y, ax=ax: max(abs(ellipse(48, 48, ax, 40)(x, y)) - 0.6, ball(x, y)),
               grid)
    c.fill(lambda x, y: max(abs(x - 48) - 0.6, ball(x, y)), grid)
    for yy in (28, 48, 68):
        c.fill(lambda x, y, yy=yy: max(abs(y - yy) - 0.6, ball(x, y)), grid)
    c.fill(outline(ball, 2.0), INK)
    c.fill(ring(48, 48, 44, 2.4, 200, 330), ORANGE)
    a = math.radians(330)
    c.fill(circle(48 + 44 * math.cos(a), 48 + 44 * math.sin(a), 4), ORANGE)
    return c


def main():
    # The state icons are SVG files of their own (icons/), drawn by hand.
    save("version_strip.png", version_strip())
    save("info_sync.png", info_sync())
    save("info_globe.png", info_globe())


if __name__ == "__main__":
    main()
