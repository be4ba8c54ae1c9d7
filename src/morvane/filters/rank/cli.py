"""Filter image files from the shell.

    morvane-rank median stacks/*.tif -o filtered --radius 3
    morvane-rank percentile mosaic.zarr -o filtered --size 5 --p 0.9 --mode reflect
    python -m morvane.filters.rank mean photo.png -o out --radius 2 --to tiff

Reads TIFF (single images, stacks, ImageJ hyperstacks, OME-TIFF), PNG and
zarr (a folder store: one array, or a group of them) and writes each result
under the output folder with the input's name, dtype where the filter keeps
it, axes, resolution, spacing and ImageJ or OME metadata. A zarr array is
filtered block by block through dask and never held in memory whole.

Axes that are not space (time, channels, colour samples) are filtered one
index at a time; Z, Y and X are the footprint's axes (2D or 3D), unless
--planes asks for each plane alone. An input is never overwritten; an
existing result only with --overwrite. Exit status: 0 when every file was
filtered, 1 when some failed (each says why on one line, the others are
written), 2 for a mistake in the command (nothing is filtered), 130 when
interrupted.
"""

import argparse
import os
import shutil
import sys
import time

import numpy as np

# Filters and the options that are theirs alone.
FILTERS = {
    "median": (), "percentile": ("p",), "mean": (), "minimum": (), "maximum": (),
    "histogram": ("bins", "normalized"), "variance": ("ddof",), "std": ("ddof",),
    "gradient": (), "mode": (), "entropy": (),
    "remove_outliers": ("threshold", "which"), "tophat": ("kind",),
    "local_threshold": ("method", "k", "r"),
}
OWN_OPTIONS = sorted({o for options in FILTERS.values() for o in options})
REQUIRED = {"percentile": ("p",), "remove_outliers": ("threshold",),
            "local_threshold": ("method",)}
TIFF, PNG, ZARR = "tiff", "png", "zarr"
EXTENSIONS = {".tif": TIFF, ".tiff": TIFF, ".btf": TIFF, ".tf8": TIFF, ".png": PNG,
              ".zarr": ZARR}
SPACE = "ZYX"
# Axes of unknown meaning in TIFF files without metadata: taken as Z.
UNNAMED = "IQ"


class Failure(Exception):
    """A file that cannot be filtered, for a reason told in one line."""


def fail(message):
    print(f"morvane-rank: error: {message}", file=sys.stderr)
    return 2


# --- The command -----------------------------------------------------------

