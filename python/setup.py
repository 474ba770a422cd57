"""Gives the package the version of quarvel's CMakeLists.txt, the one place
it is set, as quarvel/_version.py reads it (run here as a file: the
package is not built yet). An sdist, which holds python/ alone, carries
it in its PKG-INFO."""

import re
import runpy
from pathlib import Path

from setuptools import setup


def projectVersion() -> str:
    """Returns project()'s version from ../CMakeLists.txt, else PKG-INFO's."""
    here = Path(__file__).resolve().parent
    found = runpy.run_path(str(here / "quarvel" / "_version.py"))["project_version"](here.parent)
    if found:
        return found
    pkgInfo = here / "PKG-INFO"
    if pkgInfo.is_file():
        found = re.search(r"^Version: (\S+)$", pkgInfo.read_text(encoding="utf-8"), re.M)
        if found:
            return found.group(1)
    raise SystemExit("quarvel_reader: no version: neither ../CMakeLists.txt nor PKG-INFO names one")


setup(version=projectVersion())
