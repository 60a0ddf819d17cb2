#!/usr/bin/env python3
"""Draws the placeholder animation (a phone sending out a pulsing signal) and writes it as a GIF.

    make_placeholder_gif.py OUT.gif        write the animation
    make_placeholder_gif.py --check GIF    exit 1 when GIF differs from what this script writes

The engine shows the animation centred above the text "Looking for the phone" while no phone
streams. Its reader composes every image onto the previous ones and ignores the delays, so the file
is built for that: 132 x 86 pixels, a 16-colour global table with black at index 0 as background,
17 images, each after a graphic control extension (delay 8, disposal 1, transparent index 0, the
transparency flag set from the second image on). The first image covers the whole screen; each
later one covers only the rectangle that changed and marks unchanged pixels transparent. Index 0
and index 1 are both black: 1 paints black, 0 leaves what is there (the reader treats index 0 as
transparent even in the first image, where the canvas is black anyway).

Plain Python, no third-party modules, and deterministic: the same script writes the same bytes.
"""
import math
import struct
import sys

WIDTH, HEIGHT = 132, 86
FRAMES = 17
DELAY = 8  # hundredths of a second; only other viewers use it

PALETTE = [
    (0, 0, 0),        # 0 background, transparent in the later images
    (0, 0, 0),        # 1 black that paints
    (24, 24, 26),     # 2 the phone's screen
    (64, 64, 68),     # 3 grey ramp for the phone's outline (edge coverage)
    (110, 110, 116),  # 4
    (160, 160, 166),  # 5
    (208, 208, 212),  # 6 the outline itself
    (16, 48, 26),     # 7 green ramp for the signal, dim to bright
    (22, 78, 40),     # 8
    (30, 112, 56),    # 9
    (40, 148, 74),    # 10
    (56, 184, 94),    # 11
    (84, 214, 118),   # 12
    (132, 236, 156),  # 13
    (46, 46, 50),     # 14 the phone's speaker slit and button
    (255, 255, 255),  # 15 unused
]
GREYS = [1, 3, 4, 5, 6]          # by outline coverage
GREENS = [1, 7, 8, 9, 10, 11, 12, 13]  # by signal intensity

# The phone, centred on the screen.
CX, CY = WIDTH / 2.0, HEIGHT / 2.0
PHONE_W, PHONE_H, PHONE_R, PHONE_LINE = 26.0, 46.0, 5.0, 2.0
# Three arcs on each side, pulsing outward one after the other.
ARC_RADII = (22.0, 31.0, 40.0)
ARC_HALF_ANGLE = math.radians(38)
ARC_LINE = 2.6


def rounded_rect_distance(x, y):
    """Signed distance from (x, y) to the phone's rounded rectangle (negative inside)."""
    qx = abs(x - CX) - (PHONE_W / 2 - PHONE_R)
    qy = abs(y - CY) - (PHONE_H / 2 - PHONE_R)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - PHONE_R


def coverage(distance, half_line):
    """How much of a pixel a line of half width half_line covers at this distance from its centre."""
    return min(1.0, max(0.0, half_line + 0.5 - abs(distance)))


def arc_intensity(index, frame):
    """The wave runs outward once per loop: each arc peaks a little after the one inside it."""
    phase = frame / FRAMES - index * 0.16
    level = 0.5 + 0.5 * math.cos(2 * math.pi * phase)
    return level ** 2


def draw(frame):
    """One whole picture as palette indices, row by row."""
    pixels = []
    for row in range(HEIGHT):
        for col in range(WIDTH):
            x, y = col + 0.5, row + 0.5
            d = rounded_rect_distance(x, y)
            outline = coverage(d + PHONE_LINE / 2, PHONE_LINE / 2)
            if outline > 0.05:
                pixels.append(GREYS[min(len(GREYS) - 1, int(outline * (len(GREYS) - 1) + 0.5))])
                continue
            if d < 0:
                # Inside the phone: the dark screen, a speaker slit at the top and a button below.
                dx, dy = x - CX, y - CY
                if abs(dx) <= 4 and -PHONE_H / 2 + 4 <= dy <= -PHONE_H / 2 + 5:
                    pixels.append(14)
                elif math.hypot(dx, dy - (PHONE_H / 2 - 5)) <= 2.0:
                    pixels.append(14)
                else:
                    pixels.append(2)
                continue
            dx, dy = x - CX, y - CY
            angle = math.atan2(dy, abs(dx))
            best = 0.0
            if abs(angle) <= ARC_HALF_ANGLE:
                # Soften the arc's ends so they fade out instead of stopping square.
                taper = min(1.0, (ARC_HALF_ANGLE - abs(angle)) / math.radians(8))
                r = math.hypot(dx, dy)
                for i, radius in enumerate(ARC_RADII):
                    value = coverage(r - radius, ARC_LINE / 2) * taper * arc_intensity(i, frame)
                    best = max(best, value)
            pixels.append(GREENS[min(len(GREENS) - 1, int(best * (len(GREENS) - 1) + 0.5))])
    return pixels


