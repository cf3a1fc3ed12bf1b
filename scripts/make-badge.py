#!/usr/bin/env python3
"""Draws the stub badge (a blue disc with a white downward arrow) and writes it as an .icns
file with 32 and 128 pixel PNG images. Run once; the result is committed in resources/."""
import struct
import sys
import zlib


def render(size, samples=4):
    rows = []
    n = size * samples
    c = n / 2.0
    r = n / 2.0 - samples
    for y in range(size):
        row = bytearray()
        for x in range(size):
            cover = white = 0
            for sy in range(samples):
                for sx in range(samples):
                    px = x * samples + sx + 0.5
                    py = y * samples + sy + 0.5
                    if (px - c) ** 2 + (py - c) ** 2 > r * r:
                        continue
                    cover += 1
                    u, v = (px - c) / r, (py - c) / r  # -1..1
                    shaft = abs(u) < 0.16 and -0.55 < v < 0.15
                    head = v >= 0.05 and v < 0.6 and abs(u) < (0.6 - v) * 0.9
                    base = abs(u) < 0.5 and 0.66 < v < 0.8
                    if shaft or head or base:
                        white += 1
            total = samples * samples
            alpha = cover / total
            wf = white / cover if cover else 0
            red = int(255 * wf + 0x1f * (1 - wf))
            green = int(255 * wf + 0x6f * (1 - wf))
            blue = int(255 * wf + 0xd6 * (1 - wf))
            row += bytes([red, green, blue, int(255 * alpha)])
        rows.append(bytes([0]) + bytes(row))
    raw = b"".join(rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def icns(entries):
    body = b"".join(kind + struct.pack(">I", len(data) + 8) + data for kind, data in entries)
    return b"icns" + struct.pack(">I", len(body) + 8) + body


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "resources/zavroMacPellora.icns"
    with open(out, "wb") as f:
        f.write(icns([(b"icp5", render(32)), (b"ic07", render(128))]))
