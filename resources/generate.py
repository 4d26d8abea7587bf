#!/usr/bin/python3
"""Draws the program's pictures and writes them beside this script.

    splash.bmp  start-up window background: 473 x 346, 16 colours, uncompressed, bottom-up
    quorna.ico  program icon: 16/32 px at 24 bits, 24/32/48 px at 32 bits with alpha
    reader.gif  main window's reader picture: GIF89a, 176 x 381, 256 colours, index 0 transparent

Standard library only. Every shape is a signed distance function in pixels (negative inside), so
the same drawing code gives hard-edged palette art for the bitmap and smooth edges for the icon
and the GIF. The output is deterministic: same bytes on every run.

Usage: python3 resources/generate.py [output-folder]
       python3 resources/generate.py --hicolor ICON-THEME-FOLDER NAME
           (the icon at the hicolor sizes: ICON-THEME-FOLDER/NxN/apps/NAME.png)
"""

import math
import os
import struct
import sys
import zlib


# ----------------------------------------------------------------------------------------------
# Shapes


class Shape:
    """A signed distance function with a bounding box (x0, y0, x1, y1) in pixels."""

    def __init__(self, sdf, bbox):
        self.sdf = sdf
        self.bbox = bbox

    def __or__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: min(a(x, y), b(x, y)), _bbox_union(self.bbox, other.bbox))

    def __sub__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: max(a(x, y), -b(x, y)), self.bbox)

    def __and__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: max(a(x, y), b(x, y)), _bbox_meet(self.bbox, other.bbox))

    def outline(self, width):
        """The band of the given width centred on this shape's edge."""
        f, h = self.sdf, width / 2.0
        x0, y0, x1, y1 = self.bbox
        return Shape(lambda x, y: abs(f(x, y)) - h, (x0 - h, y0 - h, x1 + h, y1 + h))

    def grow(self, d):
        f = self.sdf
        x0, y0, x1, y1 = self.bbox
        return Shape(lambda x, y: f(x, y) - d, (x0 - d, y0 - d, x1 + d, y1 + d))


def _bbox_union(a, b):
    return (min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3]))


def _bbox_meet(a, b):
    return (max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3]))


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r, (cx - r, cy - r, cx + r, cy + r))


def ellipse(cx, cy, a, b):
    def sdf(x, y):
        u, v = (x - cx) / a, (y - cy) / b
        k = math.hypot(u, v)
        g = math.hypot(u / a, v / b)
        if g < 1e-9:
            return -min(a, b)
        return (k - 1.0) * k / g

    return Shape(sdf, (cx - a, cy - b, cx + a, cy + b))


def rrect(x0, y0, x1, y1, r=0.0):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r

    return Shape(sdf, (x0, y0, x1, y1))


def polyline(points, width):
    """A stroke of the given width along the points, with round ends and joints."""
    h = width / 2.0
    segs = list(zip(points, points[1:]))

    def sdf(x, y):
        best = 1e9
        for (ax, ay), (bx, by) in segs:
            dx, dy = bx - ax, by - ay
            L = dx * dx + dy * dy
            t = 0.0 if L == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / L))
            d = math.hypot(x - ax - t * dx, y - ay - t * dy)
            if d < best:
                best = d
        return best - h

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return Shape(sdf, (min(xs) - h, min(ys) - h, max(xs) + h, max(ys) + h))


def polygon(points):
    """A closed convex or concave polygon (even-odd inside test, exact edge distance)."""
    edges = list(zip(points, points[1:] + points[:1]))

    def sdf(x, y):
        best, inside = 1e9, False
        for (ax, ay), (bx, by) in edges:
            dx, dy = bx - ax, by - ay
            L = dx * dx + dy * dy
            t = 0.0 if L == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / L))
            best = min(best, math.hypot(x - ax - t * dx, y - ay - t * dy))
            if (ay > y) != (by > y) and x < ax + (y - ay) * dx / dy:
                inside = not inside
        return -best if inside else best

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return Shape(sdf, (min(xs), min(ys), max(xs), max(ys)))


