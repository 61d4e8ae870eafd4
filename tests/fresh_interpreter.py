"""Running test code in a fresh interpreter, for what lasts as long as a
process: the module's import, its worker pool, the environment it read."""

import os
import subprocess
import sys
import textwrap

import pytest
import tarvik

POOL_VARIABLES = ("TARVIK_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def sanitized():
    """Whether this process runs under a sanitizer's runtime."""
    with open("/proc/self/maps") as maps:
        mapped = maps.read()
    return any(lib in mapped for lib in ("libasan", "libtsan", "libclang_rt"))


def child_env(env=None):
    """This environment with this same tarvik importable, the pool's
    variables left out and `env` added."""
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tarvik.__file__)))
    child = {k: v for k, v in os.environ.items() if k not in POOL_VARIABLES}
    child["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, child.get("PYTHONPATH")]))
    child.update(env or {})
    return child


def run_python(code, env=None, cpus=None, timeout=60):
    """Runs `code` (dedented) with this same tarvik importable, the pool's
    variables of this process left out and `env` added, bound to the CPUs
    `cpus` if given; returns what it printed, stripped."""
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env(env),
                              preexec_fn=(lambda: os.sched_setaffinity(0, cpus)) if cpus else None,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child did not finish within {timeout} s")
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()