def parser():
    p = argparse.ArgumentParser(
        prog="morvane-rank",
        description="Filter TIFF, PNG and zarr files with a local rank filter; each result "
                    "goes to OUTDIR under the input's name, with its metadata.",
        epilog="Exit status: 0 every file filtered, 1 some failed (the others are written), "
               "2 a mistake in the command, 130 interrupted.")
    p.add_argument("filter", choices=sorted(FILTERS), help="the statistic of each window")
    p.add_argument("inputs", nargs="+", metavar="IN",
                   help="files (.tif, .tiff, .png), zarr folders, or folders holding them")
    p.add_argument("-o", "--output", required=True, metavar="OUTDIR",
                   help="folder for the results (made if missing)")
    shape = p.add_argument_group("footprint (one of)")
    shape.add_argument("--radius", type=float, help="a disk (2D) or ball (3D)")
    shape.add_argument("--size", type=int, nargs="+", metavar="K",
                       help="a box: one size, or one per spatial axis")
    shape.add_argument("--footprint", metavar="FILE.npy", help="a NumPy array, non-zero = member")
    p.add_argument("--shift", type=int, nargs="+", help="one offset per spatial axis")
    p.add_argument("--mode", nargs="+", default=["ignore"],
                   help="border: ignore (default), reflect, mirror, nearest, wrap, constant; "
                        "one, or one per spatial axis")
    p.add_argument("--cval", type=float, default=0.0, help="the value outside for constant")
    p.add_argument("--channels", type=int, metavar="AXIS",
                   help="one more axis of the array to filter index by index (when the file "
                        "does not say which axes are channels)")
    p.add_argument("--planes", action="store_true", help="filter each Z plane alone (2D)")
    p.add_argument("--workers", type=int, default=0, help="threads (default 0: every core)")
    own = p.add_argument_group("options of some filters")
    own.add_argument("--p", type=float, help="percentile: the rank, between 0 and 1")
    own.add_argument("--ddof", type=float, help="variance, std: delta degrees of freedom")
    own.add_argument("--threshold", type=float, help="remove_outliers: the distance to the "
                     "median that makes an outlier")
    own.add_argument("--which", help="remove_outliers: bright, dark or both")
    own.add_argument("--kind", help="tophat: white or black")
    own.add_argument("--method", help="local_threshold: the method")
    own.add_argument("--k", type=float, help="local_threshold: k of the method")
    own.add_argument("--r", type=float, help="local_threshold: r of the method")
    own.add_argument("--bins", type=int, help="histogram: the number of bins")
    own.add_argument("--normalized", action="store_true", help="histogram: shares, not counts")
    p.add_argument("--to", choices=(TIFF, PNG, ZARR), help="write this format instead of the "
                   "input's (zarr inputs are written as zarr)")
    p.add_argument("--suffix", default="", help="added to each result's name before its "
                   "extension")
    p.add_argument("--overwrite", action="store_true",
                   help="replace existing results (inputs are never replaced)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress and no notes")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        options = _filter_options(args)
        jobs = _jobs(args)
    except Failure as exc:
        return fail(exc)
    bars = Bars(len(jobs), quiet=args.quiet)
    failed = 0
    try:
        for number, (source, kind, target) in enumerate(jobs, 1):
            start = time.perf_counter()
            try:
                _filter_file(source, kind, target, args, options, bars, number)
            except (Failure, ValueError, TypeError, OSError, MemoryError) as exc:
                failed += 1
                bars.error(f"{source}: {exc}")
            else:
                bars.note(f"{source} -> {target} ({time.perf_counter() - start:.2f} s)")
            bars.file_done()
    except KeyboardInterrupt:
        bars.close()
        print("morvane-rank: interrupted", file=sys.stderr)
        return 130
    bars.close()
    if failed:
        print(f"morvane-rank: {failed} of {len(jobs)} files failed", file=sys.stderr)
        return 1
    return 0


def _filter_options(args):
    """The filter's function and its keyword arguments from the options."""
    import morvane.filters.rank as rank

    own = FILTERS[args.filter]
    for name in OWN_OPTIONS:
        given = getattr(args, name)
        if name not in own and given not in (None, False):
            raise Failure(f"--{name} does not apply to {args.filter}")
    for name in REQUIRED.get(args.filter, ()):
        if getattr(args, name) is None:
            raise Failure(f"{args.filter} needs --{name}")
    shapes = [s for s in ("radius", "size", "footprint") if getattr(args, s) is not None]
    if len(shapes) != 1:
        raise Failure("give the footprint as one of --radius, --size or --footprint")
    kwargs = {name: getattr(args, name) for name in own
              if getattr(args, name) not in (None, False)}
    if args.radius is not None:
        kwargs["radius"] = args.radius
    elif args.size is not None:
        kwargs["size"] = args.size[0] if len(args.size) == 1 else tuple(args.size)
    else:
        try:
            kwargs["footprint"] = np.load(args.footprint, allow_pickle=False)
        except (OSError, ValueError) as exc:
            raise Failure(f"{args.footprint}: cannot read a footprint: {exc}") from None
    if args.shift is not None:
        kwargs["shift"] = tuple(args.shift)
    kwargs["mode"] = args.mode[0] if len(args.mode) == 1 else tuple(args.mode)
    kwargs["cval"] = args.cval
    if args.workers < 0:
        raise Failure("--workers must be 0 (every core) or more")
    return getattr(rank, args.filter), kwargs


