#!/usr/bin/python3
"""Prints a line of text as one SVG path, so that the logos render the same on every machine
whatever fonts it has. Design-time only: the output is pasted into res/images/logo-*.svg.

    tools/images/wordmark.py FONT.ttf SIZE X BASELINE [--tracking EM] TEXT

Needs python3-fonttools (Debian). Coordinates are in pixels, y down.
"""
import argparse

from fontTools.pens.svgPathPen import SVGPathPen
from fontTools.pens.transformPen import TransformPen
from fontTools.ttLib import TTFont


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("font")
    parser.add_argument("size", type=float)
    parser.add_argument("x", type=float)
    parser.add_argument("baseline", type=float)
    parser.add_argument("text")
    parser.add_argument("--tracking", type=float, default=0.0, help="extra space between letters, in em")
    args = parser.parse_args()

    font = TTFont(args.font)
    glyphs = font.getGlyphSet()
    cmap = font.getBestCmap()
    scale = args.size / font["head"].unitsPerEm
    kerning = {}
    pen = SVGPathPen(glyphs, ntos=lambda v: f"{v:.2f}".rstrip("0").rstrip("."))
    x = args.x
    previous = None
    for char in args.text:
        name = cmap[ord(char)]
        if previous is not None:
            x += kerning.get((previous, name), 0) * scale
        glyphs[name].draw(TransformPen(pen, (scale, 0, 0, -scale, x, args.baseline)))
        x += glyphs[name].width * scale + args.tracking * args.size
        previous = name
    print(pen.getCommands())
    print(f"<!-- advance to x={x:.2f} -->")


if __name__ == "__main__":
    main()
