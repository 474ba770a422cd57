#!/usr/bin/env python3
"""The converter's words and their copies. src/messages.h holds the
converter's messages; the page is handed them with each file's outcome,
and the readers, the manual, the docs and some tests copy their words (the wheel, the sdist and the
standalone .m take no file made at build time). This test runs the
converter on files that provoke every message and compares its standard
error with the table's; then it looks in every copy for each message it
copies: the format's fixed parts in order, a few characters of the copy's
own (a name, a placeholder) between two. It also holds the Python copy of
the own-text rule against src/owntext.h and the labels of src/summary.h.
It names each copy that drifted.

The converter is $QUARVEL_TEST_BINARY, else build/quarvel. Exit status 0,
1 when a message or a copy differs, 77 (skipped) without numpy or a
converter."""

from __future__ import annotations

import errno
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
GAP = ".{0,40}?"  # what a copy may hold between two fixed parts

# Each copy, and the messages it copies: a name, or (name, first, end) for
# the fixed parts first to end of it alone.
COPIES: dict[str, list] = {
    "python/quarvel/_headers.py": ["TRUNCATED_BLOCK"],
    "matlab/quarvel_read.m": ["OPEN_INPUT_FAILED", "TRUNCATED_BLOCK"],
    "quarvel.1": ["OPEN_INPUT_FAILED", "OPEN_OUTPUT_FAILED", "OPEN_REASON", "OUTPUT_IS_INPUT",
                  "OUTPUT_IS_ANOTHER_INPUT", "INPUT_IS_OWN_TEXT", "INPUT_IS_EMPTY_TEXT", "TRUNCATED_BLOCK", "READ_FAILED", "WRITE_FAILED",
                  "STANDARD_OUTPUT_FAILED"],
    "doc/web.md": ["OPEN_REASON", ("INPUT_IS_OWN_TEXT", 1, 2), ("TRUNCATED_BLOCK", 0, 1)],
    "README.md": ["OPEN_INPUT_FAILED", "OPEN_REASON"],
    "doc/python-reference.md": ["TRUNCATED_BLOCK"],
    "doc/matlab.md": ["TRUNCATED_BLOCK"],
    "doc/windows.md": ["OPEN_INPUT_FAILED"],
    "tests/windows_wildcards.sh": ["OPEN_INPUT_FAILED"],
    "python/tests/test_owntext.py": ["OPEN_OUTPUT_FAILED", "INPUT_IS_OWN_TEXT", "INPUT_IS_EMPTY_TEXT"],
    "python/tests/test_index.py": ["TRUNCATED_BLOCK"],
    "python/tests/test_cli.py": ["TRUNCATED_BLOCK"],
    "python/tests/test_export.py": ["TRUNCATED_BLOCK"],
}  # fmt: skip


def constants(header: str, kind: str) -> dict[str, str]:
    """Returns the string constants of `kind` ("char" arrays or
    "std::string_view") in src/`header`, by name."""
    literal = r'"((?:[^"\\]|\\.)*)"'

    def text(literals: str) -> str:  # adjacent literals joined, their escapes undone
        joined = "".join(re.findall(literal, literals))
        return re.sub(r"\\(.)", lambda m: "\n" if m[1] == "n" else m[1], joined)

    pattern = rf"constexpr {re.escape(kind)} (\w+)(?:\[\])?\s*=\s*((?:{literal}\s*)+);"
    found = re.findall(pattern, (ROOT / "src" / header).read_text())
    return {name: text(literals) for name, literals, _ in found}


def read_messages() -> dict[str, str]:
    """Returns the printf formats of src/messages.h by name."""
    return constants("messages.h", "char")


