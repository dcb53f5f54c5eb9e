"""A frame as a picture: colour frames as they are; mono and value frames through a grey
ramp or a colour map, with a bar that gives their range; and a caption."""

from __future__ import annotations

import io
from typing import Any

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
GREYS = np.repeat(np.arange(256, dtype=np.uint8)[:, None], 3, axis=1)  # mono pictures

TARGET = 256  # the frame is scaled up by a whole factor until its longer side nears this
BAR_GAP, BAR_WIDTH, TEXT = 8, 16, 6


def scale_for(rows: int, cols: int) -> int:
    return max(1, TARGET // max(rows, cols, 1))


def value_range(array: npt.NDArray[Any]) -> tuple[float, float]:
    """The finite values' range, for scaling a frame to its own contents."""
    finite = array[np.isfinite(array)]
    if finite.size == 0:
        return 0.0, 1.0
    return float(finite.min()), float(finite.max())


def _picture_element(dtype: np.dtype[Any]) -> bool:
    """Whether values of `dtype` are a camera's pixels: 8 or 16 bits unsigned."""
    return dtype.kind == "u" and dtype.itemsize in (1, 2)


def draw(frame: npt.NDArray[Any], caption: str, *,
         fixed_range: tuple[float, float] | None = None,
         scale: int | None = None) -> tuple[Image.Image, str]:
    """`frame` as a picture, and what its pixels show ("RGB", or the value range). uint8
    and uint16 frames of H x W x 3 or 4 are colour pictures, drawn as they are (alpha
    left out, uint16 by its high byte), without a bar; those of H x W (or H x W x 1) are
    mono pictures, in grey from lo to hi (the frame's own range, or `fixed_range`); frames
    of other numbers go through the colour map likewise. A frame of one dimension is one
    row. ValueError for frames no picture shows (more dimensions, complex numbers)."""
    if frame.ndim == 3 and frame.shape[2] in (3, 4) and _picture_element(frame.dtype):
        if fixed_range is not None:
            raise ValueError(f"frames of {frame.shape[2]} channels are drawn as they are: "
                             "--range is for mono and value frames")
        shows = "RGB" if frame.shape[2] == 3 else "RGBA, alpha left out"
        return render_colour(frame, caption, scale), shows
    values = frame[..., 0] if frame.ndim == 3 and frame.shape[2] == 1 else frame
    values = values[None, :] if values.ndim == 1 else values
    if values.ndim != 2 or frame.dtype.kind not in "biuf":
        raise ValueError(f"frames of shape {frame.shape} and dtype {frame.dtype} make no "
                         "picture: it takes H x W values, or H x W x 3 or 4 of uint8 or uint16")
    lo, hi = fixed_range or value_range(values)
    colours = GREYS if _picture_element(frame.dtype) else COLOURS
    return render(values, lo, hi, caption, scale, colours), f"{lo:.4g} to {hi:.4g}"


def render(array: npt.NDArray[Any], lo: float, hi: float, caption: str,
           scale: int | None = None, colours: npt.NDArray[np.uint8] = COLOURS) -> Image.Image:
    """The frame at the top left, `scale` pixels per value (whole, so each value stays a
    block of one colour); values from lo to hi through `colours` (256 of them), those
    outside clamped, non-finite ones black; the bar on the right, the caption below."""
    rows, cols = array.shape
    span = hi - lo if hi > lo else 1.0
    with np.errstate(invalid="ignore"):
        index = np.clip((array.astype(np.float64) - lo) / span * 255, 0, 255)
    pixels = colours[np.nan_to_num(index).round().astype(np.intp)]
    pixels[~np.isfinite(array)] = 0
    return _compose(Image.fromarray(pixels, "RGB"), scale or scale_for(rows, cols), caption,
                    (colours, f"{hi:.4g}", f"{lo:.4g}"))


def render_colour(array: npt.NDArray[Any], caption: str, scale: int | None = None) -> Image.Image:
    """An H x W x 3 (or 4) frame of uint8 or uint16 as the picture it is, at the top left,
    `scale` pixels per pixel; the caption below."""
    rgb = array[..., :3]
    if array.dtype.itemsize == 2:
        rgb = rgb >> 8
    rows, cols = array.shape[:2]
    return _compose(Image.fromarray(np.ascontiguousarray(rgb, np.uint8), "RGB"),
                    scale or scale_for(rows, cols), caption, None)


def _compose(frame: Image.Image, scale: int, caption: str,
             bar: tuple[npt.NDArray[np.uint8], str, str] | None) -> Image.Image:
    """The frame scaled up at the top left; beside it the bar of `colours` with its top
    and bottom labels, if any; the caption below."""
    frame = frame.resize((frame.width * scale, frame.height * scale), Image.Resampling.NEAREST)
    font = ImageFont.load_default()
    line = int(font.getbbox("Ag")[3]) + 2
    height = max(frame.height, 3 * line) if bar else frame.height
    width = frame.width
    if bar:
        label_width = max(int(font.getlength(label)) for label in bar[1:])
        width += BAR_GAP + BAR_WIDTH + TEXT + label_width + TEXT
    width = max(width, int(font.getlength(caption)) + 2 * TEXT)
    picture = Image.new("RGB", (width, height + line + TEXT), "white")
    picture.paste(frame, (0, 0))
    draw = ImageDraw.Draw(picture)
    if bar:
        colours, top, bottom = bar
        strip = colours[::-1][np.linspace(0, 255, height).round().astype(np.intp)]
        bar_image = Image.fromarray(np.repeat(strip[:, None, :], BAR_WIDTH, axis=1), "RGB")
        bar_x = frame.width + BAR_GAP
        picture.paste(bar_image, (bar_x, 0))
        draw.text((bar_x + BAR_WIDTH + TEXT, 0), top, fill="black", font=font)
        draw.text((bar_x + BAR_WIDTH + TEXT, height - line), bottom, fill="black", font=font)
    draw.text((TEXT, height + TEXT // 2), caption, fill="black", font=font)
    return picture


def png(picture: Image.Image) -> bytes:
    out = io.BytesIO()
    picture.save(out, "PNG")
    return out.getvalue()
