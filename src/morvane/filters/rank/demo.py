"""Filter a picture with a disk footprint and show it beside the original.

    python -m morvane.filters.rank.demo                  # built-in 16-bit sample
    python -m morvane.filters.rank.demo --input photo.png --filter median --radius 5

Writes one PNG with the input on the left and the result on the right, each
under a label naming it, and prints the time taken, the footprint's size,
and the time SciPy's ndimage filter takes for the same footprint when SciPy
is installed.
"""

import argparse
import io
import os
import sys
import time

import numpy as np

from . import _api, _filters, _request

FILTERS = ("median", "percentile", "mean", "minimum", "maximum")
GAP = 8  # white columns between the two halves
COLOUR_MODES = ("RGB", "RGBA", "RGBX", "RGBa", "P", "PA", "CMYK", "YCbCr", "LAB", "HSV")


def fail(message):
    """Stop with one line on stderr: these are the user's mistakes, not ours,
    so a traceback would only hide the message."""
    print(f"error: {message}", file=sys.stderr)
    raise SystemExit(2)


def sample_image(size=1024, seed=2024):
    """A deterministic picture as a 12-bit camera gives it (uint16 values up
    to 4095): gradients, discs, chirped stripes and a checkerboard, with 5%
    impulse noise (salt and pepper)."""
    y, x = np.mgrid[0:size, 0:size].astype(np.float64) / size
    picture = 600 + 1500 * x + 600 * y
    discs = [(0.25, 0.3, 0.12, 1300), (0.7, 0.25, 0.16, -450), (0.45, 0.72, 0.2, 900),
             (0.8, 0.75, 0.08, 1700)]
    for cy, cx, r, delta in discs:
        picture += delta * (((y - cy) ** 2 + (x - cx) ** 2) < r * r)
    band = (y > 0.05) & (y < 0.15)
    picture += band * 400 * np.sin(2 * np.pi * 40 * x * x)
    checks = (x > 0.05) & (x < 0.3) & (y > 0.55) & (y < 0.95)
    picture += checks * 350 * (((x * 40).astype(int) + (y * 40).astype(int)) % 2)
    picture = np.clip(picture, 0, 4095)
    rng = np.random.default_rng(seed)
    noise = rng.random((size, size))
    picture[noise < 0.025] = 0
    picture[noise > 0.975] = 4095
    return picture.astype(np.uint16)


def disk(radius):
    y, x = np.ogrid[-radius:radius + 1, -radius:radius + 1]
    return x * x + y * y <= radius * radius


def read_image(path):
    """An image from a PNG or TIFF, of the type its file holds: grey as 2D,
    colour as rows x columns x 3 (RGB), to be filtered channel by channel."""
    from PIL import Image

    try:
        with Image.open(path) as picture:
            picture.load()
            mode = picture.mode
            if mode in ("I;16", "I;16L", "I;16B", "I;16N"):
                return np.array(picture).astype(np.uint16)
            if mode in ("I", "F", "1", "L"):
                data = np.array(picture)  # int32, float32, bool or uint8
                return data.astype(np.uint8) if mode == "1" else data
            if mode in ("LA", "La"):
                print(f"note: {mode} input: its alpha channel is left out")
                return np.array(picture.convert("L"))
            # A silent conversion would leave the user wondering what was
            # filtered: say what happens to colour.
            if mode != "RGB":
                print(f"note: {mode} input converted to RGB")
            print("note: colour input filtered channel by channel")
            return np.array(picture.convert("RGB"))
    except FileNotFoundError:
        fail(f"{path}: no such file")
    except IsADirectoryError:
        fail(f"{path}: is a folder, not a picture")
    except Image.UnidentifiedImageError:
        fail(f"{path}: not an image Pillow can read")
    except (OSError, SyntaxError, ValueError, Image.DecompressionBombError) as exc:
        # Pillow reports broken and truncated files in several ways, some
        # only once the pixels are decoded: hence the load() above.
        fail(f"{path}: cannot read: {exc}")


def check_writable(path):
    """Fail now, not after a long filter, when the picture could not be saved.
    Nothing is written: a probe file could be left behind on a crash."""
    from PIL import Image

    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        fail(f"{path}: folder {folder} does not exist")
    if os.path.isdir(path):
        fail(f"{path}: is a folder")
    if os.path.exists(path):
        if not os.access(path, os.W_OK):
            fail(f"{path}: file is not writable")
    elif not os.access(folder, os.W_OK):
        fail(f"{path}: folder {folder} is not writable")
    extension = os.path.splitext(path)[1].lower()
    kind = Image.registered_extensions().get(extension)
    if not extension:
        fail(f"{path}: no file extension to choose a format by; use .png")
    if kind not in Image.SAVE:
        fail(f"{path}: Pillow cannot write '{extension}' files; use .png")
    # Some formats are registered but cannot hold a grey picture (XBM) or
    # need a plugin that is not installed (BUFR): try one in memory.
    try:
        Image.new("L", (1, 1)).save(io.BytesIO(), format=kind)
    except (OSError, KeyError, ValueError) as exc:
        fail(f"{path}: Pillow cannot write a grey {kind} picture: {exc}")


def to_display(image, low, high):
    scale = 255.0 / max(high - low, 1e-12)
    shown = (np.nan_to_num(image.astype(np.float64), nan=low) - low) * scale
    return np.clip(shown, 0, 255).astype(np.uint8)


