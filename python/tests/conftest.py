"""Finds the quarvel binary and runs it as the tests need it."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
ROOT = PACKAGE_ROOT.parent  # the source tree, when the tests run in one
sys.path.insert(0, str(PACKAGE_ROOT))  # the package beside the tests, not an installed one


def quarvel_binary() -> Path | None:
    """The converter under test: $QUARVEL (set by CTest), else build/quarvel."""
    named = os.environ.get("QUARVEL")
    if named:
        return Path(named)
    default = ROOT / "build" / "quarvel"
    return default if default.exists() else None


@pytest.fixture(scope="session")
def convert():
    """Returns a function that runs the converter on a file with the given
    options and returns (text file bytes, stderr text)."""
    binary = quarvel_binary()
    if binary is None:
        pytest.skip("no quarvel binary: build it into build/ or set QUARVEL")
    env = dict(os.environ, TZ="UTC", LC_ALL="C")

    def run(path: Path, *options: str) -> tuple[bytes, str]:
        done = subprocess.run([str(binary), "-q", "-S", *options, str(path)], env=env, capture_output=True, text=False)
        assert done.returncode == 0, done.stderr.decode()
        return Path(f"{path}.txt").read_bytes(), done.stderr.decode()

    return run


def python_env() -> dict[str, str]:
    """The environment for `python3 -m quarvel` in a child process."""
    env = dict(os.environ, TZ="UTC", LC_ALL="C", PYTHONDONTWRITEBYTECODE="1")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), env.get("PYTHONPATH")]))
    return env


try:
    from hypothesis import settings
except ImportError:  # its tests are skipped
    pass
else:
    # Examples are not saved between runs: nothing is written into the source tree.
    settings.register_profile("quarvel", database=None, print_blob=True)
    settings.load_profile("quarvel")
