"""Median filter through the sliding-histogram core beside SciPy's median_filter.

Run by hand (not part of the tests):

    python benchmarks/bench_median.py            # 2D 1024 x 1024 and 3D 128^3, uint8
    python benchmarks/bench_median.py --quick    # smaller, for a smoke run

Both filters use the same disk footprint on the same image in the same run;
the table gives the best of a few repeats and the ratio SciPy / ours. The
border rules differ (we count only pixels inside the image, SciPy reflects),
so the interior is compared to show both compute the same median.
"""

import argparse
import time

import numpy as np
from scipy import ndimage

from morvane.filters.rank._testing import _cpp_client, _cy_client


def disk(radius, ndim=2):
    grid = np.ogrid[tuple(slice(-radius, radius + 1) for _ in range(ndim))]
    return (sum(g * g for g in grid) <= radius * radius).astype(np.uint8)


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def median_ours(client, image, footprint):
    out = np.empty(image.shape + (1,), np.uint8)
    core = client.core if image.ndim == 2 else client.core_3d
    core("percentile", image, footprint, None, out, fparam0=0.5, bin_count=256)
    return out[..., 0]


def run(shape, radii, repeats, scipy_repeats):
    ndim = len(shape)
    rng = np.random.default_rng(0)
    image = rng.integers(0, 256, shape, dtype=np.uint8)
    print(f"median filter, {'x'.join(map(str, shape))} uint8, "
          f"{'disk' if ndim == 2 else 'ball'} footprints")
    print(f"{'radius':>6} {'size':>6} {'ours (s)':>10} {'scipy (s)':>10} {'scipy/ours':>11}")
    for radius in radii:
        fp = disk(radius, ndim)
        ours = median_ours(_cy_client, image, fp)
        theirs = ndimage.median_filter(image, footprint=fp.astype(bool), mode="reflect")
        inner = tuple(slice(radius, -radius) for _ in range(ndim))
        if not np.array_equal(ours[inner], theirs[inner]):
            raise SystemExit(f"radius {radius}: interiors differ")
        t_ours = best_time(lambda: median_ours(_cy_client, image, fp), repeats)
        t_scipy = best_time(
            lambda: ndimage.median_filter(image, footprint=fp.astype(bool)), scipy_repeats)
        print(f"{radius:>6} {int(fp.sum()):>6} {t_ours:>10.3f} {t_scipy:>10.3f} "
              f"{t_scipy / t_ours:>10.1f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    if args.quick:
        run((256, 256), (2, 5, 10), 1, 1)
        run((32, 32, 32), (2, 3), 1, 1)
    else:
        run((1024, 1024), (2, 5, 10, 20), args.repeats, args.repeats)
        print()
        run((128, 128, 128), (2, 3, 5), args.repeats, 1)
    # The C++ client binds through the header; same kernel, same driver.
    image = np.random.default_rng(1).integers(0, 256, (256, 256), dtype=np.uint8)
    fp = disk(5)
    assert np.array_equal(median_ours(_cpp_client, image, fp), median_ours(_cy_client, image, fp))


if __name__ == "__main__":
    main()
