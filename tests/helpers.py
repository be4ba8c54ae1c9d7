"""Pieces shared by the driver tests: element types, the probe kernel's
slots, footprints and masks, sentinel-filled outputs, kernel statistics,
and a NumPy stand-in that fails on demand."""

import subprocess
import sys

import hypothesis.strategies as st
import numpy as np

from reference import hist_max, hist_mean, hist_min, hist_percentile

IN_DTYPES = [np.uint8, np.uint16]
OUT_DTYPES = [np.uint8, np.uint16, np.float32, np.float64]
# Slots written by the probe kernel.
P_INDEX, P_POP, P_CENTRE, P_BINS, P_MIDDLE, P_F0, P_F1, P_I0, P_I1, P_GIL = range(10)
PROBE_DEPTH = 10
SENTINEL_BYTE = 0xA5


def is_cpp(client):
    return client.__name__.rsplit(".", 1)[-1] == "_cpp_client"


def dtype_name(dtype):
    return np.dtype(dtype).name


def fixed_random(shape, density, seed):
    rng = np.random.default_rng(seed)
    fp = (rng.random(shape) < density).astype(np.uint8)
    fp.flat[0] = 1
    return fp


def valid_shifts(extent):
    """Every shift that keeps the centre inside an extent of `extent`."""
    return list(range(-(extent // 2), extent - extent // 2))


def sentinel_buffer(shape, dtype):
    dtype = np.dtype(dtype)
    count = int(np.prod(shape)) * dtype.itemsize
    raw = bytearray([SENTINEL_BYTE]) * count
    return np.frombuffer(raw, dtype=dtype).reshape(shape)


def sentinel_value(dtype):
    return sentinel_buffer((1,), dtype)[0]


def random_mask(rng, shape, density=0.6):
    """Non-zero values other than 1 too: any non-zero byte unmasks."""
    keep = rng.random(shape) < density
    return np.where(keep, rng.choice([1, 7, 255], size=shape), 0).astype(np.uint8)


STRIDED_WHICH = ["image", "footprint", "mask", "out", "all"]


def stat_case(in_dtype, out_dtype):
    """(largest image value, bin_count) so that every statistic fits the
    output type."""
    if in_dtype is np.uint8:
        return 255, 256
    if out_dtype is np.uint8:
        return 255, 700
    return 999, 1000


KERNEL_CASES = [
    ("mean", 0.0, hist_mean),
    ("percentile", 0.0, lambda h: hist_percentile(h, 0.0)),
    ("percentile", 0.5, lambda h: hist_percentile(h, 0.5)),
    ("percentile", 1.0, lambda h: hist_percentile(h, 1.0)),
    ("percentile", 0.3, lambda h: hist_percentile(h, 0.3)),
    ("min", 0.0, hist_min),
    ("max", 0.0, hist_max),
]


FP_ELEMENTS = {
    "bool": st.booleans(),
    "int8": st.sampled_from([0, 0, 0, 1, 1, 1, -1, 2, 127, -128]),
    "uint8": st.sampled_from([0, 0, 0, 1, 1, 1, 2, 255]),
}


class FailingNumpy:
    """Stands in for `np`: forwards to NumPy, but `fail(name, when)` makes
    the when-th call (0-based) of `name` raise MemoryError."""

    def __init__(self):
        self.calls = {}
        self.failures = {}

    def fail(self, name, when=0):
        self.failures[name] = when
        return self

    def __getattr__(self, name):
        real = getattr(np, name)
        if not callable(real) or isinstance(real, type):
            return real

        def call(*args, **kwargs):
            n = self.calls.get(name, 0)
            self.calls[name] = n + 1
            if self.failures.get(name) == n:
                raise MemoryError(f"{name} refused")
            return real(*args, **kwargs)

        return call


# Images holding values at or above bin_count: (input type, values planted,
# bin_count, which of them are masked out, the largest unmasked one).
VALUE_CASES = [
    (np.uint8, [255], 255, [], 255),
    (np.uint8, [200, 201, 150], 150, [], 201),
    (np.uint8, [7], 0, [], 7),
    (np.uint16, [300, 1000, 700], 256, [], 1000),
    (np.uint16, [300, 1000, 700], 256, [1], 700),
    (np.uint16, [300, 1000, 700], 256, [1, 2], 300),
    (np.uint16, [65535], 1000, [], 65535),
]
VALUE_CASE_IDS = ["u8-255", "u8-largest", "u8-zero-bins", "u16-largest",
                  "u16-largest-unmasked", "u16-last-unmasked", "u16-65535"]


def run_optimised(client, script, tests_dir, tmp_path):
    """Run `script` (formatted with tests_dir and the client's module name)
    under python -O; it must print "ok"."""
    name = client.__name__.rsplit(".", 1)[-1]
    proc = subprocess.run([sys.executable, "-O", "-c",
                           script.format(tests_dir=tests_dir, client=name)],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, (proc.returncode, proc.stdout, proc.stderr)
    assert proc.stdout.strip() == "ok"


def np_replacer(module):
    """Generator for a fixture that sets (or, given None, deletes) the
    module global `np` of a core module and puts NumPy back afterwards."""
    saved = module.np

    def install(value):
        if value is None:
            del module.np
        else:
            module.np = value

    yield install
    module.np = saved
