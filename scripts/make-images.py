#!/usr/bin/env python3
"""Draws the app's images into resources/images.

Every image is our own drawing, made here from simple shapes (rounded
rectangles, discs, rings, strokes) at scale 2 (two pixels per point), and
written as PNG with the standard library only. Run it again after changing a
drawing; the files are committed.
"""
import math
import os
import struct
import sys
import zlib

SCALE = 2
SAMPLES = 4  # per pixel and axis


class Canvas:
    def __init__(self, width_pt, height_pt):
        self.w = int(round(width_pt * SCALE))
        self.h = int(round(height_pt * SCALE))
        self.px = [[(0.0, 0.0, 0.0, 0.0) for _ in range(self.w)] for _ in range(self.h)]

    def paint(self, inside, color):
        """Blends `color` (r, g, b, a in 0..1) where inside(x, y) holds,
        x and y in points, with supersampled coverage."""
        r, g, b, a = color
        for j in range(self.h):
            for i in range(self.w):
                hits = 0
                for sj in range(SAMPLES):
                    for si in range(SAMPLES):
                        x = (i + (si + 0.5) / SAMPLES) / SCALE
                        y = (j + (sj + 0.5) / SAMPLES) / SCALE
                        if inside(x, y):
                            hits += 1
                if not hits:
                    continue
                k = a * hits / (SAMPLES * SAMPLES)
                pr, pg, pb, pa = self.px[j][i]
                na = k + pa * (1 - k)
                if na <= 0:
                    continue
                self.px[j][i] = ((r * k + pr * pa * (1 - k)) / na, (g * k + pg * pa * (1 - k)) / na,
                                 (b * k + pb * pa * (1 - k)) / na, na)

    def write(self, path):
        raw = bytearray()
        for row in self.px:
            raw.append(0)
            for r, g, b, a in row:
                raw += bytes(int(round(max(0.0, min(1.0, v)) * 255)) for v in (r, g, b, a))
        def chunk(tag, data):
            return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)
        png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0))
        png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
        with open(path, "wb") as out:
            out.write(png)


def hex_color(text, alpha=1.0):
    return (int(text[0:2], 16) / 255, int(text[2:4], 16) / 255, int(text[4:6], 16) / 255, alpha)


def rounded_rect(x0, y0, w, h, r):
    def inside(x, y):
        if not (x0 <= x <= x0 + w and y0 <= y <= y0 + h):
            return False
        cx = min(max(x, x0 + r), x0 + w - r)
        cy = min(max(y, y0 + r), y0 + h - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def stroke(points, width):
    def distance(px, py, ax, ay, bx, by):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
        return math.hypot(px - ax - t * dx, py - ay - t * dy)
    def inside(x, y):
        return any(distance(x, y, *points[k], *points[k + 1]) <= width / 2 for k in range(len(points) - 1))
    return inside


def progress_track(path, color):
    # 12 x 9.5 points: caps of 5.5 points on both sides, the point between
    # stretched.
    c = Canvas(12, 9.5)
    c.paint(rounded_rect(0, 0, 12, 9.5, 4.75), hex_color(color))
    c.write(path)


def download_success(path):
    c = Canvas(28, 28)
    c.paint(disc(14, 14, 14), hex_color("3cb371"))
    c.paint(stroke([(7.5, 14.5), (12, 19), (20.5, 9.5)], 2.6), hex_color("ffffff"))
    c.write(path)


def triangle(points):
    (ax, ay), (bx, by), (cx, cy) = points
    def side(px, py, x0, y0, x1, y1):
        return (x1 - x0) * (py - y0) - (y1 - y0) * (px - x0)
    def inside(x, y):
        d = (side(x, y, ax, ay, bx, by), side(x, y, bx, by, cx, cy), side(x, y, cx, cy, ax, ay))
        return all(v >= 0 for v in d) or all(v <= 0 for v in d)
    return inside


def warning_icon(path):
    c = Canvas(23, 23)
    c.paint(triangle([(11.5, 1.5), (22, 21), (1, 21)]), hex_color("e8532f"))
    c.paint(stroke([(11.5, 8), (11.5, 14.5)], 2.4), hex_color("ffffff"))
    c.paint(disc(11.5, 17.8, 1.3), hex_color("ffffff"))
    c.write(path)


def close_icon(path):
    c = Canvas(33, 33)
    c.paint(stroke([(11.5, 11.5), (21.5, 21.5)], 1.8), hex_color("333333"))
    c.paint(stroke([(21.5, 11.5), (11.5, 21.5)], 1.8), hex_color("333333"))
    c.write(path)


def sync_button(path, color, alpha=1.0):
    c = Canvas(165, 50)
    c.paint(rounded_rect(0, 0, 165, 50, 25), hex_color(color, alpha))
    c.write(path)


def logo(path, size):
    # A white cloud over two turning arrows' ring.
    c = Canvas(size, size)
    k = size / 120.0
    ring = lambda x, y: 46 * k <= math.hypot(x - 60 * k, y - 60 * k) <= 56 * k
    c.paint(ring, hex_color("ffffff", 0.35))
    for cx, cy, r in ((44, 66, 16), (62, 54, 22), (80, 66, 15)):
        c.paint(disc(cx * k, cy * k, r * k), hex_color("ffffff"))
    c.paint(rounded_rect(30 * k, 62 * k, 62 * k, 19 * k, 9.5 * k), hex_color("ffffff"))
    c.write(path)


def album_icon(path, width):
    # Two stacked white photo frames with a mountain and a sun.
    k = width / 120.0
    c = Canvas(width, 96 * k)
    c.paint(rounded_rect(18 * k, 0, 96 * k, 72 * k, 6 * k), hex_color("ffffff", 0.45))
    c.paint(rounded_rect(4 * k, 14 * k, 100 * k, 78 * k, 6 * k), hex_color("ffffff"))
    c.paint(triangle([(14 * k, 84 * k), (44 * k, 44 * k), (74 * k, 84 * k)]), hex_color("278ff0"))
    c.paint(triangle([(50 * k, 84 * k), (70 * k, 58 * k), (94 * k, 84 * k)]), hex_color("5aaaf4"))
    c.paint(disc(80 * k, 34 * k, 8 * k), hex_color("f5a623"))
    c.write(path)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "resources", "images")
    os.makedirs(out, exist_ok=True)
    progress_track(os.path.join(out, "云相册进度条灰色.png"), "d5d5d5")
    progress_track(os.path.join(out, "云相册进度条蓝色.png"), "1c8ce5")
    download_success(os.path.join(out, "云相册下载成功.png"))
    warning_icon(os.path.join(out, "警示icon.png"))
    close_icon(os.path.join(out, "关闭icon.png"))
    sync_button(os.path.join(out, "同步按钮.png"), "ffffff")
    sync_button(os.path.join(out, "同步按钮按下.png"), "d6e8fc")
    sync_button(os.path.join(out, "同步按钮无效.png"), "ffffff", 0.5)
    album_icon(os.path.join(out, "相册图标.png"), 120)
    album_icon(os.path.join(out, "相册图标6.png"), 140)
    album_icon(os.path.join(out, "相册图标6P.png"), 160)
    logo(os.path.join(out, "Lumora图标.png"), 120)
    logo(os.path.join(out, "Lumora图标6.png"), 140)
    logo(os.path.join(out, "Lumora图标6P.png"), 160)


if __name__ == "__main__":
    main()
