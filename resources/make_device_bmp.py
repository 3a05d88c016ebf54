#!/usr/bin/env python3
"""Writes device.bmp, the picture of the configuration dialog (bitmap 3100): a networked I/O
device drawn in 76 x 47 pixels with the 16 standard colours - a grey housing with a status
panel of LEDs, a network socket, and screw terminals along its top and bottom edges.

    python3 resources/make_device_bmp.py      # rewrites resources/device.bmp
"""
import os
import struct
import sys

WIDTH, HEIGHT = 76, 47

# The 16 standard colours (blue, green, red, reserved).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_RED, DARK_GREEN, DARK_YELLOW, DARK_BLUE = 0, 1, 2, 3, 4
SILVER, GREY, RED, GREEN, YELLOW, BLUE, WHITE = 7, 8, 9, 10, 11, 12, 15
# The dialog's face colour is silver: the picture's background blends into it.
BACKGROUND = SILVER


def draw():
    px = [[BACKGROUND] * WIDTH for _ in range(HEIGHT)]

    def rect(x0, y0, x1, y1, colour):  # inclusive corners
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    def frame(x0, y0, x1, y1, light, dark):
        for x in range(x0, x1 + 1):
            px[y0][x], px[y1][x] = light, dark
        for y in range(y0, y1 + 1):
            px[y][x0], px[y][x1] = light, dark

    # Screw terminal blocks above and below the housing.
    for top in (True, False):
        y0, y1 = (2, 7) if top else (39, 44)
        rect(6, y0, 69, y1, DARK_GREEN)
        frame(6, y0, 69, y1, GREEN, BLACK)
        for i in range(8):
            cx = 10 + 8 * i
            cy = y0 + 3 if top else y0 + 2
            rect(cx - 2, cy - 1, cx + 1, cy + 1, GREY)
            px[cy][cx - 2], px[cy][cx + 1] = BLACK, BLACK  # the screw slot
            px[cy][cx - 1], px[cy][cx] = BLACK, BLACK

    # Housing with a light top-left and a dark bottom-right edge.
    rect(2, 8, 73, 38, WHITE)
    frame(2, 8, 73, 38, WHITE, BLACK)
    frame(3, 9, 72, 37, WHITE, GREY)
    rect(4, 10, 71, 36, SILVER)

    # Label strip.
    rect(7, 12, 44, 17, DARK_BLUE)
    for x in range(9, 43, 3):
        px[14][x] = WHITE
        px[15][x] = WHITE
        px[14][x + 1] = WHITE

    # Status LEDs: power, link, two inputs, two outputs.
    colours = [GREEN, YELLOW, RED, GREEN, RED, GREEN]
    for i, colour in enumerate(colours):
        x = 8 + 6 * i
        rect(x, 23, x + 2, 25, colour)
        frame(x - 1, 22, x + 3, 26, GREY, WHITE)
        px[23][x] = WHITE  # highlight

    # Input and output rows of small LEDs.
    for i in range(8):
        x = 8 + 4 * i
        rect(x, 30, x + 1, 31, GREEN if i % 3 else DARK_GREEN)
        rect(x, 33, x + 1, 34, RED if i % 2 else DARK_RED)

    # Network socket on the right.
    rect(51, 14, 68, 30, BLACK)
    frame(50, 13, 69, 31, GREY, WHITE)
    rect(54, 17, 65, 27, GREY)
    rect(57, 27, 62, 30, BLACK)
    for x in range(55, 65, 2):
        px[18][x] = YELLOW
    px[29][52], px[29][67] = GREEN, YELLOW  # link and activity lights
    return px


def write_bmp(path, px):
    row_bytes = ((WIDTH * 4 + 31) // 32) * 4
    image = bytearray()
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(0, WIDTH, 2):
            hi = px[y][x]
            lo = px[y][x + 1] if x + 1 < WIDTH else 0
            row.append((hi << 4) | lo)
        row += b"\0" * (row_bytes - len(row))
        image += row
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in
                       [(c[0], c[1], c[2]) for c in PALETTE])
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(image), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 4, 0, len(image), 2835, 2835, 16, 0)
    with open(path, "wb") as f:
        f.write(header + info + palette + image)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_bmp(os.path.join(here, "device.bmp"), draw())
    return 0


if __name__ == "__main__":
    sys.exit(main())
