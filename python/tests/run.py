"""Runs the Python reader's tests, as CTest does. Arguments go to pytest.

Exits 77 (skipped) when numpy or pytest is missing. Tests that pytest skips
(a package they need is missing) are listed, one `SKIPPED` line each with
the reason; with CI=true they fail the run, since CI installs everything."""

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


class SkipCounter:
    """A pytest plugin that counts the tests skipped."""

    def __init__(self) -> None:
        self.skipped = 0

    def pytest_runtest_logreport(self, report) -> None:
        if report.skipped:
            self.skipped += 1


def main() -> int:
    missing = missing_modules("numpy", "pytest")
    if missing:
        print(f"skipped: {sys.executable} cannot import {', '.join(missing)}")
        return 77

    import pytest

    counter = SkipCounter()
    here = os.path.dirname(os.path.abspath(__file__))
    status = pytest.main(["-p", "no:cacheprovider", "-q", "-rs", here, *sys.argv[1:]], plugins=[counter])
    if status == 0 and counter.skipped and os.environ.get("CI") == "true":
        print(f"run.py: {counter.skipped} test(s) skipped, which fails a CI run (CI=true): CI installs what they need")
        status = 1
    return int(status)


# Only when run: a test's worker processes that Python starts afresh (as
# multiprocessing's spawn does, under distributed) import this file again.
if __name__ == "__main__":
    sys.exit(main())
