#!/usr/bin/env python3
"""Does a message box's text area, as painted, hold Japanese glyphs?

    box_glyphs.py SCREENSHOT.png LEFT,TOP,RIGHT,BOTTOM TEXT

A font without Japanese glyphs (and no font linked to it) paints each such
character as the same empty box.  So the text area is cut into glyph cells
(dark pixels, split by blank rows into lines and by blank columns into cells)
and compared by shape: real glyphs give at least a cell each, and no shape
repeats nearly as often as there are Japanese characters.  Exit 0
when the text area holds glyphs; otherwise the figures on standard error.
"""
import collections
import subprocess
import sys


def gray(png, rect):
    left, top, right, bottom = (int(v) for v in rect.split(","))
    pgm = subprocess.run(
        ["convert", png, "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage",
         "-colorspace", "gray", "-depth", "8", "pgm:-"],
        check=True, capture_output=True).stdout
    fields, pos = [], 0
    while len(fields) < 4:  # P5, width, height, maxval
        while pgm[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not pgm[end:end + 1].isspace():
            end += 1
        fields.append(pgm[pos:end])
        pos = end
    width, height = int(fields[1]), int(fields[2])
    pixels = pgm[pos + 1:]
    return [[pixels[y * width + x] < 128 for x in range(width)] for y in range(height)]


def runs(flags):
    """(start, end) of each run of True."""
    out, start = [], None
    for i, f in enumerate(list(flags) + [False]):
        if f and start is None:
            start = i
        elif not f and start is not None:
            out.append((start, i))
            start = None
    return out


def cells(ink):
    for top, bottom in runs(any(row) for row in ink):
        band = ink[top:bottom]
        for left, right in runs(any(row[x] for row in band) for x in range(len(ink[0]))):
            rows = [tuple(row[left:right]) for row in band]
            while rows and not any(rows[0]):
                rows.pop(0)
            while rows and not any(rows[-1]):
                rows.pop()
            yield tuple(rows)


def main():
    png, rect, text = sys.argv[1:4]
    text = text.replace("\\n", "")
    japanese = [c for c in text if ord(c) > 0x7F and not c.isspace()]
    latin = [c for c in text if ord(c) <= 0x7F and not c.isspace()]
    shapes = collections.Counter(cells(gray(png, rect)))
    count = sum(shapes.values())
    most = shapes.most_common(1)[0][1] if shapes else 0
    if not japanese:
        sys.exit("no Japanese text in the box")
    # Empty boxes side by side touch and make one cell; apart, they are one
    # shape over and over.  Real glyphs give a cell or more each, of many shapes.
    if (count - len(latin) < len(japanese) * 3 // 4 or most * 2 > len(japanese) or
            len(shapes) < len(set(japanese)) // 2):
        sys.exit(f"{len(japanese)} Japanese and {len(latin)} other characters painted as {count} "
                 f"cells of {len(shapes)} shapes (the commonest {most} times): empty boxes, not glyphs")


if __name__ == "__main__":
    main()
