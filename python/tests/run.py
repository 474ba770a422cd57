"""Runs the Python reader's tests, as CTest does. Arguments go to pytest.

Exits 77 (skipped) when numpy or pytest is missing. Tests that pytest skips
(a package they need is missing) are listed, one `SKIPPED` line each with
the reason; with CI=true they fail the run, since CI installs everything.
Where CTest asks, through the environment: QUARVEL_TEST_JUNIT names the
JUnit XML file that pytest writes of each case, its suite named for the
file (python_reader.xml: python_reader, the CTest test), and
QUARVEL_TEST_PROGRESS a file that says how far the run is ("N of M
cases"), kept up to date as each case ends."""

from __future__ import annotations

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
    """A pytest plugin that counts the tests skipped and those done, and
    writes "N of M cases" into the file `progress` names, if any."""

    def __init__(self, progress: str | None) -> None:
        self.skipped = self.done = self.total = 0
        self.progress = progress

    def pytest_collection_finish(self, session) -> None:
        self.total = len(session.items)
        self.write()

    def pytest_collectreport(self, report) -> None:
        if report.skipped:  # a module skipped whole
            self.skipped += 1

    def pytest_runtest_logreport(self, report) -> None:
        if report.skipped:
            self.skipped += 1
        if report.when == "teardown":
            self.done += 1
            self.write()

    def write(self) -> None:
        if self.progress:
            with open(f"{self.progress}.new", "w", encoding="utf-8") as out:
                out.write(f"{self.done} of {self.total} cases\n")
            os.replace(f"{self.progress}.new", self.progress)  # never read half written


def main() -> int:
    junit, progress = os.environ.get("QUARVEL_TEST_JUNIT"), os.environ.get("QUARVEL_TEST_PROGRESS")
    for path in filter(None, (junit, progress)):  # none left from an earlier run
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        if os.path.exists(path):
            os.remove(path)
    missing = missing_modules("numpy", "pytest")
    if missing:
        print(f"skipped: {sys.executable} cannot import {', '.join(missing)}")
        return 77

    import pytest

    counter = SkipCounter(progress)
    here = os.path.dirname(os.path.abspath(__file__))
    options = ["-p", "no:cacheprovider", "-q", "-rs"]
    if junit:
        suite = os.path.splitext(os.path.basename(junit))[0]
        options += [f"--junitxml={junit}", "-o", f"junit_suite_name={suite}"]
    status = pytest.main([*options, here, *sys.argv[1:]], plugins=[counter])
    if status == 0 and counter.skipped and os.environ.get("CI") == "true":
        print(f"run.py: {counter.skipped} test(s) skipped, which fails a CI run (CI=true): CI installs what they need")
        status = 1
    return int(status)


# Only when run: a test's worker processes that Python starts afresh (as
# multiprocessing's spawn does, under distributed) import this file again.
if __name__ == "__main__":
    sys.exit(main())