def _kind_of(path):
    if os.path.isdir(path):
        if any(os.path.exists(os.path.join(path, m)) for m in (".zarray", ".zgroup",
                                                                "zarr.json")):
            return ZARR
        return None
    return EXTENSIONS.get(os.path.splitext(path)[1].lower())


def _jobs(args):
    """(input, kind, result path) of every file, checked before any is filtered."""
    sources = []
    for path in args.inputs:
        if not os.path.exists(path):
            raise Failure(f"{path}: no such file or folder")
        kind = _kind_of(path)
        if kind is None and os.path.isdir(path):
            found = sorted(os.path.join(path, name) for name in os.listdir(path)
                           if _kind_of(os.path.join(path, name)) is not None)
            if not found:
                raise Failure(f"{path}: a folder with no TIFF, PNG or zarr inside")
            sources += [(f, _kind_of(f)) for f in found]
        elif kind is None:
            raise Failure(f"{path}: not a TIFF, PNG or zarr folder (by its name)")
        else:
            sources.append((path, kind))
    out = args.output
    if os.path.exists(out) and not os.path.isdir(out):
        raise Failure(f"{out}: exists and is not a folder")
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as exc:
        raise Failure(f"{out}: cannot make the output folder: {exc.strerror}") from None
    if not os.access(out, os.W_OK | os.X_OK):
        raise Failure(f"{out}: the output folder is not writable")
    inputs = {os.path.realpath(s) for s, _ in sources}
    jobs, targets = [], set()
    for source, kind in sources:
        written = kind if kind == ZARR else (args.to or kind)
        if kind == ZARR and args.to not in (None, ZARR):
            raise Failure(f"{source}: zarr arrays are written as zarr (a TIFF or PNG of it "
                          f"would be held in memory whole)")
        target = os.path.join(out, _result_name(source, written, args.suffix))
        real = os.path.realpath(target)
        if real in inputs:
            raise Failure(f"{source}: its result {target} would replace an input; choose "
                          f"another -o or a --suffix")
        if real in targets:
            raise Failure(f"{source}: another input has the same result name {target}; "
                          f"use a --suffix or filter them apart")
        if os.path.lexists(target) and not args.overwrite:
            raise Failure(f"{target} exists: give --overwrite to replace it")
        targets.add(real)
        jobs.append((source, kind, target))
    return jobs


def _result_name(source, kind, suffix):
    name = os.path.basename(os.path.normpath(source))
    lower = name.lower()
    for tail in (".ome.tiff", ".ome.tif"):
        if lower.endswith(tail):
            stem, extension = name[:-len(tail)], name[-len(tail):]
            break
    else:
        stem, extension = os.path.splitext(name)
    if EXTENSIONS.get(extension.lower().replace(".ome", ""), None) != kind:
        extension = {TIFF: ".tif", PNG: ".png", ZARR: ".zarr"}[kind]
    return stem + suffix + extension


# --- Progress and messages -------------------------------------------------

