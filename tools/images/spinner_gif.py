#!/usr/bin/python3
"""Draws res/images/loading.gif: the loading.svg ring (a light track with a quarter arc in the
brand blue) turning once a second, 12 frames, 32 px, on a white matte (the spinner stands on
white cards) with transparent corners. Python's standard library only.

    tools/images/spinner_gif.py res/images/loading.gif
"""
import math
import sys

SIZE = 32
FRAMES = 12
DELAY_CS = 8  # 1/100 s per frame
RADIUS = 12.0
WIDTH = 3.0
TRACK = (0xDB, 0xEA, 0xFE)
ARC = (0x25, 0x63, 0xEB)
WHITE = (0xFF, 0xFF, 0xFF)
SAMPLES = 4


def arc_coverage(x, y, start):
    """1 when the point lies on the quarter arc that begins at angle `start` (round caps)."""
    dx, dy = x - SIZE / 2, y - SIZE / 2
    angle = (math.atan2(dy, dx) - start) % (2 * math.pi)
    if angle <= math.pi / 2 and abs(math.hypot(dx, dy) - RADIUS) <= WIDTH / 2:
        return True
    for a in (start, start + math.pi / 2):
        cx, cy = SIZE / 2 + RADIUS * math.cos(a), SIZE / 2 + RADIUS * math.sin(a)
        if math.hypot(x - cx, y - cy) <= WIDTH / 2:
            return True
    return False


def frame(index):
    start = -math.pi / 2 + index * 2 * math.pi / FRAMES
    pixels = []
    for py in range(SIZE):
        for px in range(SIZE):
            track = arc = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) / SAMPLES
                    y = py + (sy + 0.5) / SAMPLES
                    if arc_coverage(x, y, start):
                        arc += 1
                    elif abs(math.hypot(x - SIZE / 2, y - SIZE / 2) - RADIUS) <= WIDTH / 2:
                        track += 1
            n = SAMPLES * SAMPLES
            if track + arc == 0:
                pixels.append(None)
                continue
            rest = n - track - arc
            colour = tuple(round((TRACK[c] * track + ARC[c] * arc + WHITE[c] * rest) / n) for c in range(3))
            # Quantised to 4 bits a channel so that the frames share one small palette.
            pixels.append(tuple(min(255, (v + 8) // 17 * 17) for v in colour))
    return pixels


def lzw(indices, min_code_size):
    clear = 1 << min_code_size
    end = clear + 1
    table = {(i,): i for i in range(clear)}
    next_code = end + 1
    code_size = min_code_size + 1
    bits = 0
    bit_count = 0
    out = bytearray()

    def emit(code):
        nonlocal bits, bit_count
        bits |= code << bit_count
        bit_count += code_size
        while bit_count >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            bit_count -= 8

    emit(clear)
    current = ()
    for index in indices:
        candidate = current + (index,)
        if candidate in table:
            current = candidate
            continue
        emit(table[current])
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << code_size) and code_size < 12:
                code_size += 1
        else:
            emit(clear)
            table = {(i,): i for i in range(clear)}
            next_code = end + 1
            code_size = min_code_size + 1
        current = (index,)
    if current:
        emit(table[current])
    emit(end)
    if bit_count:
        out.append(bits & 0xFF)
    return bytes(out)


def blocks(data):
    out = bytearray()
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out.append(len(chunk))
        out += chunk
    out.append(0)
    return bytes(out)


def main():
    frames = [frame(i) for i in range(FRAMES)]
    colours = sorted({p for f in frames for p in f if p is not None})
    palette = [(0, 0, 0)] + colours  # index 0 is transparent
    if len(palette) > 256:
        raise SystemExit(f"{len(palette)} colours do not fit a GIF palette")
    depth = max(1, math.ceil(math.log2(len(palette))))
    palette += [(0, 0, 0)] * ((1 << depth) - len(palette))
    lookup = {c: i + 1 for i, c in enumerate(colours)}

    gif = bytearray(b"GIF89a")
    gif += SIZE.to_bytes(2, "little") * 2
    gif += bytes([0x80 | (depth - 1), 0, 0])
    for colour in palette:
        gif += bytes(colour)
    # Loop forever (NETSCAPE2.0 application extension).
    gif += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"
    min_code_size = max(2, depth)
    for pixels in frames:
        # Graphic control: restore to background after each frame, index 0 transparent.
        gif += b"\x21\xF9\x04" + bytes([(2 << 2) | 1]) + DELAY_CS.to_bytes(2, "little") + b"\x00\x00"
        gif += b"\x2C" + (0).to_bytes(2, "little") * 2 + SIZE.to_bytes(2, "little") * 2 + b"\x00"
        gif.append(min_code_size)
        gif += blocks(lzw([0 if p is None else lookup[p] for p in pixels], min_code_size))
    gif += b"\x3B"
    with open(sys.argv[1], "wb") as file:
        file.write(gif)


if __name__ == "__main__":
    main()
