"""Every example of the documentation runs and shows what it says: the
Examples sections of the type stubs (the API reference) and the code blocks
of the user guide under docs/ and its subfolders (pycon blocks as doctests,
python blocks executed), and the docstrings of tarvik.frame."""

import ast
import doctest
import glob
import os
import re

import numpy as np
import pytest
import tarvik

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def source(name):
    """A file of the package the site is built from: the checkout's, else the
    installed one."""
    return next(p for p in (os.path.join(ROOT, "python", "tarvik", name),
                            os.path.join(os.path.dirname(os.path.abspath(tarvik.__file__)), name))
                if os.path.exists(p))


STUBS = source("_core.pyi")
PAGES = sorted(glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True))
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def stub_docstrings():
    tree = ast.parse(open(STUBS, encoding="utf-8").read())
    return {node.name: ast.get_docstring(node) or "" for node in tree.body
            if isinstance(node, (ast.FunctionDef, ast.ClassDef))}


def run_doctest(text, name):
    test = doctest.DocTestParser().get_doctest(text, {"tarvik": tarvik, "np": np}, name, name, 0)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    runner.run(test, out=lambda s: failures.append(s))
    return runner.failures


failures = []


@pytest.mark.parametrize("name", sorted(stub_docstrings()))
def test_stub_examples_run(name):
    text = stub_docstrings()[name]
    if name in tarvik.__all__ and callable(getattr(tarvik, name)):
        assert "\nExamples\n--------\n>>> " in text, f"{name}: no example"
    failures.clear()
    assert run_doctest(text, name) == 0, "".join(failures)


def skip_without_imports(code):
    """Skip where an example imports an optional package that is missing
    (tarvik.frame needs narwhals and pandas or Polars)."""
    for line in re.findall(r"^\s*>>> (?:import|from) (.*)", code, re.M):
        for name in re.findall(r"(?:^|,)\s*([\w.]+)", line.split(" import ")[0]):
            pytest.importorskip("narwhals" if name == "tarvik.frame" else name.split(".")[0])


@pytest.mark.parametrize("page", PAGES, ids=lambda p: os.path.relpath(p, os.path.join(ROOT, "docs")))
def test_guide_examples_run(page):
    text = open(page, encoding="utf-8").read()
    blocks = re.findall(r"^```(pycon|python)\n(.*?)^```", text, re.M | re.S)
    for kind, code in blocks:
        if kind == "python":
            try:
                exec(compile(code, page, "exec"), {})
            except ModuleNotFoundError as e:
                pytest.skip(f"{e.name} is not installed")
        else:
            skip_without_imports(code)
            failures.clear()
            assert run_doctest(code, os.path.basename(page)) == 0, "".join(failures)


def frame_docstrings():
    """The docstrings of tarvik.frame that the API reference shows, read
    from the source (the module imports narwhals only when called)."""
    tree = ast.parse(open(source("frame.py"), encoding="utf-8").read())
    docs = {"tarvik.frame": ast.get_docstring(tree) or ""}
    docs.update({node.name: ast.get_docstring(node) or "" for node in tree.body
                 if isinstance(node, ast.FunctionDef) and not node.name.startswith("_")})
    return {name: text for name, text in docs.items() if ">>> " in text}


@pytest.mark.parametrize("name", sorted(frame_docstrings()))
def test_frame_examples_run(name):
    text = frame_docstrings()[name]
    skip_without_imports(text)
    failures.clear()
    assert run_doctest(text, name) == 0, "".join(failures)
