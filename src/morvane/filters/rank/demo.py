"""Filter a picture with a disk footprint and show it beside the original.

    python -m morvane.filters.rank.demo                  # built-in 16-bit sample
    python -m morvane.filters.rank.demo --input photo.png --filter median --radius 5

Writes one PNG with the input on the left and the result on the right, and
prints the time taken, the footprint's size, and the time SciPy's
ndimage filter takes for the same footprint when SciPy is installed.
"""

import argparse
import sys
import time

import numpy as np

from . import _api, _filters

FILTERS = ("median", "percentile", "mean", "minimum", "maximum")


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
    """A 2D uint8 or uint16 image from a PNG or TIFF (colour becomes grey)."""
    from PIL import Image

    with Image.open(path) as picture:
        if picture.mode in ("I;16", "I;16L", "I;16B", "I;16N"):
            return np.array(picture).astype(np.uint16)
        if picture.mode in ("I", "F"):
            data = np.array(picture)
            if data.min() < 0 or data.max() > 65535:
                raise SystemExit(f"{path}: values outside 0..65535 are not supported")
            return data.astype(np.uint16)
        if picture.mode != "L":
            picture = picture.convert("L")
        return np.array(picture)


def to_display(image, low, high):
    scale = 255.0 / max(high - low, 1e-12)
    shown = (np.nan_to_num(image.astype(np.float64), nan=low) - low) * scale
    return np.clip(shown, 0, 255).astype(np.uint8)


def save_side_by_side(before, after, path):
    from PIL import Image

    low, high = float(np.min(before)), float(np.max(before))
    gap = np.full((before.shape[0], 8), 255, np.uint8)
    Image.fromarray(np.hstack([to_display(before, low, high), gap,
                               to_display(after, low, high)])).save(path)


def scipy_filter(name, image, footprint, p):
    """SciPy's filter of the same statistic and footprint, or None."""
    try:
        from scipy import ndimage
    except ImportError:
        return None
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

    image = sample_image() if args.input is None else read_image(args.input)
    source = "built-in sample" if args.input is None else args.input
    footprint = disk(args.radius)
    print(f"input: {source}, {image.shape[1]}x{image.shape[0]} {image.dtype}")
    print(f"footprint: disk of radius {args.radius}, {footprint.shape[0]}x{footprint.shape[1]}"
          f", {int(footprint.sum())} pixels")

    kind = {"median": _filters.PERCENTILE, "percentile": _filters.PERCENTILE,
            "mean": _filters.MEAN, "minimum": _filters.MINIMUM,
            "maximum": _filters.MAXIMUM}[args.filter]
    p = 0.5 if args.filter == "median" else args.percentile
    if not 0.0 <= p <= 1.0:
        parser.error("--percentile must lie between 0 and 1")
    workers = _api._workers(args.workers)
    start = time.perf_counter()
    result = _api._filter(kind, image, footprint, None, None, None, workers, p,
                          _bands=max(16, workers), _progress=Progress())
    ours = time.perf_counter() - start
    print(f"{args.filter}: {ours:.3f} s with {workers} worker(s)")

    if not args.no_scipy:
        peer = scipy_filter(args.filter, image, footprint, p)
        if peer is None:
            print("scipy: not installed")
        else:
            start = time.perf_counter()
            peer()
            theirs = time.perf_counter() - start
            print(f"scipy.ndimage, same footprint: {theirs:.3f} s "
                  f"({theirs / ours:.1f}x the time)")

    save_side_by_side(image, result, args.output)
    print(f"wrote {args.output}: input (left) and {args.filter} (right)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
