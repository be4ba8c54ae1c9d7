"""progress= of the public filters and of apply_dask: counts that rise to
their total, a bar on stderr, the same results as without it."""

import numpy as np
import pytest

import morvane.filters.rank as rank

IMAGE = np.random.default_rng(41).integers(0, 200, (300, 260)).astype(np.uint8)

CALLS = [
    ("median", {}), ("percentile", {"p": 0.2}), ("mean", {}), ("minimum", {}),
    ("histogram", {"bins": 4}), ("variance", {}), ("mode", {}), ("entropy", {}),
    ("gradient", {}), ("tophat", {"kind": "black"}), ("remove_outliers", {"threshold": 9}),
    ("local_threshold", {"method": "sauvola"}), ("local_threshold", {"method": "otsu"}),
]


def told(f, image, **kw):
    seen = []
    result = f(image, radius=3, progress=lambda done, total: seen.append((done, total)), **kw)
    return result, seen


@pytest.mark.parametrize("name, kw", CALLS)
@pytest.mark.parametrize("channels", [None, -1])
def test_counts_rise_to_their_total_and_change_nothing(name, kw, channels):
    f = getattr(rank, name)
    image = IMAGE if channels is None else np.stack([IMAGE, IMAGE[::-1]], axis=-1)
    kw = dict(kw, channels=channels)
    result, seen = told(f, image, workers=2, **kw)
    assert seen, "never told"
    done = [d for d, _ in seen]
    assert len({t for _, t in seen}) == 1 and done == sorted(done) and done[-1] == seen[-1][1]
    np.testing.assert_array_equal(result, f(image, radius=3, **kw))


def test_apply_dask_counts_blocks():
    da = pytest.importorskip("dask.array")
    seen = []
    lazy = rank.apply_dask(rank.median, da.from_array(IMAGE, chunks=(100, 130)), radius=2,
                           mode="reflect", progress=lambda d, t: seen.append((d, t)))
    assert seen == []  # building the graph computes nothing
    result = lazy.compute(scheduler="threads")
    assert sorted(seen) == [(k, 6) for k in range(1, 7)]
    np.testing.assert_array_equal(result, rank.median(IMAGE, radius=2, mode="reflect"))


def test_a_bar_on_stderr(capsys):
    rank.median(IMAGE, radius=2, progress=True)
    assert "100%" in capsys.readouterr().err


@pytest.mark.parametrize("progress, error", [("yes", TypeError), (3, TypeError)])
def test_bad_progress(progress, error):
    with pytest.raises(error):
        rank.median(IMAGE, radius=2, progress=progress)


def test_a_callable_that_raises_stops_the_call():
    def fail(done, total):
        raise ZeroDivisionError("told")

    with pytest.raises(ZeroDivisionError, match="told"):
        rank.median(IMAGE, radius=2, progress=fail)