def bezier(p0, p1, p2, p3, steps=40):
    out = []
    for i in range(steps + 1):
        t = i / steps
        s = 1 - t
        out.append(
            (
                s**3 * p0[0] + 3 * s * s * t * p1[0] + 3 * s * t * t * p2[0] + t**3 * p3[0],
                s**3 * p0[1] + 3 * s * s * t * p1[1] + 3 * s * t * t * p2[1] + t**3 * p3[1],
            )
        )
    return out


# ----------------------------------------------------------------------------------------------
# Colours


def rgb(hexcode):
    return (int(hexcode[1:3], 16), int(hexcode[3:5], 16), int(hexcode[5:7], 16))


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def linear(c0, c1, x0, y0, x1, y1):
    """Colour function: c0 at (x0, y0) to c1 at (x1, y1)."""
    dx, dy = x1 - x0, y1 - y0
    L = dx * dx + dy * dy

    def f(x, y):
        return mix(c0, c1, ((x - x0) * dx + (y - y0) * dy) / L)

    return f


def solid(c):
    return lambda x, y: c


# ----------------------------------------------------------------------------------------------
# Canvases


class RGBACanvas:
    """Straight-alpha RGBA floats; shapes are painted 'over' with edge coverage from the SDF."""

    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(w * h)]

    def paint(self, shape, colour, opacity=1.0):
        colour_fn = colour if callable(colour) else solid(colour)
        x0, y0, x1, y1 = shape.bbox
        xa, ya = max(0, int(math.floor(x0)) - 1), max(0, int(math.floor(y0)) - 1)
        xb, yb = min(self.w, int(math.ceil(x1)) + 2), min(self.h, int(math.ceil(y1)) + 2)
        f = shape.sdf
        for y in range(ya, yb):
            row = y * self.w
            for x in range(xa, xb):
                cov = 0.5 - f(x + 0.5, y + 0.5)
                if cov <= 0.0:
                    continue
                a = min(cov, 1.0) * opacity
                c = colour_fn(x + 0.5, y + 0.5)
                p = self.px[row + x]
                out_a = a + p[3] * (1.0 - a)
                for i in range(3):
                    p[i] = (c[i] * a + p[i] * p[3] * (1.0 - a)) / out_a
                p[3] = out_a


class IndexCanvas:
    """Palette indices, hard edges: a pixel takes the colour when its centre lies inside."""

    def __init__(self, w, h, fill=0):
        self.w, self.h = w, h
        self.px = [fill] * (w * h)

    def paint(self, shape, index):
        index_fn = index if callable(index) else (lambda x, y: index)
        x0, y0, x1, y1 = shape.bbox
        xa, ya = max(0, int(math.floor(x0)) - 1), max(0, int(math.floor(y0)) - 1)
        xb, yb = min(self.w, int(math.ceil(x1)) + 2), min(self.h, int(math.ceil(y1)) + 2)
        f = shape.sdf
        for y in range(ya, yb):
            for x in range(xa, xb):
                if f(x + 0.5, y + 0.5) <= 0.0:
                    self.px[y * self.w + x] = index_fn(x, y)


# ----------------------------------------------------------------------------------------------
# Start-up window background: splash.bmp

SPLASH_W, SPLASH_H = 473, 346

# Entries 0-3 are the four golds that carry the picture; the rest are for details.
SPLASH_PALETTE = [
    rgb("#FFBF00"),  # 0 amber
    rgb("#FFD760"),  # 1 light gold (calm panels)
    rgb("#ECBB25"),  # 2 old gold
    rgb("#FDC315"),  # 3 warm gold
    rgb("#AAAAAA"),  # 4 steel grey
    rgb("#FFFFFF"),  # 5 white
    rgb("#0B0801"),  # 6 near-black
    rgb("#547AA0"),  # 7 blue
    rgb("#089F0F"),  # 8 green
    rgb("#D9A21B"),  # 9 dark gold
    rgb("#B8860B"),  # 10 deep gold
    rgb("#8B5E14"),  # 11 brown
    rgb("#5E3E0C"),  # 12 dark brown
    rgb("#C99532"),  # 13 bronze
    rgb("#E8C860"),  # 14 pale bronze
    rgb("#6E6A62"),  # 15 dark steel
]
AMBER, LIGHT, OLD, WARM, GREY, WHITE, BLACK, BLUE, GREEN = range(9)
DARKGOLD, DEEPGOLD, BROWN, DARKBROWN, BRONZE, PALEBRONZE, DARKSTEEL = range(9, 16)

