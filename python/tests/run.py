"""Runs the Python reader's tests, as CTest does: exit status 77 (skipped)
when numpy or pytest is missing. Arguments go to pytest."""

import importlib
import os
import sys

# No caches or byte code in the source tree, from this process or its children.
sys.dont_write_bytecode = True
os.environ["PYTHONDONTWRITEBYTECODE"] = "1"


def missing_modules(*names: str) -> list:
    """Returns those of `names` that cannot be imported."""
    missing = []
    for name in names:
        try:
            importlib.import_module(name)
        except ImportError:
            missing.append(name)
    return missing


def main() -> int:
    missing = missing_modules("numpy", "pytest")
    if missing:
        print(f"skipped: {sys.executable} cannot import {', '.join(missing)}")
        return 77

    import pytest

    return pytest.main(["-p", "no:cacheprovider", "-q", os.path.dirname(os.path.abspath(__file__)), *sys.argv[1:]])


# Only when run: a test's worker processes that Python starts afresh (as
# multiprocessing's spawn does, under distributed) import this file again.
if __name__ == "__main__":
    sys.exit(main())
