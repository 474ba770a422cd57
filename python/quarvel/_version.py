"""quarvel's version, set in one place: project() in CMakeLists.txt.

The package, setup.py, the scripts and the tests all read it here. This
file imports nothing of the package, so that setup.py can run it before
the package is built; run as a program, it prints the version of the
source tree it lies in:

    python3 -I python/quarvel/_version.py
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

PROJECT = re.compile(r"^project\(quarvel VERSION ([0-9.]+)", re.M)
# The source tree of a checkout: this file is python/quarvel/_version.py.
SOURCE_ROOT = Path(__file__).resolve().parent.parent.parent


def project_version(root: Path = SOURCE_ROOT) -> str | None:
    """Returns the version that project() sets in `root`/CMakeLists.txt;
    None where there is no such file (an installed package, an sdist)."""
    cmake = root / "CMakeLists.txt"
    if not cmake.is_file():
        return None
    found = PROJECT.search(cmake.read_text(encoding="utf-8"))
    return found.group(1) if found else None


def version() -> str:
    """Returns the version: in a source checkout, that of project(); else
    the installed package's."""
    found = project_version()
    if found:
        return found
    from importlib.metadata import version as installed

    return installed("quarvel_reader")


if __name__ == "__main__":
    print(project_version() or sys.exit(f"no project(quarvel VERSION ...) in {SOURCE_ROOT / 'CMakeLists.txt'}"))