class Bars:
    """A bar for all the files and one for the file being filtered, on
    stderr (tqdm's where it is installed, else one line rewritten)."""

    def __init__(self, count, quiet):
        self.count, self.quiet, self.number, self.name = count, quiet, 0, ""
        self.tqdm = self.total = self.file = None
        self.shown = -1
        if quiet:
            return
        try:
            import tqdm
            self.tqdm = tqdm.tqdm
        except ImportError:
            return
        self.total = self.tqdm(total=count, desc="files", unit="file", position=0,
                               file=sys.stderr)

    def file_started(self, number, name):
        self.number, self.name, self.shown = number, name, -1
        if self.tqdm is not None:
            self.file = self.tqdm(total=1000, desc=name, position=1, leave=False,
                                  file=sys.stderr, bar_format="{desc}: {percentage:3.0f}%|{bar}|")

    def progress(self, done, total):
        """progress= of the filters: (done, total) of the file."""
        if self.quiet:
            return
        share = min(1000, int(1000 * done / max(total, 1)))
        if self.file is not None:
            self.file.update(share - self.file.n)
        elif self.tqdm is None and share // 10 != self.shown:
            self.shown = share // 10
            sys.stderr.write(f"\r[{self.number}/{self.count}] {self.name}: {self.shown:3d}%")
            sys.stderr.flush()

    def file_done(self):
        if self.file is not None:
            self.file.close()
            self.file = None
        if self.total is not None:
            self.total.update(1)

    def _write(self, line):
        if self.tqdm is not None:
            self.tqdm.write(line, file=sys.stderr)
        else:
            if self.shown >= 0:
                sys.stderr.write("\r\033[K")
                self.shown = -1
            print(line, file=sys.stderr)

    def note(self, message):
        if not self.quiet:
            self._write(message)

    def error(self, message):
        self._write(f"morvane-rank: error: {message}")

    def close(self):
        if self.file is not None:
            self.file.close()
        if self.total is not None:
            self.total.close()
        self.file = self.total = None


# --- Filtering --------------------------------------------------------------

def _filter_file(source, kind, target, args, options, bars, number):
    bars.file_started(number, os.path.basename(os.path.normpath(source)))
    if kind == ZARR:
        _filter_zarr(source, target, args, options, bars)
        return
    picture = read_tiff(source) if kind == TIFF else read_png(source)
    for note in picture.notes:
        bars.note(f"note: {source}: {note}")
    iterated = _iterated_axes(picture.axes, picture.data.ndim, args, bars, source)
    result = _filter_in_memory(picture.data, iterated, options, args.workers, bars.progress)
    written = args.to or kind
    histogram = args.filter == "histogram"
    axes = picture.axes + ("Q" if histogram else "")
    _write_atomically(target, lambda path: WRITERS[written](path, result, axes, picture,
                                                            bars, source))


def _iterated_axes(axes, ndim, args, bars, source):
    """The axes filtered index by index: every axis that is not space (and Z
    too with --planes), and --channels."""
    iterated = [k for k, a in enumerate(axes) if a not in SPACE + UNNAMED]
    unnamed = [a for a in axes if a in UNNAMED]
    if unnamed and not args.planes:
        bars.note(f"note: {source}: axis {unnamed[0]} (unnamed) taken as Z; --planes filters "
                  f"each plane alone")
    if args.planes:
        iterated += [k for k, a in enumerate(axes) if a in "Z" + UNNAMED]
    if args.channels is not None:
        if not -ndim <= args.channels < ndim:
            raise Failure(f"--channels {args.channels} is not an axis of its {ndim} axes")
        iterated.append(args.channels % ndim)
    iterated = sorted(set(iterated))
    spatial = ndim - len(iterated)
    if spatial not in (2, 3):
        raise Failure(f"axes {axes}: {spatial} spatial axes left to filter (2 or 3 are "
                      f"needed); --planes or --channels choose the axes")
    return iterated


def _filter_in_memory(data, iterated, options, workers, progress):
    from . import _progress

    function, kwargs = options
    moved = np.moveaxis(data, iterated, list(range(len(iterated))))
    outer = moved.shape[:len(iterated)]
    count = int(np.prod(outer))
    parts = _progress.per_channel(progress, count)
    result = None
    for k, index in enumerate(np.ndindex(*outer)):
        filtered = function(moved[index], workers=workers, progress=parts[k], **kwargs)
        if result is None:
            result = np.empty(outer + filtered.shape, filtered.dtype)
        result[index] = filtered
    # A histogram's bins stay last.
    return np.moveaxis(result, list(range(len(iterated))), iterated)


def _write_atomically(target, write):
    """Write to a hidden name beside the target, then rename: an error or an
    interruption leaves no half-written result."""
    folder, name = os.path.split(target)
    partial = os.path.join(folder, f".{name}.partial-{os.getpid()}")
    try:
        write(partial)
        if os.path.isdir(target) and not os.path.islink(target):
            shutil.rmtree(target)
        os.replace(partial, target)
    finally:
        if os.path.isdir(partial):
            shutil.rmtree(partial, ignore_errors=True)
        elif os.path.lexists(partial):
            os.remove(partial)


