"""The dispatcher's choices, fixed: a golden table of the method the engine
picks for representative calls under each instruction set (a change of a
cost constant or of the calibration shows here as a reviewed diff), and
explain() on a few calls."""

import numpy as np
import pytest

from morvane.filters.rank import _filters, explain

ISAS = ("avx2", "sse2", "portable")
# AVX-512 costs every method as AVX2 does (its own kernels are faster, not
# differently ranked): AVX2's column holds for it.
COLUMN_OF = {"avx512": "avx2"}

# id -> (statistic, shape, dtype, keywords)
CALLS = {}
for dtype in ("uint8", "uint16", "float32"):
    for r in (1, 2, 3, 5, 10, 25):
        CALLS[f"median-disk{r}-{dtype}"] = ("median", (1024, 1024), dtype, {"radius": r})
    CALLS[f"median-box5-{dtype}"] = ("median", (1024, 1024), dtype, {"size": 5})
    CALLS[f"median-box31-{dtype}"] = ("median", (1024, 1024), dtype, {"size": 31})
CALLS.update({
    "p90-disk3-masked-uint8": ("percentile", (512, 512), "uint8",
                               {"radius": 3, "p": 0.9, "mask": True}),
    "min-disk2-uint8": ("minimum", (1024, 1024), "uint8", {"radius": 2}),
    "min-disk1-uint16": ("minimum", (1024, 1024), "uint16", {"radius": 1}),
    "max-square3-uint16": ("maximum", (1024, 1024), "uint16", {"size": 3}),
    "max-square5-uint8": ("maximum", (1024, 1024), "uint8", {"size": 5}),
    "max-disk20-uint16": ("maximum", (1024, 1024), "uint16", {"radius": 20}),
    "min-box9-int32": ("minimum", (1024, 1024), "int32", {"size": 9}),
    "mean-disk5-uint8": ("mean", (1024, 1024), "uint8", {"radius": 5}),
    "mean-disk5-float64": ("mean", (1024, 1024), "float64", {"radius": 5}),
    "median-ball1-uint8": ("median", (64, 128, 128), "uint8", {"radius": 1}),
    "median-ball5-uint8": ("median", (64, 128, 128), "uint8", {"radius": 5}),
    "median-ball3-uint16": ("median", (64, 128, 128), "uint16", {"radius": 3}),
    "median-row1x9-uint8": ("median", (1024, 1024), "uint8", {"size": (1, 9)}),
    "median-small-uint8": ("median", (16, 16), "uint8", {"size": 3}),
})

# id -> the method under avx2, sse2, portable.
GOLDEN = {
    "median-disk1-uint8": ("network", "network", "network"),
    "median-disk2-uint8": ("network", "network", "network"),
    "median-disk3-uint8": ("network", "network", "network"),
    "median-disk5-uint8": ("network", "histogram", "histogram"),
    "median-disk10-uint8": ("histogram", "histogram", "histogram"),
    "median-disk25-uint8": ("histogram", "histogram", "histogram"),
    "median-box5-uint8": ("network", "network", "network"),
    "median-box31-uint8": ("columns", "columns", "columns"),
    "median-disk1-uint16": ("network", "network", "network"),
    "median-disk2-uint16": ("network", "network", "network"),
    "median-disk3-uint16": ("network", "network", "network"),
    "median-disk5-uint16": ("network", "network", "network"),
    "median-disk10-uint16": ("histogram", "histogram", "histogram"),
    "median-disk25-uint16": ("histogram", "histogram", "histogram"),
    "median-box5-uint16": ("network", "network", "network"),
    "median-box31-uint16": ("columns", "histogram", "histogram"),
    "median-disk1-float32": ("network", "network", "network"),
    "median-disk2-float32": ("network", "network", "network"),
    "median-disk3-float32": ("network", "network", "network"),
    "median-disk5-float32": ("network", "network", "network"),
    "median-disk10-float32": ("histogram", "histogram", "histogram"),
    "median-disk25-float32": ("histogram", "histogram", "histogram"),
    "median-box5-float32": ("network", "network", "network"),
    "median-box31-float32": ("histogram", "histogram", "histogram"),
    "p90-disk3-masked-uint8": ("histogram", "histogram", "histogram"),
    "min-disk2-uint8": ("network", "runs", "runs"),
    "min-disk1-uint16": ("runs", "runs", "runs"),
    "max-square3-uint16": ("network", "runs", "runs"),
    "max-square5-uint8": ("runs", "runs", "runs"),
    "max-disk20-uint16": ("runs", "runs", "runs"),
    "min-box9-int32": ("runs", "runs", "runs"),
    "mean-disk5-uint8": ("sums", "sums", "sums"),
    "mean-disk5-float64": ("sums", "sums", "sums"),
    "median-ball1-uint8": ("network", "network", "network"),
    "median-ball5-uint8": ("histogram", "histogram", "histogram"),
    "median-ball3-uint16": ("network", "histogram", "histogram"),
    "median-row1x9-uint8": ("network", "network", "network"),
    "median-small-uint8": ("histogram", "histogram", "histogram"),
}


