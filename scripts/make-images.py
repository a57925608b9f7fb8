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


def select_mark(path):
    # The album grid's selection mark: a blue disc with a white tick.
    c = Canvas(24, 24)
    c.paint(disc(12, 12, 12), hex_color("ffffff"))
    c.paint(disc(12, 12, 10.5), hex_color("1c8ce5"))
    c.paint(stroke([(6.5, 12.5), (10.5, 16.5), (17.5, 8.5)], 2.4), hex_color("ffffff"))
    c.write(path)


def video_badge(path):
    # A play mark on a dark disc, drawn at 40 points (shown at 20 and 40).
    c = Canvas(40, 40)
    c.paint(disc(20, 20, 19), hex_color("000000", 0.45))
    c.paint(lambda x, y: disc(20, 20, 19)(x, y) and not disc(20, 20, 17)(x, y), hex_color("ffffff"))
    c.paint(triangle([(15, 12), (29, 20), (15, 28)]), hex_color("ffffff"))
    c.write(path)


def toolbar_half(path, width, height, left, state):
    # One half of the gallery toolbar: a white bar rounded on its outer side
    # with a hairline border, the icon before the title (a bin on the left
    # half, an arrow into a tray on the right one). Pressed halves are grey,
    # disabled ones pale.
    fill = {"": "ffffff", "按下": "e3e6ea", "Disable": "f4f5f6"}[state]
    ink = {"": "1c65c5", "按下": "0f4a99", "Disable": "b8c2cc"}[state]
    r = height / 2
    c = Canvas(width, height)
    x0 = 0 if left else -r
    outer = rounded_rect(x0, 0, width + r, height, r)
    inner = rounded_rect(x0 + 1, 1, width + r - 2, height - 2, r - 1)
    c.paint(outer, hex_color("c9d0d8"))
    c.paint(inner, hex_color(fill))
    # The right half's title is centred 5 points left of the middle and is the
    # longer one in English ("Download"): its arrow keeps clear of it.
    cx = width / 2 - 30 if left else width / 2 - 50
    cy = height / 2
    if left:
        c.paint(stroke([(cx - 6, cy - 5), (cx + 6, cy - 5)], 1.6), hex_color(ink))
        c.paint(stroke([(cx - 4.5, cy - 5), (cx - 3.5, cy + 7), (cx + 3.5, cy + 7), (cx + 4.5, cy - 5)], 1.6),
                hex_color(ink))
        c.paint(stroke([(cx - 2, cy - 7), (cx + 2, cy - 7)], 1.6), hex_color(ink))
    else:
        c.paint(stroke([(cx, cy - 8), (cx, cy + 3)], 1.6), hex_color(ink))
        c.paint(stroke([(cx - 4, cy - 1), (cx, cy + 3), (cx + 4, cy - 1)], 1.6), hex_color(ink))
        c.paint(stroke([(cx - 7, cy + 2), (cx - 7, cy + 7), (cx + 7, cy + 7), (cx + 7, cy + 2)], 1.6), hex_color(ink))
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


def finish_mark(path):
    c = Canvas(60, 60)
    c.paint(stroke([(15, 31), (26, 42), (46, 19)], 5), hex_color("ffffff"))
    c.write(path)


def nav_background(path):
    # A swatch of the bar's blue, stretched over the navigation bar (and
    # drawn once more along its edge in place of the hairline).
    c = Canvas(2, 2)
    c.paint(lambda x, y: True, hex_color("2384e6"))
    c.write(path)


def nav_menu_button(path):
    # Three white bars.
    c = Canvas(22, 22)
    for y in (5.5, 11, 16.5):
        c.paint(stroke([(3.5, y), (18.5, y)], 2.2), hex_color("ffffff"))
    c.write(path)


def settings_icon(path):
    # A white gear with eight teeth around a hole.
    c = Canvas(22, 22)
    cx = cy = 11
    def gear(x, y):
        r = math.hypot(x - cx, y - cy)
        if r < 3.2 or r > 9.5:
            return False
        if r <= 7:
            return True
        angle = (math.degrees(math.atan2(y - cy, x - cx)) + 360) % 45
        return 12 <= angle <= 33
    c.paint(gear, hex_color("ffffff"))
    c.write(path)


def nav_tab(path, width, height, left):
    # The two-tab switch with one half selected: a white outline, the
    # selected half washed in white (the titles are drawn over it in white).
    r = height / 2
    c = Canvas(width, height)
    outer = rounded_rect(0, 0, width, height, r)
    inner = rounded_rect(1, 1, width - 2, height - 2, r - 1)
    c.paint(lambda x, y: outer(x, y) and not inner(x, y), hex_color("ffffff"))
    half = (lambda x, y: x < width / 2) if left else (lambda x, y: x >= width / 2)
    c.paint(lambda x, y: inner(x, y) and half(x, y), hex_color("ffffff", 0.32))
    c.paint(stroke([(width / 2, 1), (width / 2, height - 1)], 1), hex_color("ffffff"))
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
    finish_mark(os.path.join(out, "同步完成.png"))
    album_icon(os.path.join(out, "相册图标.png"), 120)
    album_icon(os.path.join(out, "相册图标6.png"), 140)
    album_icon(os.path.join(out, "相册图标6P.png"), 160)
    logo(os.path.join(out, "Lumora图标.png"), 120)
    logo(os.path.join(out, "Lumora图标6.png"), 140)
    logo(os.path.join(out, "Lumora图标6P.png"), 160)
    select_mark(os.path.join(out, "相册选择多选.png"))
    video_badge(os.path.join(out, "云相册视频.png"))
    # Toolbar halves for the 320, 375 and 414 point screens.
    for suffix, (width, height) in (("", (145, 48)), ("6", (172.5, 55)), ("6p", (190, 60))):
        for state in ("", "按下", "Disable"):
            toolbar_half(os.path.join(out, "云相册删除按钮" + state + suffix + ".png"), width, height, True, state)
            toolbar_half(os.path.join(out, "云相册下载按钮" + state + suffix + ".png"), width, height, False, state)

    nav_background(os.path.join(out, "导航栏背景.png"))
    nav_menu_button(os.path.join(out, "导航栏菜单按钮.png"))
    settings_icon(os.path.join(out, "设置icon.png"))
    # The tab switch for the 320, 375 and 414 point screens.
    for suffix, (width, height) in (("", (172, 29)), ("6", (190, 31)), ("6p", (204, 33))):
        nav_tab(os.path.join(out, "导航Tab左" + suffix + ".png"), width, height, True)
        nav_tab(os.path.join(out, "导航Tab右" + suffix + ".png"), width, height, False)


if __name__ == "__main__":
    main()
