"""README's code blocks, run as its reader would run them: the Python
blocks on small images of the names they use, the command lines on small
files of the names they give."""

import os
import re
import shlex

import numpy as np
import pytest

from morvane.filters.rank import cli

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")


def blocks(language):
    with open(README) as f:
        return re.findall(rf"^```{language}\n(.*?)^```", f.read(), re.M | re.S)


def make_files(folder):
    """The files README's examples read."""
    tifffile = pytest.importorskip("tifffile")
    zarr = pytest.importorskip("zarr")
    from PIL import Image

    rng = np.random.default_rng(11)
    os.makedirs(folder / "stacks")
    tifffile.imwrite(folder / "stacks" / "a.tif", rng.integers(0, 4096, (4, 2, 24, 20), np.uint16),
                     imagej=True, metadata={"axes": "ZCYX", "spacing": 2.0})
    tifffile.imwrite(folder / "stacks" / "b.tif", rng.integers(0, 256, (3, 16, 16), np.uint8),
                     photometric="minisblack")
    mosaic = zarr.create_array(store=folder / "mosaic.zarr", shape=(96, 80), chunks=(32, 32),
                               dtype=np.uint16)
    mosaic[...] = rng.integers(0, 65536, (96, 80), np.uint16)
    Image.fromarray(rng.integers(0, 256, (20, 30), np.uint8)).save(folder / "photo.png")


def names():
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, (64, 80), np.uint8)
    return {"image": image, "valid": image > 20, "x": rng.random((40, 50)),
            "f": np.ones((3, 3), bool), "rgb": rng.integers(0, 256, (30, 40, 3), np.uint8),
            "volume": rng.integers(0, 4096, (12, 20, 24), np.uint16)}


@pytest.mark.parametrize("code", blocks("python"), ids=lambda code: code.splitlines()[-1][:40])
def test_python_blocks(code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    make_files(tmp_path)
    exec(compile(code, README, "exec"), names())


def test_command_lines(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    make_files(tmp_path)
    lines = [line for code in blocks("sh") for line in code.splitlines()
             if line.startswith("morvane-rank ")]
    assert lines
    for line in lines:
        assert cli.main(shlex.split(line, comments=True)[1:] + ["-q"]) == 0, line
    assert sorted(os.listdir(tmp_path / "filtered")) == ["a.tif", "b.tif", "mosaic.zarr",
                                                         "photo.tif"]