def image(shape, dtype):
    rng = np.random.default_rng(1)
    if np.dtype(dtype).kind == "f":
        return rng.random(shape).astype(dtype)
    return rng.integers(0, min(np.iinfo(dtype).max, 1 << 20), shape).astype(dtype)


@pytest.mark.skipif(COLUMN_OF.get(_filters.ISA, _filters.ISA) not in ISAS,
                    reason=f"no golden table for {_filters.ISA}")
@pytest.mark.parametrize("call", sorted(CALLS))
def test_golden_choices(call):
    statistic, shape, dtype, keywords = CALLS[call]
    keywords = dict(keywords)
    if keywords.pop("mask", False):
        keywords["mask"] = np.random.default_rng(2).random(shape) < 0.8
    how = explain(statistic, image(shape, dtype), **keywords)
    assert how["isa"] == _filters.ISA
    column = ISAS.index(COLUMN_OF.get(_filters.ISA, _filters.ISA))
    assert how["method"] == GOLDEN[call][column], how["costs"]
    assert how["costs"][how["method"]] == min(how["costs"].values())


def test_explain_reports_values_and_copies():
    rng = np.random.default_rng(3)
    floats = rng.random((40, 50)).astype(np.float32)
    how = explain("percentile", floats, radius=4, p=0.9, mode="reflect",
                  mask=rng.random((40, 50)) < 0.5)
    assert how["values"] == "codes" and "sort" in how["costs"]
    assert explain("median", floats, radius=2)["values"] == "keys"  # a network takes keys
    assert any(line.startswith("codes of the values") for line in how["copies"])
    assert any("border slabs" in line for line in how["copies"])
    assert any(line.startswith("the mask as bytes") for line in how["copies"])
    signed = explain("minimum", rng.integers(-9, 9, (30, 30)).astype(np.int16),
                     footprint=np.array([[0, 0, 1], [0, 0, 0], [1, 0, 0]], bool))
    assert signed["values"] == "keys"
    assert any("empty windows" in line for line in signed["copies"])
    assert explain("median", np.zeros((8, 8), np.uint8), size=3)["copies"] == []
    assert explain("mean", np.zeros((8, 8)), size=3)["values"] == "float64"


@pytest.mark.parametrize("bad, error", [
    ({"statistic": "mode"}, ValueError), ({"statistic": "percentile"}, TypeError),
    ({"p": 0.5}, TypeError), ({"radius": "2"}, TypeError), ({"mode": "bogus"}, ValueError),
])
def test_explain_refuses_what_the_filters_refuse(bad, error):
    arguments = dict({"statistic": "median", "image": np.zeros((8, 8), np.uint8), "size": 3},
                     **bad)
    if "radius" in bad:
        del arguments["size"]
    with pytest.raises(error):
        explain(**arguments)
