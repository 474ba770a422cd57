"""Runs the Python reader's tests, as CTest does: exit status 77 (skipped)
when numpy or pytest is missing. Arguments go to pytest."""

import importlib.util
import os
import sys

missing = [name for name in ("numpy", "pytest") if importlib.util.find_spec(name) is None]
if missing:
    print(f"skipped: {sys.executable} cannot import {', '.join(missing)}")
    sys.exit(77)

# No caches or byte code in the source tree, from this process or its children.
sys.dont_write_bytecode = True
os.environ["PYTHONDONTWRITEBYTECODE"] = "1"
import pytest  # noqa: E402

sys.exit(pytest.main(["-p", "no:cacheprovider", "-q", os.path.dirname(os.path.abspath(__file__)), *sys.argv[1:]]))