def label_font(width):
    """Pillow's own font, so the demo needs no font files: ~24 px on a
    1024-px half, smaller (down to 12 px) on small pictures."""
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=min(24, max(12, width // 32)))
    except TypeError:  # Pillow < 10.1 only has the small bitmap font
        return ImageFont.load_default()


def save_side_by_side(before, after, path, left_label="input", right_label=""):
    """Both halves under a white strip that names them. A label wider than
    the picture widens its column (white on the right), so that tiny
    pictures stay readable too; both columns are as wide, so the right half
    always starts GAP columns after the middle."""
    from PIL import Image, ImageDraw

    low, high = float(np.nanmin(before)), float(np.nanmax(before))
    height, width = before.shape[:2]
    colour = before.ndim == 3
    font = label_font(width)
    measure = ImageDraw.Draw(Image.new("L", (1, 1)))
    boxes = [measure.textbbox((0, 0), text, font=font) for text in (left_label, right_label)]
    text_height = max(box[3] for box in boxes)
    margin = max(4, text_height // 3)
    strip = text_height + 2 * margin
    column = max([width] + [box[2] + 2 * margin for box in boxes])

    white = (255, 255, 255) if colour else 255
    canvas = Image.new("RGB" if colour else "L", (2 * column + GAP, strip + height), white)
    canvas.paste(Image.fromarray(to_display(before, low, high)), (0, strip))
    canvas.paste(Image.fromarray(to_display(after, low, high)), (column + GAP, strip))
    draw = ImageDraw.Draw(canvas)
    black = (0, 0, 0) if colour else 0
    draw.text((margin, margin), left_label, fill=black, font=font)
    draw.text((column + GAP + margin, margin), right_label, fill=black, font=font)
    try:
        canvas.save(path)
    except (OSError, ValueError) as exc:
        fail(f"{path}: cannot write: {exc}")


def scipy_filter(name, image, footprint, p):
    """SciPy's filter of the same statistic and footprint, or None."""
    try:
        from scipy import ndimage
    except ImportError:
        return None
    if image.ndim == 3:  # colour: the same footprint for every channel
        footprint = footprint[..., np.newaxis]
    if name == "median":
        return lambda: ndimage.median_filter(image, footprint=footprint)
    if name == "percentile":
        return lambda: ndimage.percentile_filter(image, 100 * p, footprint=footprint)
    if name == "minimum":
        return lambda: ndimage.minimum_filter(image, footprint=footprint)
    if name == "maximum":
        return lambda: ndimage.maximum_filter(image, footprint=footprint)
    weights = footprint / footprint.sum()
    return lambda: ndimage.correlate(image.astype(np.float64), weights)


class Progress:
    """Prints how far a long filter has come, on one line of stderr."""

    def __init__(self, stream=sys.stderr, after=0.5):
        self.stream, self.after, self.start, self.shown = stream, after, time.perf_counter(), False

    def __call__(self, done, total):
        if time.perf_counter() - self.start < self.after and done < total:
            return
        if self.shown or done < total:
            self.stream.write(f"\rfiltering: {100 * done // total:3d}% ({done}/{total} bands)")
            self.shown = True
            if done == total:
                self.stream.write("\n")
            self.stream.flush()


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m morvane.filters.rank.demo",
        description="Filter a picture with a disk footprint and write it beside the "
                    "original as one PNG.")
    parser.add_argument("--input", help="PNG or TIFF to filter (default: a built-in "
                        "1024x1024 12-bit sample with impulse noise)")
    parser.add_argument("--filter", choices=FILTERS, default="median")
    parser.add_argument("--radius", type=int, default=10, help="disk radius in pixels")
    parser.add_argument("--percentile", type=float, default=0.5,
                        help="p for --filter percentile, between 0 and 1")
    parser.add_argument("--output", default="slidewin_demo.png", help="PNG to write")
    parser.add_argument("--workers", type=int, default=0,
                        help="threads (0: all cores)")
    parser.add_argument("--no-scipy", action="store_true", help="skip the SciPy timing")
    args = parser.parse_args(argv)
    if args.radius < 0 or args.radius > 127:
        parser.error("--radius must lie in 0..127")
    p = 0.5 if args.filter == "median" else args.percentile
    if not 0.0 <= p <= 1.0:
        parser.error("--percentile must lie between 0 and 1")
    check_writable(args.output)

    image = sample_image() if args.input is None else read_image(args.input)
    source = "built-in sample" if args.input is None else args.input
    footprint = disk(args.radius)
    colour = image.ndim == 3
    print(f"input: {source}, {image.shape[1]}x{image.shape[0]} {image.dtype}"
          + (" RGB" if colour else ""))
    print(f"footprint: disk of radius {args.radius}, {footprint.shape[0]}x{footprint.shape[1]}"
          f", {int(footprint.sum())} pixels")

    kind = {"median": _filters.PERCENTILE, "percentile": _filters.PERCENTILE,
            "mean": _filters.MEAN, "minimum": _filters.MINIMUM,
            "maximum": _filters.MAXIMUM}[args.filter]
    workers = _request.workers_of(args.workers)
    start = time.perf_counter()
    result = _api._statistic(kind, image, footprint, workers=workers, p=p,
                             channels=-1 if colour else None, bands=max(16, workers),
                             progress=Progress())
    ours = time.perf_counter() - start
    print(f"{args.filter}: {ours:.3f} s with {workers} worker(s)")

    if not args.no_scipy:
        peer = scipy_filter(args.filter, image, footprint, p)
        if peer is None:
            print("SciPy not installed: pip install scipy to compare")
        else:
            start = time.perf_counter()
            peer()
            theirs = time.perf_counter() - start
            print(f"scipy.ndimage, same footprint: {theirs:.3f} s "
                  f"({theirs / ours:.1f}x the time)")

    label = args.filter if args.filter != "percentile" else f"percentile p={p:g}"
    save_side_by_side(image, result, args.output, "input",
                      f"{label}, disk radius {args.radius}")
    print(f"wrote {args.output}: input (left) and {args.filter} (right)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