class Picture:
    """An image read whole, its axes (tifffile's letters) and what its
    writer keeps."""

    def __init__(self, data, axes, **meta):
        self.data, self.axes, self.meta, self.notes = data, axes, meta, []


# --- TIFF --------------------------------------------------------------------

def _tifffile():
    try:
        import tifffile
    except ImportError:
        raise Failure("TIFF needs tifffile: pip install tifffile") from None
    return tifffile


def read_tiff(path):
    tifffile = _tifffile()
    try:
        with tifffile.TiffFile(path) as tif:
            if len(tif.series) != 1:
                raise Failure(f"holds {len(tif.series)} series of images; one is filtered "
                              f"at a time (split the file first)")
            series = tif.series[0]
            data = series.asarray()
            page = tif.pages.first if hasattr(tif.pages, "first") else tif.pages[0]
            tags = page.tags
            meta = {
                "flavour": "imagej" if tif.is_imagej else "ome" if tif.is_ome else "plain",
                "imagej": dict(tif.imagej_metadata or {}),
                "ome": tif.ome_metadata,
                "resolution": tuple(tags[t].value for t in ("XResolution", "YResolution"))
                if "XResolution" in tags and "YResolution" in tags else None,
                "resolutionunit": tags["ResolutionUnit"].value if "ResolutionUnit" in tags
                else None,
                "description": None if tif.is_shaped or tif.is_imagej or tif.is_ome
                else page.description or None,
                "compression": page.compression,
                "photometric": page.photometric,
            }
            picture = Picture(data, series.axes, **meta)
            if len(getattr(series, "levels", [series])) > 1:
                picture.notes.append("only the full-resolution level of its pyramid is "
                                     "written")
            return picture
    except Failure:
        raise
    except (tifffile.TiffFileError, ValueError, KeyError) as exc:
        raise Failure(f"cannot read it as TIFF: {exc}") from None


IMAGEJ_DTYPES = (np.uint8, np.uint16, np.float32)
# What ImageJ's metadata says of the layout: tifffile writes it from the array.
IMAGEJ_LAYOUT = {"ImageJ", "images", "channels", "slices", "frames", "hyperstack", "axes"}


def write_tiff(path, result, axes, picture, bars, source):
    tifffile = _tifffile()
    meta = picture.meta if isinstance(picture, Picture) else {}
    flavour = meta.get("flavour", "plain")
    extra = {}
    if meta.get("resolution") is not None:
        extra["resolution"] = meta["resolution"]
        if meta.get("resolutionunit") is not None:
            extra["resolutionunit"] = meta["resolutionunit"]
    elif meta.get("dpi"):  # a PNG's
        extra["resolution"], extra["resolutionunit"] = tuple(meta["dpi"][:2]), "INCH"
    # Colour samples, interleaved (last) or in planes; not beside a bins axis.
    at = axes.find("S")
    samples = at >= 0 and result.shape[at] in (3, 4) and not axes.endswith("Q")
    extra["photometric"] = "rgb" if samples else "minisblack"
    if samples:
        extra["planarconfig"] = "contig" if at == result.ndim - 1 else "separate"
        if result.shape[at] == 4:
            extra["extrasamples"] = ("unassalpha",)
    compression = meta.get("compression")
    if compression is not None and int(compression) != 1:
        extra["compression"] = compression
    if flavour == "imagej" and axes.endswith("Q"):
        bars.note(f"note: {source}: the histogram's bins axis is no ImageJ axis: written as "
                  f"a plain TIFF (axes {axes}, resolution kept)")
        flavour = "plain"
    if flavour == "imagej":
        if result.dtype not in IMAGEJ_DTYPES:
            held = np.float32 if result.dtype.kind == "f" else np.uint8 \
                if result.dtype == np.bool_ else None
            if held is None:
                bars.note(f"note: {source}: ImageJ holds no {result.dtype}: written as a "
                          f"plain TIFF (axes {axes}, resolution kept)")
                flavour = "plain"
            else:
                bars.note(f"note: {source}: ImageJ holds no {result.dtype}: written as "
                          f"{np.dtype(held)}")
                result = result.astype(held)
    if flavour == "imagej":
        metadata = {k: v for k, v in meta["imagej"].items() if k not in IMAGEJ_LAYOUT}
        if result.dtype != picture.data.dtype:
            metadata.pop("min", None)  # the display range of other values
            metadata.pop("max", None)
            metadata.pop("Ranges", None)
        metadata["axes"] = axes
        extra.pop("extrasamples", None)
        _imwrite(tifffile, path, result, extra, imagej=True, metadata=metadata)
    elif flavour == "ome":
        _imwrite(tifffile, path, result, extra, ome=True,
                 metadata={"axes": axes, **_ome_pixels(tifffile, meta.get("ome"), result,
                                                       axes)})
    elif meta.get("description"):
        _imwrite(tifffile, path, result, extra, description=meta["description"],
                 metadata=None)
    else:
        _imwrite(tifffile, path, result, extra, metadata={"axes": axes})


