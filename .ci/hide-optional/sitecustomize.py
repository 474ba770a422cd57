"""Hides Python packages, as if they were not installed: importing one of
the packages that QUARVEL_HIDDEN_PACKAGES names (top-level names, separated
by spaces), or a module in one, raises ModuleNotFoundError. Python imports
this module at start when its folder is on PYTHONPATH: .ci/without-optional
runs the Python suite so, with every optional package that scripts/test
does not install hidden, as on a fresh machine."""

from __future__ import annotations

import importlib.abc
import os
import sys

HIDDEN = frozenset(os.environ.get("QUARVEL_HIDDEN_PACKAGES", "").split())


class HiddenPackages(importlib.abc.MetaPathFinder):
    """A finder, first on sys.meta_path, that finds the hidden packages
    missing before any other finder finds them."""

    def find_spec(self, name, path=None, target=None):  # noqa: ANN001, ARG002 - the finder protocol
        if name.partition(".")[0] in HIDDEN:
            raise ModuleNotFoundError(f"No module named {name!r} (hidden by {__file__})", name=name)
        return None


if HIDDEN:
    sys.meta_path.insert(0, HiddenPackages())
