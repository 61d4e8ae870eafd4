"""The README's quick start runs as written and round-trips, and a script that
calls every function of its table type-checks under `mypy --strict`
(docs/examples/readme_calls.py, which repeats the quick start)."""

import os
import re
import subprocess
import sys

import pytest
from fresh_interpreter import child_env

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "docs", "examples", "readme_calls.py")


def test_quick_start_runs_as_written():
    readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    quick = re.search(r"## Quick start\n\n```python\n(.*?)```", readme, re.S).group(1)
    code = [line.split("#")[0].rstrip() for line in quick.splitlines()]
    example = [line.split("#")[0].rstrip() for line in open(EXAMPLE, encoding="utf-8")]
    assert all(line in example for line in code if line)  # the example repeats it
    done = subprocess.run([sys.executable, EXAMPLE], env=child_env(), capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[:3] == ["3.617974 0.200000000000", "True", "0.250000000000"]
    shifted = re.search(r"## Negative rates.*?```python\n(.*?)```", readme, re.S).group(1)
    assert all(line in example for line in (x.split("#")[0].rstrip() for x in shifted.splitlines())
               if line)
    assert done.stdout.splitlines()[-2:] == ["0.25", "0.0075"]


def test_every_function_type_checks():
    pytest.importorskip("mypy")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", EXAMPLE],
                          env=child_env(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
