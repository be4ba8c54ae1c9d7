"""The command line on files: values against the in-memory filters, the
metadata each format keeps, and what it refuses."""

import os
import subprocess
import sys

import numpy as np
import pytest

from morvane.filters.rank import cli, mean, median, percentile

tifffile = pytest.importorskip("tifffile")
zarr = pytest.importorskip("zarr")
Image = pytest.importorskip("PIL.Image")

RNG = np.random.default_rng(20261209)


def run(*argv):
    return cli.main([str(a) for a in argv] + ["-q"])


def per_channel(function, data, axis, **kwargs):
    return np.stack([function(np.take(data, i, axis=axis), **kwargs)
                     for i in range(data.shape[axis])], axis=axis)


def test_imagej_hyperstack_keeps_axes_resolution_and_metadata(tmp_path):
    data = RNG.integers(0, 4096, (3, 2, 21, 19), dtype=np.uint16)  # Z, C, Y, X
    source = tmp_path / "stack.tif"
    tifffile.imwrite(source, data, imagej=True, resolution=(2.5, 4.0),
                     metadata={"axes": "ZCYX", "spacing": 0.7, "unit": "um",
                               "Labels": [f"plane {i}" for i in range(6)]})
    assert run("median", source, "-o", tmp_path / "out", "--radius", 2, "--mode", "reflect") == 0
    with tifffile.TiffFile(tmp_path / "out" / "stack.tif") as tif:
        result, series = tif.series[0].asarray(), tif.series[0]
        assert series.axes == "ZCYX" and tif.is_imagej
        meta = tif.imagej_metadata
        assert (meta["spacing"], meta["unit"], meta["Labels"][5]) == (0.7, "um", "plane 5")
        tags = tif.pages[0].tags
        assert (tags["XResolution"].value, tags["YResolution"].value) == ((5, 2), (4, 1))
    # Channels alone, Z, Y and X together: a ball.
    assert np.array_equal(result, per_channel(median, data, 1, radius=2, mode="reflect"))


def test_ome_tiff_keeps_physical_sizes_and_channel_names(tmp_path):
    data = RNG.integers(0, 256, (2, 4, 16, 18), dtype=np.uint8)  # C, Z, Y, X
    source = tmp_path / "cells.ome.tif"
    tifffile.imwrite(source, data, ome=True, resolution=(4.0, 4.0), resolutionunit="CENTIMETER",
                     metadata={"axes": "CZYX", "PhysicalSizeX": 0.25, "PhysicalSizeY": 0.25,
                               "PhysicalSizeZ": 1.5, "Channel": {"Name": ["dapi", "gfp"]}})
    assert run("percentile", source, "-o", tmp_path / "out", "--size", 3, "--p", 0.25,
               "--planes") == 0
    with tifffile.TiffFile(tmp_path / "out" / "cells.ome.tif") as tif:
        result = tif.series[0].asarray()
        pixels = tifffile.xml2dict(tif.ome_metadata)["OME"]["Image"]["Pixels"]
        assert tif.series[0].axes == "CZYX"
        assert tif.pages[0].tags["ResolutionUnit"].value == 3
    assert (pixels["PhysicalSizeX"], pixels["PhysicalSizeZ"]) == (0.25, 1.5)
    assert [c["Name"] for c in pixels["Channel"]] == ["dapi", "gfp"]
    # --planes: each Z plane of each channel alone.
    expected = np.stack([per_channel(percentile, c, 0, size=3, p=0.25) for c in data])
    assert np.array_equal(result, expected)


def test_png_colour_keeps_dpi_and_text(tmp_path):
    data = RNG.integers(0, 256, (20, 30, 3), dtype=np.uint8)
    from PIL import PngImagePlugin
    info = PngImagePlugin.PngInfo()
    info.add_text("Comment", "slide 4")
    Image.fromarray(data).save(tmp_path / "c.png", dpi=(300, 300), pnginfo=info)
    assert run("maximum", tmp_path / "c.png", "-o", tmp_path / "out", "--radius", 1.5) == 0
    with Image.open(tmp_path / "out" / "c.png") as picture:
        assert picture.mode == "RGB" and picture.info["Comment"] == "slide 4"
        assert round(picture.info["dpi"][0]) == 300
        result = np.asarray(picture)
    from morvane.filters.rank import maximum
    assert np.array_equal(result, maximum(data, radius=1.5, channels=-1))
    # As TIFF: the dpi become its resolution.
    assert run("maximum", tmp_path / "c.png", "-o", tmp_path / "tif", "--radius", 1.5,
               "--to", "tiff") == 0
    with tifffile.TiffFile(tmp_path / "tif" / "c.tif") as tif:
        assert np.array_equal(tif.series[0].asarray(), result)
        assert round(tif.pages[0].resolution[0]) == 300 and tif.pages[0].resolutionunit == 2