def converter_problems(quarvel: str, messages: dict[str, str]) -> list[str]:
    """Runs the converter on a file for each message, with -d, standard
    output on a full device, and compares its standard error."""
    from logbuilder import BlockPlan, log_bytes

    provoked = set()

    def m(name: str) -> str:
        provoked.add(name)
        return messages[name]

    log = log_bytes([BlockPlan(samples=[1, 2])])
    files = {"missing.txt": b"", "a": log, "a.txt": log, "f": log, "own": b"%ADC CHANNEL         : 1\r\n",
             "cut": log_bytes([BlockPlan(samples=[1, 2], declared=5)]), "full": log}  # fmt: skip
    links = {"f.txt": "f", "mem": "/proc/self/mem", "full.txt": "/dev/full"}
    expected = [
        m("OPEN_INPUT_FAILED") % "missing" + m("OPEN_REASON") % os.strerror(errno.ENOENT),
        m("INPUT_IS_EMPTY_TEXT") % "missing.txt",
        m("OPEN_OUTPUT_FAILED") % "a.txt" + m("OPEN_REASON") % m("OUTPUT_IS_ANOTHER_INPUT"),
        m("OPEN_OUTPUT_FAILED") % "f.txt" + m("OPEN_REASON") % m("OUTPUT_IS_INPUT"),
        m("INPUT_IS_OWN_TEXT") % "own",
        m("TRUNCATED_BLOCK") % ("cut", 2, 5),
        m("READ_FAILED") % "mem",
        m("WRITE_FAILED") % "full.txt",
        m("STANDARD_OUTPUT_FAILED"),
    ]
    with tempfile.TemporaryDirectory() as folder, open("/dev/full", "wb") as full:
        for name, data in files.items():
            Path(folder, name).write_bytes(data)
        for name, target in links.items():
            os.symlink(target, Path(folder, name))
        operands = ["missing", "missing.txt", "a", "a.txt", "f", "own", "cut", "mem", "full"]
        command = [quarvel, "-d", "--", *operands]
        environment = dict(os.environ, TZ="UTC", LC_ALL="C")
        done = subprocess.run(command, cwd=folder, env=environment, stdout=full, stderr=subprocess.PIPE)
    problems = [f"src/messages.h: {name} is not provoked here" for name in sorted(set(messages) - provoked)]
    if done.stderr.decode() != "".join(expected):
        problems.append(f"{quarvel} wrote {done.stderr!r}, src/messages.h says {''.join(expected)!r}")
    return problems


def copy_problems(messages: dict[str, str]) -> list[str]:
    """Looks for each message of each copy in it."""
    problems = []
    for path, copied in COPIES.items():
        text = " ".join((ROOT / path).read_text().split())
        for entry in copied:
            name, first, end = (entry, 0, None) if isinstance(entry, str) else entry
            parts = [part for part in re.split(r"%l?[sd]", messages[name].rstrip("\n")) if part][first:end]
            parts[0], parts[-1] = parts[0].lstrip(), parts[-1].rstrip()
            if not re.search(GAP.join(map(re.escape, parts)), text):
                problems.append(f"{path}: its copy of {name} {messages[name]!r} drifted from src/messages.h")
    return problems


def own_text_problems() -> list[str]:
    """Holds python/quarvel/_owntext.py against the converter's own-text rule."""
    path = "python/quarvel/_owntext.py"
    text = (ROOT / path).read_text()
    header = (ROOT / "src" / "owntext.h").read_text()
    wanted = {
        "FIRST_LINE_MAX": re.search(r"static_assert\(FIRST_LINE_MAX == (\d+)\)", header)[1],
        "TEXT_HEAD_SIZE": re.search(r"TEXT_HEAD_SIZE = (\d+);", header)[1],
    }
    problems = [f"{path}: {name} is not {value}, as in src/owntext.h" for name, value in wanted.items()
                if not re.search(rf"^{name} = {value}$", text, re.M)]  # fmt: skip
    for name, label in constants("summary.h", "std::string_view").items():
        if name.endswith("_LABEL") and label.removesuffix(": ") not in text:
            problems.append(f"{path}: its copy of {name} {label!r} drifted from src/summary.h")
    return problems


def main() -> int:
    sys.path.insert(0, str(ROOT / "python" / "tests"))
    try:
        import numpy  # noqa: F401 - logbuilder needs it
    except ImportError:
        print(f"skipped: {sys.executable} cannot import numpy")
        return 77
    converter = Path(os.environ.get("QUARVEL_TEST_BINARY", ROOT / "build" / "quarvel")).resolve()
    if not converter.exists():
        print(f"skipped: no converter at {converter}: build it, or set QUARVEL_TEST_BINARY")
        return 77
    messages = read_messages()
    problems = converter_problems(str(converter), messages) + copy_problems(messages) + own_text_problems()
    print("\n".join(problems) or f"{len(messages)} messages, {len(COPIES)} copies and the own-text rule agree")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