def _imwrite(tifffile, path, result, extra, **kwargs):
    try:
        tifffile.imwrite(path, result, **extra, **kwargs)
    except (ValueError, KeyError, ImportError, NotImplementedError):
        if "compression" not in extra:
            raise
        # A compression whose codec is not installed: written without it.
        extra = {k: v for k, v in extra.items() if k != "compression"}
        tifffile.imwrite(path, result, **extra, **kwargs)


# OME's attributes of the pixels that a filter leaves true.
OME_KEPT = ("PhysicalSizeX", "PhysicalSizeXUnit", "PhysicalSizeY", "PhysicalSizeYUnit",
            "PhysicalSizeZ", "PhysicalSizeZUnit", "TimeIncrement", "TimeIncrementUnit")


def _ome_pixels(tifffile, xml, result, axes):
    if not xml:
        return {}
    try:
        image = tifffile.xml2dict(xml)["OME"]["Image"]
    except (KeyError, TypeError, ValueError):
        return {}
    image = image[0] if isinstance(image, list) else image
    pixels = image.get("Pixels", {})
    kept = {k: pixels[k] for k in OME_KEPT if k in pixels}
    if "Name" in image:
        kept["Name"] = image["Name"]
    channels = pixels.get("Channel")
    channels = channels if isinstance(channels, list) else [channels] if channels else []
    names = [c.get("Name") for c in channels if isinstance(c, dict)]
    if "C" in axes and len(names) == result.shape[axes.index("C")] and all(names):
        kept["Channel"] = {"Name": names}
    return kept


# --- PNG ---------------------------------------------------------------------

PNG_MODES = {"L": np.uint8, "I;16": np.uint16, "I;16B": np.uint16, "I;16L": np.uint16,
             "RGB": np.uint8, "RGBA": np.uint8, "LA": np.uint8, "1": np.bool_}


def read_png(path):
    from PIL import Image

    try:
        with Image.open(path) as picture:
            picture.load()
            notes = []
            mode = picture.mode
            if mode not in PNG_MODES:
                notes.append(f"{mode} picture converted to RGB")
                picture = picture.convert("RGBA" if "A" in mode or "transparency"
                                          in picture.info else "RGB")
                mode = picture.mode
            data = np.asarray(picture).astype(PNG_MODES[mode])
            info = {k: v for k, v in picture.info.items()
                    if isinstance(k, str) and isinstance(v, str)}
            meta = {"dpi": picture.info.get("dpi"), "text": info,
                    "icc_profile": picture.info.get("icc_profile"), "mode": mode}
    except FileNotFoundError:
        raise Failure("no such file") from None
    except (OSError, SyntaxError, ValueError) as exc:
        raise Failure(f"cannot read it as PNG: {exc}") from None
    result = Picture(data, "YXS" if data.ndim == 3 else "YX", **meta)
    result.notes = notes
    return result