# Areas the start-up window writes black text over; they stay flat and light.
STATUS_PANEL = (10, 26, 463, 140)
BOTTOM_STRIP_TOP = 268


def draw_splash():
    c = IndexCanvas(SPLASH_W, SPLASH_H)

    # Soft diagonal stripes: wide amber and warm-gold bands with thin old-gold seams.
    for y in range(SPLASH_H):
        for x in range(SPLASH_W):
            t = (x + y) % 56
            c.px[y * SPLASH_W + x] = AMBER if t < 26 else (OLD if t < 30 or t >= 52 else WARM)

    # Top edge: a darker gold rule, a light line under it.
    c.paint(rrect(0, 0, SPLASH_W, 3), DARKGOLD)
    c.paint(rrect(0, 3, SPLASH_W, 5), PALEBRONZE)

    # The status panel: light gold with a white inner rim and a thin bronze frame.
    x0, y0, x1, y1 = STATUS_PANEL
    panel = rrect(x0, y0, x1, y1, 12)
    c.paint(panel.grow(3), OLD)
    c.paint(panel.grow(1), BRONZE)
    c.paint(panel, WHITE)
    c.paint(rrect(x0 + 3, y0 + 3, x1 - 3, y1 - 3, 9), LIGHT)

    _draw_splash_fob(c)
    _draw_splash_reader(c)

    # Signal arcs between the token and the reader.
    for r in (14, 22, 30):
        arc = circle(236, 205, r).outline(2.2) & rrect(236, 150, 280, 260)
        c.paint(arc, WHITE)

    # The bottom strip: flat light gold under a white and bronze rule.
    c.paint(rrect(0, BOTTOM_STRIP_TOP - 4, SPLASH_W, BOTTOM_STRIP_TOP - 2), BRONZE)
    c.paint(rrect(0, BOTTOM_STRIP_TOP - 2, SPLASH_W, BOTTOM_STRIP_TOP), WHITE)
    c.paint(rrect(0, BOTTOM_STRIP_TOP, SPLASH_W, SPLASH_H), LIGHT)
    c.paint(rrect(0, SPLASH_H - 3, SPLASH_W, SPLASH_H), OLD)
    return c


def _draw_splash_fob(c):
    """A key fob on the left: a bronze teardrop tag with a key ring, holding a steel iButton."""
    cx, cy = 150, 205
    ring = circle(92, 176, 17).outline(4)
    c.paint(ring.grow(1), DARKBROWN)
    c.paint(ring, GREY)
    tag = circle(cx, cy, 46) | polygon([(cx - 36, cy - 30), (98, 170), (116, 158), (cx - 14, cy - 44)])
    c.paint(tag.grow(2), DARKBROWN)
    c.paint(tag, DARKGOLD)
    c.paint(circle(cx - 2, cy - 2, 43), OLD)
    c.paint(circle(108, 168, 6).grow(2), DARKBROWN)
    c.paint(circle(108, 168, 6), LIGHT)
    # The iButton can: rim, face, flange line and a highlight.
    c.paint(circle(cx, cy, 33), DARKSTEEL)
    c.paint(circle(cx, cy, 31), GREY)
    c.paint(circle(cx, cy, 24).outline(1.5), DARKSTEEL)
    c.paint(circle(cx - 9, cy - 10, 9) - circle(cx - 6, cy - 7, 9), WHITE)
    c.paint(circle(cx + 1, cy + 1, 3), DARKSTEEL)