@pytest.mark.parametrize("names", [None, ["t", "y", "x"]])
def test_zarr_block_by_block_equals_in_memory(tmp_path, names):
    data = RNG.integers(0, 60000, (2, 70, 90), dtype=np.uint16)
    array = zarr.create_array(store=tmp_path / "m.zarr", shape=data.shape, chunks=(1, 32, 40),
                              dtype=data.dtype)
    array[...] = data
    if names:
        array.attrs["_ARRAY_DIMENSIONS"] = names
    array.attrs["note"] = "kept"
    assert run("median", tmp_path / "m.zarr", "-o", tmp_path / "out", "--size", 5,
               "--mode", "reflect", "wrap" if names else "mirror", *([] if names else ["nearest"]),
               "--workers", 2) == 0
    result = zarr.open_array(tmp_path / "out" / "m.zarr", mode="r")
    assert result.chunks == array.chunks and result.attrs["note"] == "kept"
    if names:
        expected = per_channel(median, data, 0, size=5, mode=("reflect", "wrap"))
    else:
        expected = median(data, size=5, mode=("reflect", "mirror", "nearest"))
    assert np.array_equal(result[...], expected)


def test_refusals_and_exit_status(tmp_path, capsys):
    image = RNG.integers(0, 256, (12, 14), dtype=np.uint8)
    Image.fromarray(image).save(tmp_path / "a.png")
    before = (tmp_path / "a.png").read_bytes()
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    cases = [(["median", tmp_path / "missing.tif", "-o", tmp_path / "o", "--size", 3],
              "missing.tif: no such file"),
             (["median", tmp_path / "a.png", "-o", blocker / "sub", "--size", 3],
              "cannot make the output folder"),
             (["median", tmp_path / "a.png", "-o", tmp_path, "--size", 3], "replace an input"),
             (["median", tmp_path / "a.png", "-o", tmp_path, "--size", 3, "--overwrite"],
              "replace an input"),
             (["percentile", tmp_path / "a.png", "-o", tmp_path / "o", "--size", 3], "needs --p"),
             (["median", tmp_path / "a.png", "-o", tmp_path / "o"], "one of --radius")]
    for argv, message in cases:
        assert run(*argv) == 2
        assert message in capsys.readouterr().err
    assert (tmp_path / "a.png").read_bytes() == before
    # A second run does not replace the first's result without --overwrite.
    assert run("median", tmp_path / "a.png", "-o", tmp_path / "o", "--size", 3) == 0
    assert run("median", tmp_path / "a.png", "-o", tmp_path / "o", "--size", 3) == 2
    assert "exists: give --overwrite" in capsys.readouterr().err
    # One file fails (a mean does not fit a PNG), the other is written.
    tifffile.imwrite(tmp_path / "b.tif", image)
    assert run("mean", tmp_path / "a.png", tmp_path / "b.tif", "-o", tmp_path / "m",
               "--size", 3) == 1
    assert "add --to tiff" in capsys.readouterr().err
    assert sorted(os.listdir(tmp_path / "m")) == ["b.tif"]
    assert np.array_equal(tifffile.imread(tmp_path / "m" / "b.tif"), mean(image, size=3))


def test_module_and_console_script_with_progress(tmp_path):
    tifffile.imwrite(tmp_path / "s.tif", RNG.integers(0, 9, (3, 30, 30), dtype=np.uint8),
                     photometric="minisblack")
    command = [sys.executable, "-m", "morvane.filters.rank", "median", str(tmp_path / "s.tif"),
               "-o", str(tmp_path / "out"), "--radius", "1"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "100%" in done.stderr and "s.tif ->" in done.stderr
    script = os.path.join(os.path.dirname(sys.executable), "morvane-rank")
    if os.path.exists(script):
        done = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and "OUTDIR" in done.stdout