def write_png(path, result, axes, picture, bars, source):
    from PIL import Image, PngImagePlugin

    shape = result.shape
    if result.dtype == np.bool_ and result.ndim == 2:
        picture_out = Image.fromarray(result)
    elif result.dtype == np.uint8 and (result.ndim == 2 or shape[-1] in (2, 3, 4)):
        picture_out = Image.fromarray(result, {2: "L", 3: {2: "LA", 3: "RGB", 4: "RGBA"}
                                               .get(shape[-1])}[result.ndim])
    elif result.dtype == np.uint16 and result.ndim == 2:
        picture_out = Image.fromarray(result)
    else:
        raise Failure(f"PNG holds 8- and 16-bit grey or 8-bit colour, not {result.dtype} of "
                      f"shape {shape}: add --to tiff")
    meta = picture.meta if isinstance(picture, Picture) else {}
    info = PngImagePlugin.PngInfo()
    for key, value in meta.get("text", {}).items():
        info.add_text(key, value)
    extra = {"pnginfo": info}
    if meta.get("dpi"):
        extra["dpi"] = meta["dpi"]
    if meta.get("icc_profile"):
        extra["icc_profile"] = meta["icc_profile"]
    picture_out.save(path, format="PNG", **extra)


def write_zarr_in_memory(path, result, axes, picture, bars, source):
    zarr = _zarr()
    array = zarr.create_array(store=path, shape=result.shape, dtype=result.dtype,
                              chunks=_chunks(result.shape, result.dtype.itemsize))
    array[...] = result
    array.attrs["_ARRAY_DIMENSIONS"] = [AXIS_NAMES.get(a, a) for a in axes]


