#!/usr/bin/env python3
"""png_ink.py FILE: prints the share of a PNG's pixels that are coloured
(not white, black or grey: a chart's marks, not its axes and labels), of an
8-bit RGB or RGBA image as Chromium's screenshots are, decoded here with the
standard library only."""
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG"
at, idat, width, height, kind = 8, b"", 0, 0, 0
while at < len(data):
    length, name = struct.unpack(">I4s", data[at:at + 8])
    body = data[at + 8:at + 8 + length]
    if name == b"IHDR":
        width, height, depth, kind = struct.unpack(">IIBB", body[:10])
        assert depth == 8 and kind in (2, 6), "only 8-bit RGB or RGBA"
    elif name == b"IDAT":
        idat += body
    at += 12 + length
raw = zlib.decompress(idat)
size = 3 if kind == 2 else 4
stride = width * size
previous = bytearray(stride)
ink = 0
for row in range(height):
    start = row * (stride + 1)
    kind_of_filter, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
    for i in range(stride):
        left = line[i - size] if i >= size else 0
        up = previous[i]
        corner = previous[i - size] if i >= size else 0
        if kind_of_filter == 1:
            line[i] = (line[i] + left) & 255
        elif kind_of_filter == 2:
            line[i] = (line[i] + up) & 255
        elif kind_of_filter == 3:
            line[i] = (line[i] + (left + up) // 2) & 255
        elif kind_of_filter == 4:
            p = left + up - corner
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
            line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
    ink += sum(1 for x in range(0, stride, size) if max(line[x:x + 3]) - min(line[x:x + 3]) > 40)
    previous = line
print("%.4f" % (ink / float(width * height)))