def _draw_splash_reader(c):
    """The reader on the right: a round puck seen from above, its socket, LED and USB cable."""
    cx, cy = 336, 203
    # Cable leaving to the right, ending in a blue USB plug.
    cable = polyline(bezier((cx + 50, cy + 8), (cx + 90, cy + 10), (cx + 70, cy + 50), (430, 248)), 6)
    c.paint(cable.grow(1), BLACK)
    c.paint(cable, DARKSTEEL)
    plug = rrect(418, 236, 452, 256, 3)
    c.paint(plug.grow(1), BLACK)
    c.paint(plug, BLUE)
    c.paint(rrect(452, 240, 466, 252), GREY)
    c.paint(rrect(455, 243, 463, 246), DARKSTEEL)
    # The puck: dark shadow, grey body, white highlight arc, recessed socket.
    c.paint(circle(cx + 3, cy + 4, 58), DARKGOLD)
    c.paint(circle(cx, cy, 58), BLACK)
    c.paint(circle(cx, cy, 56), GREY)
    c.paint(circle(cx, cy, 50).outline(2) & rrect(cx - 60, cy - 60, cx + 10, cy + 10), WHITE)
    c.paint(circle(cx, cy, 29), DARKSTEEL)
    c.paint(circle(cx, cy, 26), BLACK)
    c.paint(circle(cx, cy, 23).outline(2), BLUE)
    c.paint(circle(cx, cy, 20), DARKSTEEL)
    c.paint(circle(cx - 3, cy - 3, 12), GREY)
    c.paint(circle(cx + 38, cy - 32, 4), BLACK)
    c.paint(circle(cx + 38, cy - 32, 3), GREEN)