def _chunks(shape, itemsize, target=1 << 22):
    """Chunks of about 4 MB, whole along the last axes first."""
    chunks, size = [], itemsize
    for extent in reversed(shape):
        take = max(1, min(extent, target // size))
        chunks.append(take)
        size *= take
    return tuple(reversed(chunks))


WRITERS = {TIFF: write_tiff, PNG: write_png, ZARR: write_zarr_in_memory}


# --- zarr ------------------------------------------------------------------------

AXIS_NAMES = {"X": "x", "Y": "y", "Z": "z", "T": "t", "C": "c", "S": "s", "Q": "bins"}


def _zarr():
    try:
        import dask.array  # noqa: F401
        import zarr
    except ImportError:
        raise Failure("zarr needs zarr and dask: pip install zarr 'dask[array]'") from None
    return zarr


def _zarr_axes(names, ndim):
    """tifffile's letters for the axes a zarr array names ("x", "y", "z",
    "t", "c", ...: any other than x, y and z is filtered index by index);
    unnamed, the last three (or two) are Z, Y and X."""
    if not names or len(names) != ndim:
        return "C" * max(ndim - 3, 0) + "ZYX"[-min(ndim, 3):]
    letters = ""
    for name in names:
        name = name.get("name", "") if isinstance(name, dict) else str(name)
        letters += name.upper() if name.lower() in ("x", "y", "z") else "C"
    return letters


def _filter_zarr(source, target, args, options, bars):
    zarr = _zarr()
    try:
        node = zarr.open(source, mode="r")
    except (OSError, ValueError, KeyError) as exc:
        raise Failure(f"cannot open it as zarr: {exc}") from None
    arrays = [("", node)] if isinstance(node, zarr.Array) else sorted(
        (name, a) for name, a in node.arrays()) if hasattr(node, "arrays") else []
    if not arrays:
        raise Failure("a zarr group without arrays")
    group_axes = None
    if not isinstance(node, zarr.Array):
        scales = node.attrs.get("multiscales")
        if scales and isinstance(scales, list) and isinstance(scales[0], dict):
            group_axes = scales[0].get("axes")

    def write(path):
        out = None
        if not isinstance(node, zarr.Array):
            out = zarr.open_group(path, mode="w-", zarr_format=node.metadata.zarr_format,
                                  attributes=dict(node.attrs))
        for k, (name, array) in enumerate(arrays):
            names = array.attrs.get("_ARRAY_DIMENSIONS") or group_axes
            axes = _zarr_axes(names, array.ndim)
            share = _share(bars.progress, k, len(arrays))
            _filter_zarr_array(array, axes, out, path, name, args, options, bars, share, source)

    _write_atomically(target, write)


def _share(progress, k, count):
    return lambda done, total: progress(k * total + done, count * total)


def _filter_zarr_array(array, axes, group, path, name, args, options, bars, progress, source):
    import dask
    import dask.array as da

    from . import _progress
    from ._dask import apply_dask

    zarr = _zarr()
    iterated = _iterated_axes(axes, array.ndim, args, bars, source)
    function, kwargs = options
    workers = _workers(args.workers)
    # A block writes whole chunks (shards, where the array has them), so that
    # no two tasks write one chunk.
    unit = tuple(getattr(array, "shards", None) or array.chunks)
    blocks = _blocks(unit, array.shape, array.dtype.itemsize, iterated, workers)
    darray = da.from_zarr(array, chunks=blocks)
    moved = da.moveaxis(darray, iterated, list(range(len(iterated))))
    outer = moved.shape[:len(iterated)]
    count = int(np.prod(outer))
    parts = _progress.per_channel(progress, count)
    results = []
    for k, index in enumerate(np.ndindex(*outer)):
        block_kwargs = dict(kwargs, workers=1, progress=parts[k])
        results.append(apply_dask(function, moved[index], **block_kwargs))
    first = results[0]
    shape = outer + first.shape
    result = da.stack(results).reshape(shape) if outer else first
    result = da.moveaxis(result, list(range(len(iterated))), iterated)
    bins = (first.shape[-1],) if result.ndim > array.ndim else ()
    chunks = tuple(array.chunks) + bins
    attributes = dict(array.attrs)
    if result.ndim > array.ndim and "_ARRAY_DIMENSIONS" in attributes:
        attributes["_ARRAY_DIMENSIONS"] = list(attributes["_ARRAY_DIMENSIONS"]) + ["bins"]
    create = dict(shape=result.shape, dtype=result.dtype, chunks=chunks,
                  compressors=array.compressors, attributes=attributes,
                  zarr_format=array.metadata.zarr_format)
    if getattr(array, "shards", None):
        create["shards"] = tuple(array.shards) + bins
    if group is None:
        out = zarr.create_array(store=path, **create)
    else:
        create.pop("zarr_format")
        out = group.create_array(name=name, **create)
    result = result.rechunk(blocks + bins)
    with dask.config.set(scheduler="threads", num_workers=workers):
        da.store(result, out, lock=False)


def _blocks(unit, shape, itemsize, iterated, workers, most=8 << 20):
    """dask's blocks for a zarr array: whole multiples of `unit` (its chunks),
    grown along the spatial axes while a block stays within `most` bytes and
    the array keeps 4 blocks per worker. One task per zarr chunk would spend
    more on dask's overlap than on the filter."""
    blocks = [min(u, n) for u, n in zip(unit, shape)]

    def count(b):
        return int(np.prod([-(-n // max(c, 1)) for n, c in zip(shape, b)]))

    grown = True
    while grown:
        grown = False
        for d in reversed(range(len(shape))):
            if d in iterated or blocks[d] >= shape[d]:
                continue
            trial = list(blocks)
            trial[d] = min(2 * blocks[d], shape[d])
            if np.prod(trial) * itemsize <= most and count(trial) >= 4 * workers:
                blocks, grown = trial, True
    return tuple(blocks)


def _workers(workers):
    from . import _request

    return _request.workers_of(workers)


if __name__ == "__main__":
    sys.exit(main())
