"""The demo, `python -m morvane.filters.rank.demo`, run as a user runs it."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from morvane.filters.rank import maximum, mean, median, minimum, percentile

GAP = 8


def run_demo(tmp_path, *args, timeout=120):
    env = {k: v for k, v in os.environ.items() if k not in ("MPLBACKEND", "PYTHONPATH")}
    return subprocess.run([sys.executable, "-m", "morvane.filters.rank.demo", *args],
                          cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=timeout)


def disk(radius):
    y, x = np.ogrid[-radius:radius + 1, -radius:radius + 1]
    return x * x + y * y <= radius * radius


def render(values, low, high):
    """Grey levels as the demo shows them: low..high of the input spread
    over 0..255, clipped."""
    scaled = (np.asarray(values, np.float64) - low) * (255.0 / max(high - low, 1e-12))
    return np.clip(scaled, 0, 255).astype(np.uint8)


def load_png(path):
    assert path.is_file()
    with Image.open(path) as picture:
        assert picture.format == "PNG"
        return np.array(picture.convert("L"))


def split(picture, shape):
    """(left, gap, right) of a side-by-side picture of two halves of the
    given shape under a label strip. Each half sits at the left of a column
    that a long label may widen; the rest of the column is white."""
    height, width = shape
    strip, column = picture.shape[0] - height, (picture.shape[1] - GAP) // 2
    assert strip > 0 and column >= width and picture.shape[1] == 2 * column + GAP
    body = picture[strip:]
    assert (body[:, width:column] == 255).all()
    assert (body[:, column + GAP + width:] == 255).all()
    return body[:, :width], body[:, column:column + GAP], body[:, column + GAP:][:, :width]


def labels(picture, shape):
    """The label strips above the left and the right column."""
    strip, column = picture.shape[0] - shape[0], (picture.shape[1] - GAP) // 2
    return picture[:strip, :column], picture[:strip, column + GAP:]


def assert_close(got, want, err_msg=""):
    """Equal up to one grey level (rounding of the display scale)."""
    diff = np.abs(got.astype(int) - want.astype(int))
    assert diff.max() <= 1, f"{err_msg}: {int((diff > 1).sum())} pixels off by more than 1"


def noisy_image(shape, dtype, seed):
    """Smooth ramp with salt-and-pepper noise."""
    rng = np.random.default_rng(seed)
    top = 255 if dtype == np.uint8 else 60000
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    image = (top * 0.2 + top * 0.5 * (x / shape[1]) + top * 0.1 * (y / shape[0]))
    noise = rng.random(shape)
    image[noise < 0.05] = 0
    image[noise > 0.95] = top
    return image.astype(dtype), (noise < 0.05) | (noise > 0.95)


def salt_and_pepper(shape, seed):
    """(salt, pepper) pixels of noisy_image(shape, ..., seed)."""
    noise = np.random.default_rng(seed).random(shape)
    return noise > 0.95, noise < 0.05


def time_reported(stdout, name):
    match = re.search(rf"^{name}: (\d+(\.\d+)?) s\b", stdout, re.MULTILINE)
    assert match, f"no time for {name} in:\n{stdout}"
    return float(match.group(1))


# ---------------------------------------------------------------------------


def test_default_sample(tmp_path):
    out = tmp_path / "sample.png"
    result = run_demo(tmp_path, "--output", str(out), "--no-scipy")
    assert result.returncode == 0, result.stderr
    picture = load_png(out)
    assert picture.shape[1] == 2 * 1024 + GAP
    left, gap, right = split(picture, (1024, 1024))
    assert (gap == 255).all()
    # Big enough text to read on a 1024-px half: ink spans 15+ rows.
    for label in labels(picture, (1024, 1024)):
        rows = np.flatnonzero((label < 128).any(axis=1))
        assert rows.size and rows[-1] - rows[0] >= 15
    assert time_reported(result.stdout, "median") >= 0
    assert re.search(r"footprint: .*radius 10.*21x21.*317 pixels", result.stdout), result.stdout
    assert "1024x1024 uint16" in result.stdout
    assert "scipy" not in result.stdout.lower()
    # The sample is a 12-bit picture with impulse noise; its median is
    # smoother: fewer pure black and white pixels than in the input.
    assert (left == 0).sum() > 10000 and (left == 255).sum() > 10000
    assert (right == 0).sum() < (left == 0).sum() / 10
    assert (right == 255).sum() < (left == 255).sum() / 10


def test_default_sample_right_half_is_the_median(tmp_path):
    from morvane.filters.rank.demo import sample_image

    out = tmp_path / "sample.png"
    result = run_demo(tmp_path, "--output", str(out), "--no-scipy", "--radius", "4",
                      "--workers", "2")
    assert result.returncode == 0, result.stderr
    assert "2 worker" in result.stdout
    left, _, right = split(load_png(out), (1024, 1024))
    sample = sample_image()
    assert sample.dtype == np.uint16 and sample.shape == (1024, 1024)
    low, high = float(sample.min()), float(sample.max())
    assert_close(left, render(sample, low, high), "left")
    assert_close(right, render(median(sample, disk(4)), low, high), "right")


@pytest.mark.parametrize("radius", [0, 1, 3])
def test_png_input_8bit(tmp_path, radius):
    image, noisy = noisy_image((40, 50), np.uint8, radius)
    source = tmp_path / "in.png"
    Image.fromarray(image).save(source)
    out = tmp_path / "out.png"
    result = run_demo(tmp_path, "--input", str(source), "--output", str(out), "--no-scipy",
                      "--radius", str(radius))
    assert result.returncode == 0, result.stderr
    side = 2 * radius + 1
    members = int(disk(radius).sum())
    assert re.search(rf"footprint: .*radius {radius}\b.*{side}x{side}.*\b{members} pixels",
                     result.stdout), result.stdout
    assert "50x40" in result.stdout
    time_reported(result.stdout, "median")
    assert "note:" not in result.stdout
    left, gap, right = split(load_png(out), image.shape)
    assert (gap == 255).all()
    # 0 and 255 are in the image: the display scale is the identity.
    np.testing.assert_array_equal(left, image)
    np.testing.assert_array_equal(right, median(image, disk(radius)))
    if radius == 0:
        np.testing.assert_array_equal(right, left)
    else:
        assert (right != left)[noisy].mean() > 0.8


def test_colour_png_is_filtered_per_channel(tmp_path):
    image, _ = noisy_image((30, 20), np.uint8, 5)
    rgb = np.stack([image, image[::-1], 255 - image], axis=-1)
    source = tmp_path / "rgb.png"
    Image.fromarray(rgb).save(source)
    out = tmp_path / "out.png"
    result = run_demo(tmp_path, "--input", str(source), "--output", str(out), "--no-scipy",
                      "--radius", "1", "--filter", "maximum")
    assert result.returncode == 0, result.stderr
    assert "note: colour input filtered channel by channel" in result.stdout.splitlines()
    with Image.open(out) as picture:
        assert picture.mode == "RGB"
        shown = np.array(picture)
    low, high = float(rgb.min()), float(rgb.max())
    for c in range(3):
        left, _, right = split(shown[..., c], image.shape)
        for half, want in ((left, rgb[..., c]), (right, maximum(rgb[..., c], disk(1)))):
            expected = np.round((want.astype(float) - low) * 255 / (high - low))
            assert np.abs(half.astype(int) - expected).max() <= 1


def test_float_tiff_is_filtered_as_floats(tmp_path):
    image = np.random.default_rng(3).normal(size=(12, 15)).astype(np.float32)
    source = tmp_path / "f.tif"
    Image.fromarray(image).save(source)
    result = run_demo(tmp_path, "--input", str(source), "--output", str(tmp_path / "o.png"),
                      "--no-scipy", "--radius", "1")
    assert result.returncode == 0, result.stderr
    assert "15x12 float32" in result.stdout and "note:" not in result.stdout


FILTERS = {
    "median": (lambda im, fp: median(im, fp), []),
    "percentile": (lambda im, fp: percentile(im, fp, 0.25), ["--percentile", "0.25"]),
    "mean": (lambda im, fp: mean(im, fp), []),
    "minimum": (lambda im, fp: minimum(im, fp), []),
    "maximum": (lambda im, fp: maximum(im, fp), []),
}


@pytest.mark.parametrize("name", sorted(FILTERS))
def test_tiff_input_16bit_each_filter(tmp_path, name):
    image, noisy = noisy_image((36, 44), np.uint16, 11)
    image[5, 7] = 1234  # a value off the ramp
    source = tmp_path / "in.tif"
    Image.fromarray(image).save(source)
    out = tmp_path / f"{name}.png"
    call, extra = FILTERS[name]
    result = run_demo(tmp_path, "--input", str(source), "--output", str(out), "--no-scipy",
                      "--filter", name, "--radius", "2", *extra)
    assert result.returncode == 0, result.stderr
    assert "44x36 uint16" in result.stdout
    assert "note:" not in result.stdout
    time_reported(result.stdout, name)
    left, gap, right = split(load_png(out), image.shape)
    assert (gap == 255).all()
    low, high = float(image.min()), float(image.max())
    assert_close(left, render(image, low, high), "left")
    assert_close(right, render(call(image, disk(2)), low, high), "right")
    # The filter removes the noise it can: salt (pepper) survives only the
    # maximum (minimum).
    salt, pepper = salt_and_pepper(image.shape, 11)
    salt[5, 7] = pepper[5, 7] = False
    changed = right != left
    if name != "maximum":
        assert changed[salt].mean() > 0.8, "salt"
    if name != "minimum":
        assert changed[pepper].mean() > 0.8, "pepper"


def test_workers_do_not_change_the_picture(tmp_path):
    image, _ = noisy_image((64, 48), np.uint16, 3)
    source = tmp_path / "in.tif"
    Image.fromarray(image).save(source)
    pictures = []
    for workers in ("1", "2"):
        out = tmp_path / f"w{workers}.png"
        result = run_demo(tmp_path, "--input", str(source), "--output", str(out),
                          "--no-scipy", "--workers", workers, "--filter", "percentile",
                          "--percentile", "0.75", "--radius", "5")
        assert result.returncode == 0, result.stderr
        assert f"with {workers} worker" in result.stdout
        pictures.append(load_png(out))
    np.testing.assert_array_equal(pictures[0], pictures[1])


def test_with_scipy_timing(tmp_path):
    image, _ = noisy_image((40, 50), np.uint8, 8)
    source = tmp_path / "in.png"
    Image.fromarray(image).save(source)
    out = tmp_path / "out.png"
    result = run_demo(tmp_path, "--input", str(source), "--output", str(out),
                      "--filter", "minimum", "--radius", "3")
    assert result.returncode == 0, result.stderr
    time_reported(result.stdout, "minimum")
    assert re.search(r"scipy.*\d+\.\d+ s", result.stdout, re.IGNORECASE), result.stdout
    left, _, right = split(load_png(out), image.shape)
    np.testing.assert_array_equal(right, minimum(image, disk(3)))


@pytest.mark.parametrize("args", [
    ["--radius", "-1"],
    ["--radius", "128"],
    ["--radius", "two"],
    ["--filter", "percentile", "--percentile", "1.5"],
    ["--filter", "percentile", "--percentile", "-0.1"],
    ["--filter", "mode"],
    ["--workers", "-1"],
], ids=lambda a: " ".join(a))
def test_bad_arguments(tmp_path, args):
    image, _ = noisy_image((10, 12), np.uint8, 1)
    source = tmp_path / "in.png"
    Image.fromarray(image).save(source)
    out = tmp_path / "out.png"
    result = run_demo(tmp_path, "--input", str(source), "--output", str(out), "--no-scipy",
                      *args)
    assert result.returncode != 0
    assert result.stderr.strip()
    assert not out.exists()


def test_largest_radius_is_accepted(tmp_path):
    image, _ = noisy_image((10, 12), np.uint8, 2)
    source = tmp_path / "in.png"
    Image.fromarray(image).save(source)
    out = tmp_path / "out.png"
    result = run_demo(tmp_path, "--input", str(source), "--output", str(out), "--no-scipy",
                      "--radius", "127", "--filter", "maximum")
    assert result.returncode == 0, result.stderr
    assert "255x255" in result.stdout
    # Every window holds the whole image.
    left, _, right = split(load_png(out), image.shape)
    assert (right == left.max()).all()


@pytest.mark.parametrize("shape", [(3, 3), (40, 400)], ids=["3x3", "40x400"])
def test_labels_name_each_half(tmp_path, shape):
    image = np.random.default_rng(6).integers(0, 256, shape, dtype=np.uint8)
    image.flat[:2] = 0, 255  # so the display scale is the identity
    Image.fromarray(image).save(tmp_path / "in.png")
    strips = []
    for args in (["--radius", "2"], ["--radius", "3"], ["--filter", "mean", "--radius", "2"],
                 ["--filter", "percentile", "--percentile", "0.25", "--radius", "2"],
                 ["--filter", "percentile", "--percentile", "0.75", "--radius", "2"]):
        result = run_demo(tmp_path, "--input", "in.png", "--output", "out.png", "--no-scipy",
                          *args)
        assert result.returncode == 0, result.stderr
        picture = load_png(tmp_path / "out.png")
        np.testing.assert_array_equal(split(picture, shape)[0], image)
        strips.append(labels(picture, shape))
        assert all((label < 128).any() for label in strips[-1]), "no text"
    # "input" on the left every time; on the right, the filter, p and radius.
    width = min(left.shape[1] for left, _ in strips)
    assert len({left[:, :width].tobytes() for left, _ in strips}) == 1
    assert len({(right.shape, right.tobytes()) for _, right in strips}) == len(strips)


ERRORS = {
    "missing input": ["--input", "missing.png"],
    "not an image": ["--input", "bad.png"],
    "truncated image": ["--input", "cut.png"],
    "missing output folder": ["--output", "missing/out.png"],
    "unknown output extension": ["--output", "out.xyz"],
    "format without grey": ["--output", "out.xbm"],
    "read-only folder": ["--output", "ro/out.png"],
    "read-only output": ["--output", "old.png"],
}


@pytest.mark.parametrize("case", ERRORS)
def test_errors_stop_before_filtering(tmp_path, case):
    Image.fromarray(noisy_image((64, 64), np.uint8, 7)[0]).save(tmp_path / "in.png")
    (tmp_path / "cut.png").write_bytes((tmp_path / "in.png").read_bytes()[:500])
    (tmp_path / "bad.png").write_bytes(b"not a picture")
    (tmp_path / "old.png").write_bytes(b"old")
    (tmp_path / "old.png").chmod(0o400)
    (tmp_path / "ro").mkdir(0o500)
    if "read-only" in case and os.access(tmp_path / "ro", os.W_OK):
        pytest.skip("this user may write to read-only files (root)")
    files = sorted(tmp_path.rglob("*"))
    result = run_demo(tmp_path, "--input", "in.png", "--output", "out.png", "--no-scipy",
                      *ERRORS[case])
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ") and ERRORS[case][1] in lines[0]
    assert "median:" not in result.stdout
    assert sorted(tmp_path.rglob("*")) == files


@pytest.mark.parametrize("flags", [[], ["--no-scipy"]], ids=["compare", "no-scipy"])
def test_without_scipy(tmp_path, monkeypatch, capsys, flags):
    from morvane.filters.rank import demo

    monkeypatch.setitem(sys.modules, "scipy", None)
    monkeypatch.chdir(tmp_path)
    Image.fromarray(noisy_image((10, 12), np.uint8, 4)[0]).save("in.png")
    assert demo.main(["--input", "in.png", "--output", "out.png", "--radius", "1", *flags]) == 0
    stdout = capsys.readouterr().out
    wanted = [] if flags else ["SciPy not installed: pip install scipy to compare"]
    assert [line for line in stdout.splitlines() if "scipy" in line.lower()] == wanted
