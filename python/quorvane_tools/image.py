"""A frame as a picture: its values through a colour map, a colour bar, and a caption."""

from __future__ import annotations

import io

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw, ImageFont

# Viridis at nine even steps: dark to light all the way, so brightness alone still orders
# the values (in grey print, and for readers who do not tell hues apart).
_STOPS = np.array([
    (68, 1, 84), (71, 45, 123), (59, 82, 139), (44, 114, 142), (33, 145, 140),
    (39, 173, 129), (92, 200, 99), (170, 220, 50), (253, 231, 37)], dtype=np.float64)
COLOURS = np.stack([np.interp(np.linspace(0, 1, 256), np.linspace(0, 1, len(_STOPS)),
                              _STOPS[:, channel]) for channel in range(3)],
                   axis=1).round().astype(np.uint8)

TARGET = 256  # the frame is scaled up by a whole factor until its longer side nears this
BAR_GAP, BAR_WIDTH, TEXT = 8, 16, 6


def scale_for(rows: int, cols: int) -> int:
    return max(1, TARGET // max(rows, cols, 1))


def value_range(array: npt.NDArray[np.float32]) -> tuple[float, float]:
    """The finite values' range, for scaling a frame to its own contents."""
    finite = array[np.isfinite(array)]
    if finite.size == 0:
        return 0.0, 1.0
    return float(finite.min()), float(finite.max())


def render(array: npt.NDArray[np.float32], lo: float, hi: float, caption: str,
           scale: int | None = None) -> Image.Image:
    """The frame at the top left, `scale` pixels per value (whole, so each value stays a
    block of one colour); values from lo to hi through the colour map, those outside
    clamped, non-finite ones black; the colour bar on the right, the caption below."""
    rows, cols = array.shape
    scale = scale or scale_for(rows, cols)
    span = hi - lo if hi > lo else 1.0
    with np.errstate(invalid="ignore"):
        index = np.clip((array.astype(np.float64) - lo) / span * 255, 0, 255)
    pixels = COLOURS[np.nan_to_num(index).round().astype(np.intp)]
    pixels[~np.isfinite(array)] = 0
    frame = Image.fromarray(pixels, "RGB").resize((cols * scale, rows * scale),
                                                  Image.Resampling.NEAREST)
    font = ImageFont.load_default()
    labels = [f"{hi:.4g}", f"{lo:.4g}"]
    label_width = max(int(font.getlength(label)) for label in labels)
    line = int(font.getbbox("Ag")[3]) + 2
    height = max(frame.height, 3 * line)
    width = max(frame.width + BAR_GAP + BAR_WIDTH + TEXT + label_width + TEXT,
                int(font.getlength(caption)) + 2 * TEXT)
    picture = Image.new("RGB", (width, height + line + TEXT), "white")
    picture.paste(frame, (0, 0))
    bar = COLOURS[::-1][np.linspace(0, 255, height).round().astype(np.intp)]
    bar_image = Image.fromarray(np.repeat(bar[:, None, :], BAR_WIDTH, axis=1), "RGB")
    bar_x = frame.width + BAR_GAP
    picture.paste(bar_image, (bar_x, 0))
    draw = ImageDraw.Draw(picture)
    draw.text((bar_x + BAR_WIDTH + TEXT, 0), labels[0], fill="black", font=font)
    draw.text((bar_x + BAR_WIDTH + TEXT, height - line), labels[1], fill="black", font=font)
    draw.text((TEXT, height + TEXT // 2), caption, fill="black", font=font)
    return picture


def png(picture: Image.Image) -> bytes:
    out = io.BytesIO()
    picture.save(out, "PNG")
    return out.getvalue()
