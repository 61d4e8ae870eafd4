"""Every example of the documentation runs and shows what it says: the
Examples sections of the type stubs (the API reference) and the code blocks
of the user guide under docs/ (pycon blocks as doctests, python blocks
executed)."""

import ast
import doctest
import glob
import os
import re

import numpy as np
import pytest
import tarvik

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The stubs the site is built from (those of the checkout, else those installed).
STUBS = next(p for p in (os.path.join(ROOT, "python", "tarvik", "_core.pyi"),
                         os.path.join(os.path.dirname(os.path.abspath(tarvik.__file__)), "_core.pyi"))
             if os.path.exists(p))
PAGES = sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
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


@pytest.mark.parametrize("page", PAGES, ids=os.path.basename)
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
            failures.clear()
            assert run_doctest(code, os.path.basename(page)) == 0, "".join(failures)
