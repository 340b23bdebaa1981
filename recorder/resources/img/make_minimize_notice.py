#!/usr/bin/env python3
"""Draws the minimise notice's picture: a desktop panel whose tray holds the
recorder's icon, an arrow pointing at it and the icon's tip.

    python3 make_minimize_notice.py [output.gif]

Needs ImageMagick's convert. The picture is committed, so the build never
runs this; run it again after changing the drawing."""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ICON = os.path.join(HERE, "..", "icons", "orvweb-recorder-48.png")
OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "minimize_notice.gif")

W, H = 390, 120
PANEL_TOP = 88
ICON_SIZE = 22
ICON_X, ICON_Y = 262, PANEL_TOP + (H - PANEL_TOP - ICON_SIZE) // 2
FONT = "DejaVu-Sans"
FONT_BOLD = "DejaVu-Sans-Bold"


def draw(*primitives):
    return ["-draw", " ".join(primitives)]


def scene():
    args = ["-size", f"{W}x{H}", "gradient:#dfe7f1-#b9c8db"]
    # A few soft shapes so the desktop reads as a wallpaper, not a blank box.
    args += ["-fill", "#ffffff26", "-stroke", "none"]
    args += draw("circle 40,10 40,90", "circle 350,-20 350,70")
    # The panel.
    args += ["-fill", "#23262e"] + draw(f"rectangle 0,{PANEL_TOP} {W},{H}")
    args += ["-fill", "#3a3f4b"] + draw(f"line 0,{PANEL_TOP} {W},{PANEL_TOP}")
    # Application buttons on the left: grey pills with a coloured dot.
    for i, colour in enumerate(["#e5a50a", "#2ec27e", "#9141ac"]):
        x = 10 + i * 34
        y = PANEL_TOP + 6
        args += ["-fill", "#343844"] + draw(f"roundrectangle {x},{y} {x + 28},{y + 20} 5,5")
        args += ["-fill", colour] + draw(f"circle {x + 14},{y + 10} {x + 14},{y + 4}")
    # Tray: the recorder's icon on a lit square, then network, volume,
    # battery and the clock.
    args += ["-fill", "#4a5060"] + draw(
        f"roundrectangle {ICON_X - 4},{ICON_Y - 4} {ICON_X + ICON_SIZE + 3},{ICON_Y + ICON_SIZE + 3} 5,5")
    glyph = ["-fill", "none", "-stroke", "#e8eaef", "-strokewidth", "2"]
    cy = PANEL_TOP + 16
    nx = 300  # network: three arcs and a dot
    args += glyph + draw(f"arc {nx - 9},{cy - 7} {nx + 9},{cy + 11} 225,315",
                         f"arc {nx - 5},{cy - 2} {nx + 5},{cy + 8} 225,315")
    args += ["-stroke", "none", "-fill", "#e8eaef"] + draw(f"circle {nx},{cy + 5} {nx},{cy + 3}")
    vx = 320  # volume: a speaker and two waves
    args += ["-stroke", "none", "-fill", "#e8eaef"] + draw(
        f"polygon {vx - 6},{cy - 3} {vx - 3},{cy - 3} {vx + 2},{cy - 7} {vx + 2},{cy + 7} {vx - 3},{cy + 3} {vx - 6},{cy + 3}")
    args += glyph + draw(f"arc {vx - 2},{cy - 5} {vx + 8},{cy + 5} 300,60")
    bx = 340  # battery
    args += ["-stroke", "#e8eaef", "-strokewidth", "1.5", "-fill", "none"] + draw(
        f"roundrectangle {bx - 7},{cy - 5} {bx + 7},{cy + 5} 2,2")
    args += ["-stroke", "none", "-fill", "#e8eaef"] + draw(
        f"rectangle {bx - 5},{cy - 3} {bx + 3},{cy + 3}", f"rectangle {bx + 8},{cy - 2} {bx + 9},{cy + 2}")
    args += ["-stroke", "none", "-fill", "#e8eaef", "-font", FONT, "-pointsize", "11"]
    args += draw(f"text 353,{cy + 4} '12:30'")
    return args


def balloon():
    # The icon's tip above it, its pointer reaching down to the icon.
    cx = ICON_X + ICON_SIZE // 2
    left, right, top, bottom = cx - 68, cx + 68, 46, 72
    shadow = ["-fill", "#00000028", "-stroke", "none"] + draw(
        f"roundrectangle {left + 1},{top + 2} {right + 1},{bottom + 2} 7,7")
    body = ["-fill", "#fffdf2", "-stroke", "#8a8f99", "-strokewidth", "1"] + draw(
        f"roundrectangle {left},{top} {right},{bottom} 7,7")
    pointer = ["-stroke", "none", "-fill", "#fffdf2"] + draw(
        f"polygon {cx - 7},{bottom - 1} {cx + 7},{bottom - 1} {cx},{bottom + 9}")
    edges = ["-stroke", "#8a8f99", "-fill", "none"] + draw(
        f"line {cx - 7},{bottom} {cx},{bottom + 9}", f"line {cx + 7},{bottom} {cx},{bottom + 9}")
    text = ["-stroke", "none", "-fill", "#1e2430", "-font", FONT_BOLD, "-pointsize", "12",
            "-gravity", "NorthWest"] + draw(f"text {left + 10},{top + 5} 'OrvWebRecorder'")
    return shadow + body + pointer + edges + text


def arrow():
    # From the open desktop down to the icon's left side.
    tip_x, tip_y = ICON_X - 7, ICON_Y + ICON_SIZE // 2
    start_x, start_y = 120, 22
    # The curve as short straight pieces with round caps: this convert
    # strokes a curved path closed, with a chord back to its start.
    cx, cy = start_x + 20, tip_y
    end_x, end_y = tip_x - 16, tip_y
    points = []
    for i in range(33):
        t = i / 32
        x = (1 - t) ** 2 * start_x + 2 * (1 - t) * t * cx + t * t * end_x
        y = (1 - t) ** 2 * start_y + 2 * (1 - t) * t * cy + t * t * end_y
        points.append(f"{x:.2f},{y:.2f}")
    pieces = [f"line {a} {b}" for a, b in zip(points, points[1:])]
    shaft = ["-fill", "none", "-stroke", "#e66100", "-strokewidth", "6"] + draw("stroke-linecap round", *pieces)
    head = ["-stroke", "#e66100", "-strokewidth", "2", "-fill", "#e66100"] + draw(
        "stroke-linejoin round", f"polygon {tip_x},{tip_y} {tip_x - 20},{tip_y - 10} {tip_x - 20},{tip_y + 10}")
    return shaft + head


def main():
    with tempfile.TemporaryDirectory() as tmp:
        icon = os.path.join(tmp, "icon.png")
        subprocess.run(["convert", ICON, "-filter", "Lanczos", "-resize", f"{ICON_SIZE}x{ICON_SIZE}", icon],
                       check=True)
        cmd = ["convert"] + scene() + ["-gravity", "NorthWest"] + arrow() + balloon()
        cmd += [icon, "-geometry", f"+{ICON_X}+{ICON_Y}", "-composite"]
        # One frame, 256 colours, no dithering (flat colours stay flat), no
        # comment or time stamp so that a rerun gives the same bytes.
        cmd += ["-alpha", "off", "+dither", "-colors", "256", "-strip", "GIF:" + OUT]
        subprocess.run(cmd, check=True)


if __name__ == "__main__":
    main()