def bmp_bytes(canvas, palette):
    w, h = canvas.w, canvas.h
    row_bytes = ((w * 4 + 31) // 32) * 4
    image = bytearray()
    for y in range(h - 1, -1, -1):  # bottom row first
        row = canvas.px[y * w : (y + 1) * w]
        packed = bytearray(row_bytes)
        for x, v in enumerate(row):
            packed[x // 2] |= v << 4 if x % 2 == 0 else v
        image += packed
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    offset = 14 + 40 + len(table)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 4, 0, len(image), 3780, 3780, 16, 0)
    header = struct.pack("<2sIHHI", b"BM", offset + len(image), 0, 0, offset)
    return header + info + table + bytes(image)


# ----------------------------------------------------------------------------------------------
# Program icon: quorna.ico

STEEL_LIGHT, STEEL_DARK = rgb("#EEF1F4"), rgb("#7C848C")
GOLD_LIGHT, GOLD_DARK = rgb("#FFD760"), rgb("#B8860B")


def draw_icon(size):
    """A round iButton token: a gold fob ring around a steel can with its flange."""
    c = RGBACanvas(size, size)
    s = size / 48.0
    m = size / 2.0
    edge = max(1.0, 1.5 * s)
    c.paint(circle(m, m, 23.2 * s), linear(GOLD_DARK, rgb("#8B5E14"), 0, 0, size, size))
    c.paint(circle(m, m, 23.2 * s - edge), linear(GOLD_LIGHT, rgb("#E0A800"), 0, 0, size, size))
    can = 15.5 * s
    c.paint(circle(m, m, can + edge * 0.8), rgb("#4E545A"))
    c.paint(circle(m, m, can), linear(STEEL_LIGHT, STEEL_DARK, m - can, m - can, m + can, m + can))
    if size >= 24:
        c.paint(circle(m, m, can * 0.72).outline(max(1.0, s)), rgb("#6A7178"), 0.8)
        c.paint(
            circle(m, m, can * 0.72 - s),
            linear(STEEL_DARK, STEEL_LIGHT, m - can, m - can, m + can, m + can),
            0.55,
        )
    hl = circle(m - 5 * s, m - 5 * s, 6 * s) - circle(m - 3 * s, m - 3 * s, 6.5 * s)
    c.paint(hl, rgb("#FFFFFF"), 0.9)
    return c


def ico_bytes(images):
    """images: list of (canvas, bits per pixel). BMP-style entries with doubled height + AND mask."""
    blobs = []
    for canvas, bpp in images:
        w = h = canvas.w
        xor = bytearray()
        mask = bytearray()
        mask_row = ((w + 31) // 32) * 4
        for y in range(h - 1, -1, -1):
            row = bytearray()
            mrow = bytearray(mask_row)
            for x in range(w):
                r, g, b, a = canvas.px[y * w + x]
                if bpp == 32:
                    row += bytes((round(b), round(g), round(r), round(a * 255)))
                    transparent = a <= 0.0
                else:
                    transparent = a < 0.5
                    row += b"\0\0\0" if transparent else bytes((round(b), round(g), round(r)))
                if transparent:
                    mrow[x // 8] |= 0x80 >> (x % 8)
            row += bytes((-len(row)) % 4)
            xor += row
            mask += mrow
        info = struct.pack(
            "<IiiHHIIiiII", 40, w, 2 * h, 1, bpp, 0, len(xor) + len(mask), 0, 0, 0, 0
        )
        blobs.append((w, bpp, info + bytes(xor) + bytes(mask)))
    out = bytearray(struct.pack("<HHH", 0, 1, len(blobs)))
    offset = 6 + 16 * len(blobs)
    for w, bpp, blob in blobs:
        out += struct.pack("<BBBBHHII", w % 256, w % 256, 0, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    for _, _, blob in blobs:
        out += blob
    return bytes(out)


# The desktop's theme icons: the same drawing at the freedesktop hicolor sizes, as PNG.
HICOLOR_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def png_bytes(canvas):
    """An 8-bit RGBA PNG, straight alpha, no filtering; zlib at a fixed level, so deterministic."""
    w, h = canvas.w, canvas.h
    raw = bytearray()
    for y in range(h):
        raw.append(0)  # filter type None
        for r, g, b, a in canvas.px[y * w:(y + 1) * w]:
            raw += bytes((round(r), round(g), round(b), round(a * 255)))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def write_hicolor(folder, name):
    """folder/NxN/apps/name.png for every hicolor size."""
    for size in HICOLOR_SIZES:
        apps = os.path.join(folder, "%dx%d" % (size, size), "apps")
        os.makedirs(apps, exist_ok=True)
        with open(os.path.join(apps, name + ".png"), "wb") as f:
            f.write(png_bytes(draw_icon(size)))


# ----------------------------------------------------------------------------------------------
# Main window's reader picture: reader.gif

GIF_W, GIF_H = 176, 381
# Edges are blended towards a light dialog grey, the colour the picture box usually shows through.
GIF_EDGE_BACKDROP = rgb("#F0F0F0")


def draw_reader():
    """A blue-grey USB 1-Wire reader puck seen from above at an angle, its cable and USB plug.

    The top band (the copyright label) and the bottom band (the version label) stay empty."""
    c = RGBACanvas(GIF_W, GIF_H)
    cx = 88
    body_top, body_h = 120, 34
    a, b = 70, 34

    # Cable from the back of the puck, looping down to a USB plug near the bottom.
    path = bezier((cx, body_top + body_h + 20), (cx + 10, 230), (150, 240), (140, 282))
    path += bezier((140, 282), (132, 318), (40, 290), (52, 318))[1:]
    cable = polyline(path, 9)
    c.paint(cable.grow(1.2), rgb("#2A2F36"))
    c.paint(cable, linear(rgb("#6C7682"), rgb("#3C4450"), 0, 200, 0, 330))
    c.paint(polyline(path, 2.5), rgb("#8E99A6"), 0.6)
    # Strain relief and the plug.
    c.paint(rrect(40, 314, 64, 328, 4), rgb("#39414B"))
    plug = rrect(34, 326, 70, 350, 3)
    c.paint(plug.grow(1), rgb("#23303F"))
    c.paint(plug, linear(rgb("#6A93C0"), rgb("#365C86"), 34, 0, 70, 0))
    c.paint(rrect(38, 330, 66, 334, 2), rgb("#9FC0E0"), 0.7)
    c.paint(rrect(38, 349, 66, 356), linear(rgb("#D8DCE0"), rgb("#8C949C"), 38, 0, 66, 0))
    c.paint(rrect(42, 351, 48, 354), rgb("#4A4F55"))
    c.paint(rrect(56, 351, 62, 354), rgb("#4A4F55"))

    # Puck: shadow, side wall, top face.
    c.paint(ellipse(cx + 4, body_top + body_h + 8, a + 2, b), rgb("#9AA0A6"), 0.35)
    side = ellipse(cx, body_top + body_h, a, b) | rrect(cx - a, body_top, cx + a, body_top + body_h)
    c.paint(side.grow(1.2), rgb("#1E2A38"))
    c.paint(side, linear(rgb("#2F4F73"), rgb("#5B7FA8"), cx - a, 0, cx + a, 0))
    c.paint(
        ellipse(cx, body_top + body_h, a, b) - ellipse(cx, body_top + body_h - 3, a, b),
        rgb("#1F3752"),
        0.7,
    )
    top = ellipse(cx, body_top, a, b)
    c.paint(top, linear(rgb("#9CB8D6"), rgb("#4F739C"), cx - a, body_top - b, cx + a, body_top + b))
    c.paint(top.outline(1.2), rgb("#C9DBEE"), 0.8)
    # Steel bezel and the socket the iButton sits in.
    bezel = ellipse(cx, body_top + 2, 34, 16)
    c.paint(bezel.grow(2), rgb("#2A3442"))
    c.paint(bezel, linear(rgb("#E4E8EC"), rgb("#80888F"), cx - 34, 0, cx + 34, 0))
    c.paint(ellipse(cx, body_top + 4, 27, 12), rgb("#3A4148"))
    c.paint(ellipse(cx, body_top + 5, 24, 10), linear(rgb("#5C646C"), rgb("#2A3036"), 0, 110, 0, 130))
    c.paint(ellipse(cx - 8, body_top - 5, 10, 3), rgb("#FFFFFF"), 0.7)
    # Status LED and a light glint on the top face.
    c.paint(ellipse(cx + 48, body_top + 12, 5, 3).grow(1), rgb("#1E2A38"))
    c.paint(ellipse(cx + 48, body_top + 12, 5, 3), rgb("#2EDB3C"))
    c.paint(
        ellipse(cx - 30, body_top - 12, 22, 7) - ellipse(cx - 24, body_top - 6, 24, 8),
        rgb("#FFFFFF"),
        0.55,
    )
    # An iButton token resting beside the reader, with its key ring.
    tx, ty = 42, 236
    c.paint(circle(tx - 16, ty - 16, 8).outline(2.5), rgb("#8C949C"))
    c.paint(circle(tx, ty, 15).grow(1), rgb("#5E3E0C"))
    c.paint(circle(tx, ty, 15), linear(rgb("#FFD760"), rgb("#B8860B"), tx - 15, ty - 15, tx + 15, ty + 15))
    c.paint(circle(tx, ty, 10).grow(0.8), rgb("#4E545A"))
    c.paint(circle(tx, ty, 10), linear(STEEL_LIGHT, STEEL_DARK, tx - 10, ty - 10, tx + 10, ty + 10))
    c.paint(circle(tx - 3, ty - 3, 3), rgb("#FFFFFF"), 0.8)
    return c


def quantise(canvas):
    """Palette of 256: index 0 the transparent white background, 1..255 from a median cut."""
    hist = {}
    keys = []
    for r, g, b, a in canvas.px:
        if a < 0.2:
            keys.append(None)
            continue
        col = mix(GIF_EDGE_BACKDROP, (r, g, b), a)
        key = (round(col[0]), round(col[1]), round(col[2]))
        keys.append(key)
        hist[key] = hist.get(key, 0) + 1

    boxes = [sorted(hist)]
    while len(boxes) < 255:
        # Split the box with the widest channel range (weighted by pixel count), at its median.
        best, best_score, best_ch = None, 0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                lo = min(k[ch] for k in box)
                hi = max(k[ch] for k in box)
                score = (hi - lo) * math.sqrt(sum(hist[k] for k in box))
                if score > best_score:
                    best, best_score, best_ch = i, score, ch
        if best is None:
            break
        box = sorted(boxes[best], key=lambda k: (k[best_ch], k))
        total = sum(hist[k] for k in box)
        run, cut = 0, 1
        for j, k in enumerate(box[:-1]):
            run += hist[k]
            if run * 2 >= total:
                cut = j + 1
                break
        boxes[best : best + 1] = [box[:cut], box[cut:]]

    palette = [(255, 255, 255)]
    lookup = {}
    for box in boxes:
        n = sum(hist[k] for k in box)
        avg = tuple(round(sum(k[ch] * hist[k] for k in box) / n) for ch in range(3))
        for k in box:
            lookup[k] = len(palette)
        palette.append(avg)
    while len(palette) < 256:
        palette.append((0, 0, 0))
    indices = bytes(0 if k is None else lookup[k] for k in keys)
    return palette, indices


def lzw_encode(indices, min_code_size=8):
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    out = bytearray()
    acc, nbits = 0, 0
    code_size = min_code_size + 1

    def emit(code):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += code_size
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    table = {}
    next_code = end + 1
    emit(clear)
    prefix = indices[0]
    for k in indices[1:]:
        key = (prefix << 8) | k
        code = table.get(key)
        if code is not None:
            prefix = code
            continue
        emit(prefix)
        if next_code < 4096:
            table[key] = next_code
            next_code += 1
            if next_code > (1 << code_size) and code_size < 12:
                code_size += 1
        else:
            emit(clear)
            table = {}
            next_code = end + 1
            code_size = min_code_size + 1
        prefix = k
    emit(prefix)
    emit(end)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def gif_bytes(w, h, palette, indices):
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", w, h, 0xF7, 0, 0)  # global table of 256, background index 0
    for r, g, b in palette:
        out += bytes((r, g, b))
    out += bytes((0x21, 0xF9, 4, 0x01, 0, 0, 0, 0))  # transparent index 0, no delay
    out += b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0)
    out.append(8)
    data = lzw_encode(indices)
    for i in range(0, len(data), 255):
        chunk = data[i : i + 255]
        out.append(len(chunk))
        out += chunk
    out += b"\x00\x3b"
    return bytes(out)


# ----------------------------------------------------------------------------------------------


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--hicolor":
        write_hicolor(sys.argv[2], sys.argv[3])
        return
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    splash = draw_splash()
    with open(os.path.join(folder, "splash.bmp"), "wb") as f:
        f.write(bmp_bytes(splash, SPLASH_PALETTE))

    icon = [(draw_icon(16), 24), (draw_icon(32), 24), (draw_icon(24), 32), (draw_icon(32), 32),
            (draw_icon(48), 32)]
    with open(os.path.join(folder, "quorna.ico"), "wb") as f:
        f.write(ico_bytes(icon))

    palette, indices = quantise(draw_reader())
    with open(os.path.join(folder, "reader.gif"), "wb") as f:
        f.write(gif_bytes(GIF_W, GIF_H, palette, indices))

    counts = [0] * 16
    for v in splash.px:
        counts[v] += 1
    total = float(len(splash.px))
    shares = ", ".join(
        "#%02X%02X%02X %.1f%%" % (SPLASH_PALETTE[i] + (100 * counts[i] / total,))
        for i in sorted(range(16), key=lambda i: -counts[i])
        if counts[i]
    )
    print("splash.bmp colour shares:", shares)


if __name__ == "__main__":
    main()