def lzw_encode(indices, min_code_size):
    """GIF's variable-length LZW: codes least-significant bit first, a clear code when the table
    is full."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    out = bytearray()
    bit_buffer, bit_count = 0, 0

    def emit(code, width):
        nonlocal bit_buffer, bit_count
        bit_buffer |= code << bit_count
        bit_count += width
        while bit_count >= 8:
            out.append(bit_buffer & 0xFF)
            bit_buffer >>= 8
            bit_count -= 8

    def reset():
        return {bytes([i]): i for i in range(clear)}, end + 1, min_code_size + 1

    table, next_code, width = reset()
    emit(clear, width)
    current = b""
    for value in indices:
        candidate = current + bytes([value])
        if candidate in table:
            current = candidate
            continue
        emit(table[current], width)
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            # The decoder adds this entry one code later, so it widens when it has seen one code
            # more than 2^width entries' worth.
            if next_code > (1 << width) and width < 12:
                width += 1
        else:
            emit(clear, width)
            table, next_code, width = reset()
        current = bytes([value])
    if current:
        emit(table[current], width)
    emit(end, width)
    if bit_count:
        out.append(bit_buffer & 0xFF)
    return bytes(out)


def sub_blocks(data):
    out = bytearray()
    for start in range(0, len(data), 255):
        chunk = data[start:start + 255]
        out.append(len(chunk))
        out += chunk
    out.append(0)
    return bytes(out)


def graphic_control(transparent_flag):
    packed = (1 << 2) | (1 if transparent_flag else 0)  # disposal 1: leave the image in place
    return b"\x21\xF9\x04" + struct.pack("<BHB", packed, DELAY, 0) + b"\x00"


def image(left, top, width, height, indices):
    descriptor = b"\x2C" + struct.pack("<HHHHB", left, top, width, height, 0)
    return descriptor + bytes([4]) + sub_blocks(lzw_encode(indices, 4))


def changed_rectangle(previous, current):
    rows = [r for r in range(HEIGHT)
            if any(previous[r * WIDTH + c] != current[r * WIDTH + c] for c in range(WIDTH))]
    cols = [c for c in range(WIDTH)
            if any(previous[r * WIDTH + c] != current[r * WIDTH + c] for r in range(HEIGHT))]
    if not rows:
        return 0, 0, 1, 1  # nothing changed: one transparent pixel keeps the image count
    return cols[0], rows[0], cols[-1] - cols[0] + 1, rows[-1] - rows[0] + 1


def build():
    # Compare colours, not indices: 0 and 1 are the same black on screen.
    def colours(pixels):
        return [PALETTE[i] for i in pixels]

    out = bytearray(b"GIF89a")
    # Global table of 16 entries (exponent 3), colour resolution 8 bits, background index 0.
    out += struct.pack("<HHBBB", WIDTH, HEIGHT, 0x80 | (7 << 4) | 3, 0, 0)
    for red, green, blue in PALETTE:
        out += bytes([red, green, blue])
    out += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop for ever
    comment = b"Kavex Webcam placeholder: a phone sending out a signal"
    out += b"\x21\xFE" + sub_blocks(comment)

    previous = None
    for frame in range(FRAMES):
        pixels = draw(frame)
        if previous is None:
            out += graphic_control(False)
            out += image(0, 0, WIDTH, HEIGHT, [p if p != 0 else 1 for p in pixels])
        else:
            before, now = colours(previous), colours(pixels)
            left, top, width, height = changed_rectangle(before, now)
            part = []
            for row in range(top, top + height):
                for col in range(left, left + width):
                    i = row * WIDTH + col
                    part.append(0 if before[i] == now[i] else (pixels[i] or 1))
            out += graphic_control(True)
            out += image(left, top, width, height, part)
        previous = pixels
    out += b"\x3B"
    return bytes(out)


def main(argv):
    if len(argv) == 3 and argv[1] == "--check":
        with open(argv[2], "rb") as existing:
            if existing.read() != build():
                print(f"{argv[2]} is not what {argv[0]} writes: run it again", file=sys.stderr)
                return 1
        return 0
    if len(argv) == 2:
        with open(argv[1], "wb") as target:
            target.write(build())
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
