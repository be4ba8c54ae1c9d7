"""The package's documentation as a user meets it: every public function's
docstring documents all its parameters and runs its examples; the version
and the type hints are installed."""

import doctest
import importlib.metadata
import inspect
import os
import re

import pytest

import morvane
import morvane.filters.rank as rank

PUBLIC = ["median", "percentile", "mean", "minimum", "maximum", "histogram", "explain",
          "variance", "std", "gradient", "mode", "entropy", "remove_outliers", "tophat",
          "local_threshold", "generic", "apply_dask",
          "disk", "ball", "box", "get_include"]
NDIMAGE = ["median_filter", "percentile_filter", "rank_filter", "minimum_filter",
           "maximum_filter"]


def _function(name):
    return getattr(rank.ndimage, name) if name in NDIMAGE else getattr(rank, name)


@pytest.mark.parametrize("name", PUBLIC + NDIMAGE)
def test_docstring_sections_and_parameters(name):
    f = _function(name)
    doc = inspect.getdoc(f)
    for section in ("Parameters", "Returns", "Raises", "Examples"):
        assert re.search(rf"^{section}\n-+$", doc, re.M), f"{name}: no {section} section"
    documented = {m[0] for m in re.findall(r"^(\*{0,2}\w+)( :.*)?$", doc, re.M)}
    for parameter in inspect.signature(f).parameters.values():
        key = ("**" if parameter.kind is parameter.VAR_KEYWORD else "") + parameter.name
        assert key in documented, f"{name}: parameter {key} is not documented"


@pytest.mark.parametrize("name", PUBLIC + NDIMAGE)
def test_docstring_examples_run(name):
    f = _function(name)
    finder = doctest.DocTestFinder(recurse=False)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for test in finder.find(f, name, globs={}):
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
    assert runner.summarize(verbose=False).attempted > 0


def test_version_and_type_hints():
    assert morvane.__version__ == importlib.metadata.version("morvane-slidewin")
    root = os.path.dirname(morvane.__file__)
    assert os.path.isfile(os.path.join(root, "py.typed"))
    stub = os.path.join(os.path.dirname(rank.__file__), "__init__.pyi")
    with open(stub) as f:
        declared = set(re.findall(r"^def (\w+)", f.read(), re.M))
    assert declared == set(PUBLIC)
    assert "from . import ndimage" in open(stub).read()
