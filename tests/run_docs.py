#!/usr/bin/env python3
"""Runs the code of the docs, so that they cannot drift from the code.

`python` runs every ```python block of doc/python*.md and doc/output.md;
`octave` every ```matlab block of doc/matlab.md and doc/output.md, in
Octave. The pages of a mode run in that order, each in document order and
each starting in one scratch folder that stands for the top of the source
tree (examples/ and python/ are there), so that a page can read what a page
before it wrote, as a reader who follows them would.

A block's output is checked against the bare ``` block right after it, if
there is one (trailing spaces, and blank lines at either end, ignored).
The blocks of a page between two shell steps run in one interpreter, as in
one session; a Python block that starts worker processes (it imports
distributed or multiprocessing, or has an `if __name__ == "__main__":`
guard) runs as a script of its own, as the docs say to save it.

Markers, in an HTML comment (which a reader does not see) on the line
before a block:
  <!-- skip: WHY -->       the block is not run; it is counted and listed
  <!-- save: NAME -->      the block is saved as the file NAME, which a
                           shell step runs
  <!-- run -->             a ```sh block runs as a shell step: it makes
                           files that the next blocks read; a session
                           (`$ ` lines) has its output checked
and anywhere, <!-- setup: COMMAND --> runs a shell step that makes what the
reader is assumed to have (a folder of logs). Shell steps run in bash with
`set -e`; their /tmp/ is the scratch folder's tmp/, and the folder a step
ends in is where the next blocks of the page run. The shell steps after a
page's last block of the mode, and its last session, are left out.

Usage: tests/run_docs.py python|octave [-v] [PAGE...]
The converter is $QUARVEL_TEST_BINARY, else build/quarvel; Octave is
$OCTAVE, else octave. Exit status: 0 when every block ran and gave its
shown output, 1 otherwise, 77 (skipped) when Octave, or a package that the
Python blocks need, is missing."""

from __future__ import annotations

import argparse
import ast
import contextlib
import importlib.util
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parents[1]
sys.dont_write_bytecode = True  # no byte code of conftest in the source tree
PAGES = {
    # getting started first; the pages after it read the campaign that one of them writes
    "python": sorted(ROOT.glob("doc/python*.md"), key=lambda p: (p.name != "python.md", p.name))
    + [ROOT / "doc/output.md"],
    "octave": [ROOT / "doc/matlab.md", ROOT / "doc/output.md"],
}
LANGUAGE = {"python": "python", "octave": "matlab"}
# What the Python blocks need beyond their own imports: the packages that
# quarvel imports when a function asks for them, and what registers its
# xarray engine (conftest: pytest, tomllib).
PYTHON_NEEDS = ["numpy", "pandas", "dask", "distributed", "xarray", "netCDF4", "zarr", "matplotlib",
                "pytest", "tomllib"]
FENCE = re.compile(r"^(```|~~~)\s*([\w+-]*)\s*$")
MARKER = re.compile(r"^<!--\s*(skip|run|save|setup)\b\s*:?\s*(.*?)\s*-->$")
# A block that starts worker processes runs as a script: they import it.
SCRIPT = re.compile(r"^if __name__ == .__main__.:|^(from|import) (distributed|multiprocessing)\b", re.M)
SESSION = re.compile(r"^\$ ", re.M)  # a shell session: commands after $, and their output
TIMEOUT = 600
SCRIPT_TIMEOUT = 120  # a script without its guard hangs, starting clusters in its workers
TAIL = 4000  # characters of a failed block's messages shown


@dataclass
class Block:
    page: Path
    line: int  # of the block's first line of code
    kind: str  # "code", "script", "save", "shell" (a step), "command" (not run) or "skip"
    text: str
    output: str | None = None  # the output shown after it
    why: str = ""

    @property
    def where(self) -> str:
        return f"{self.page.relative_to(ROOT)}:{self.line}"


def page_blocks(page: Path, language: str) -> list[Block]:
    """Returns the blocks of a page that the mode runs or skips, and its
    shell steps, in document order."""
    lines = page.read_text(encoding="utf-8").splitlines()
    found: list[Block] = []
    marker: tuple[str, str] | None = None
    i = 0
    while i < len(lines):
        fence, setup = FENCE.match(lines[i]), MARKER.match(lines[i].strip())
        if setup and setup.group(1) == "setup":
            found.append(Block(page, i + 1, "shell", setup.group(2)))
        if not fence:
            if lines[i].strip():
                marker = (setup.group(1), setup.group(2)) if setup else None
            i += 1
            continue
        end = next(j for j in range(i + 1, len(lines)) if lines[j].strip() == fence.group(1))
        text, lang = "\n".join(lines[i + 1 : end]) + "\n", fence.group(2)
        block = Block(page, i + 2, "code", text)
        if marker and marker[0] == "save":
            block.kind, block.why = marker
            found.append(block)
        elif lang == language:
            if marker and marker[0] == "skip":
                block.kind, block.why = marker
            elif language == "python" and SCRIPT.search(text):
                block.kind = "script"
            found.append(block)
        elif lang in ("sh", "bash"):
            block.kind = "shell" if marker and marker[0] == "run" else "command"
            found.append(block)
        i, marker = end + 1, None
        after = next((j for j in range(i, len(lines)) if lines[j].strip()), len(lines))
        shown = FENCE.match(lines[after]) if after < len(lines) else None
        if block.kind in ("code", "script", "skip") and lang == language and shown and not shown.group(2):
            close = next(j for j in range(after + 1, len(lines)) if lines[j].strip() == shown.group(1))
            block.output = "\n".join(lines[after + 1 : close])
            i = close + 1
    return found


class Finished(NamedTuple):
    returncode: int
    stdout: str
    stderr: str


def normal(text: str) -> list[str]:
    """The lines of an output, as compared: without trailing spaces (and the
    CR of quarvel's text), without blank lines at either end."""
    lines = [line.rstrip() for line in text.splitlines()]
    while lines and not lines[-1]:
        lines.pop()
    while lines and not lines[0]:
        lines.pop(0)
    return lines


class Run:
    """The scratch folder, environment and findings of one mode's run."""

    def __init__(self, mode: str, scratch: Path, verbose: bool) -> None:
        self.mode, self.scratch, self.verbose = mode, scratch, verbose
        self.top = scratch / "top"
        self.top.mkdir()
        for name in ("examples", "python"):
            (self.top / name).symlink_to(ROOT / name)
        (scratch / "tmp").mkdir()
        tools = scratch / "bin"
        tools.mkdir()
        converter = os.environ.get("QUARVEL_TEST_BINARY") or str(ROOT / "build" / "quarvel")
        (tools / "quarvel").symlink_to(Path(converter).resolve())
        (tools / "python3").symlink_to(sys.executable)
        site = scratch / "site"
        site.mkdir()
        if mode == "python":
            sys.path.insert(0, str(ROOT / "python" / "tests"))
            from conftest import write_entry_points

            write_entry_points(site)  # as installing the package does: engine="quarvel"
        self.env = dict(
            os.environ,
            TZ="UTC",
            LC_ALL="C",
            MPLBACKEND="Agg",
            PYTHONDONTWRITEBYTECODE="1",
            PATH=os.pathsep.join([str(tools), str(ROOT / "contrib"), os.environ.get("PATH", "")]),
            PYTHONPATH=os.pathsep.join([str(ROOT / "python"), str(site)]),
        )
        self.ran = self.checked = self.steps = self.saved = self.commands = 0
        self.failures: list[str] = []
        self.skipped: list[Block] = []

    def page(self, page: Path, blocks: list[Block]) -> None:
        """Runs a page's blocks: the code blocks between two shell steps or
        scripts in one session."""
        cwd, session = self.top, []
        self.skipped += [block for block in blocks if block.kind == "skip"]
        unsaid = [block for block in blocks if block.kind == "skip" and not block.why]
        self.failures += [f"{block.where}: a skip says why: <!-- skip: WHY -->" for block in unsaid]
        self.commands += sum(block.kind == "command" for block in blocks)
        checks = [n for n, b in enumerate(blocks)
                  if b.kind in ("code", "script") or b.kind == "shell" and SESSION.search(b.text)]  # fmt: skip
        for block in blocks[: max(checks, default=-1) + 1]:  # not the shell steps that no check needs
            if block.kind == "code":
                session.append(block)
            elif block.kind == "save":
                (cwd / block.why).write_text(block.text, encoding="utf-8")
                self.saved += 1
            elif block.kind in ("script", "shell"):
                if session:
                    self.session(session, cwd)
                    session = []
                if block.kind == "script":
                    self.script(block, cwd)
                else:
                    cwd = self.shell(block, cwd)
        if session:
            self.session(session, cwd)

    def check(self, block: Block, output: str, error: str | None) -> None:
        """Notes a block's failure, or that it ran (and gave its shown output)."""
        if error:
            error = error.rstrip()[-TAIL:]
            self.failures.append(f"{block.where}: the block failed:\n{error}\n--- its output:\n{output}")
            return
        self.ran += 1
        if block.output is not None:
            self.checked += 1
            self.compare(block, block.output, output)

    def compare(self, block: Block, shown: str, got: str) -> None:
        if normal(got) != normal(shown):
            shown, got = "\n".join(normal(shown)), "\n".join(normal(got))
            self.failures.append(f"{block.where}: not the output shown\n--- shown:\n{shown}\n--- got:\n{got}")

    def child(self, command: list[str], cwd: Path, stdin: str = "", timeout: int = TIMEOUT) -> Finished:
        """Runs a command in a process group of its own, which a timeout
        kills whole (workers too)."""
        started = time.monotonic()
        pipe = subprocess.PIPE
        with subprocess.Popen(command, cwd=cwd, env=self.env, stdin=pipe, stdout=pipe, stderr=pipe, text=True,
                              start_new_session=True) as process:  # fmt: skip
            try:
                out, err = process.communicate(stdin, timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                out, err = process.communicate()
                err += f"\nrun_docs: killed after {timeout} s"
        if self.verbose:
            print(f"run_docs: {' '.join(command[:2])}... in {cwd}: {time.monotonic() - started:.1f} s", flush=True)
        return Finished(process.returncode, out, err)

    def session(self, blocks: list[Block], cwd: Path) -> None:
        if self.mode == "python":
            results = self.scratch / "results.json"
            request = [{"code": b.text, "page": str(b.page), "line": b.line} for b in blocks]
            done = self.child([sys.executable, __file__, "--session", str(results)], cwd, json.dumps(request))
            found = json.loads(results.read_text()) if results.exists() else []
            results.unlink(missing_ok=True)
            if not found:
                found = [{"output": done.stdout, "error": done.stderr or f"status {done.returncode}"}]
        else:
            found = self.octave(blocks, cwd)
        for block, result in zip(blocks, found):
            self.check(block, result["output"], result["error"])
        for block in blocks[len(found) :]:
            self.failures.append(f"{block.where}: not reached: a block before it failed")

    def octave(self, blocks: list[Block], cwd: Path) -> list[dict]:
        """Runs MATLAB blocks in one Octave session; returns each one's output
        and error, up to the first that fails."""
        folder = Path(tempfile.mkdtemp(dir=self.scratch, prefix="octave"))
        calls = []
        for n, block in enumerate(blocks):
            # Blank lines first, so that Octave's line numbers are the page's.
            (folder / f"doc_block_{n}.m").write_text("\n" * (block.line - 1) + block.text, encoding="utf-8")
            calls.append(f"printf('\\n@@block {n}\\n'); doc_block_{n};")
        script = (f"addpath('{ROOT / 'matlab'}', '{folder}'); try, {' '.join(calls)}"
                  " catch err, printf('\\n@@error\\n'); disp(err.message);"
                  " for s = err.stack', printf('  %s line %d\\n', s.name, s.line); end; exit(1); end")
        octave = os.environ.get("OCTAVE", "octave")
        done = self.child([octave, "--no-gui", "--no-window-system", "--quiet", "--no-init-file", "--no-history",
                           "--eval", script], cwd)  # fmt: skip
        labels_texts = re.split(r"\n@@(block \d+|error)\n", done.stdout)[1:]
        found, error = [], None
        for label, text in zip(labels_texts[::2], labels_texts[1::2]):
            if label == "error":
                error = text
            else:
                found.append({"output": text, "error": None})
        if not found:
            return [{"output": done.stdout, "error": done.stderr or f"status {done.returncode}"}]
        if error is not None or done.returncode:
            found[-1]["error"] = f"{error or ''}{done.stderr}" or f"status {done.returncode}"
        return found

    def script(self, block: Block, cwd: Path) -> None:
        path = self.scratch / f"{block.page.stem}-{block.line}.py"
        path.write_text(block.text, encoding="utf-8")
        done = self.child([sys.executable, str(path)], cwd, timeout=SCRIPT_TIMEOUT)
        self.check(block, done.stdout, f"status {done.returncode}\n{done.stderr}" if done.returncode else None)

    def shell(self, block: Block, cwd: Path) -> Path:
        """Runs a shell step; returns the folder it ends in."""
        lines = block.text.replace("/tmp/", f"{self.scratch}/tmp/").splitlines()
        commands = [line[2:] for line in lines if SESSION.match(line)]
        shown = [line for line in lines if not SESSION.match(line)] if commands else None
        ends = self.scratch / "cwd"
        ends.unlink(missing_ok=True)
        script = "\n".join(["set -e", *(commands or lines), f'pwd > "{ends}"'])
        done = self.child(["bash", "-c", script], cwd)
        self.steps += 1
        if done.returncode:
            said = (done.stdout + done.stderr)[-TAIL:]
            self.failures.append(f"{block.where}: the shell step failed ({done.returncode}):\n{said}")
        elif shown is not None:
            self.compare(block, "\n".join(shown), done.stdout)
        return Path(ends.read_text().strip()) if ends.exists() else cwd


def missing(mode: str, blocks: list[Block]) -> list[str]:
    """Returns what the mode needs that is missing: Octave, or the modules
    that the Python blocks import, and those that quarvel imports for them."""
    if mode == "octave":
        octave = os.environ.get("OCTAVE", "octave")
        return [] if shutil.which(octave) else [octave]
    names = set(PYTHON_NEEDS)
    for block in blocks:
        if block.kind in ("code", "script"):
            for node in ast.walk(ast.parse(block.text)):
                if isinstance(node, ast.Import):
                    names.update(alias.name.split(".")[0] for alias in node.names)
                elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
                    names.add(node.module.split(".")[0])
    sys.path.insert(0, str(ROOT / "python"))
    return sorted(name for name in names if importlib.util.find_spec(name) is None)


def run_session(results: str) -> None:
    """In a child process: runs the blocks given on standard input in one
    namespace, and writes each one's output and error into `results`."""
    namespace = {"__name__": "__main__"}
    done = []
    for block in json.load(sys.stdin):
        out = io.StringIO()
        error = None
        try:
            # Blank lines first, so that a traceback names the page's lines.
            code = compile("\n" * (block["line"] - 1) + block["code"], block["page"], "exec")
            with contextlib.redirect_stdout(out):
                exec(code, namespace)  # noqa: S102 - the docs' own code
        except BaseException:  # noqa: BLE001 - reported as the block's failure
            error = traceback.format_exc()
        done.append({"output": out.getvalue(), "error": error})
        if error:
            break
    Path(results).write_text(json.dumps(done), encoding="utf-8")


def main() -> int:
    if sys.argv[1:2] == ["--session"]:
        run_session(sys.argv[2])
        return 0
    parser = argparse.ArgumentParser(description="Runs the code blocks of the docs.")
    parser.add_argument("mode", choices=sorted(PAGES))
    parser.add_argument("-v", "--verbose", action="store_true", help="say what runs, and how long it takes")
    parser.add_argument("pages", nargs="*", metavar="PAGE", help="only these of the mode's pages")
    args = parser.parse_args()
    pages = [p for p in PAGES[args.mode] if not args.pages or any(p.samefile(q) for q in args.pages)]
    blocks = {page: page_blocks(page, LANGUAGE[args.mode]) for page in pages}
    lacking = missing(args.mode, [b for found in blocks.values() for b in found])
    if lacking:
        where = "not found" if args.mode == "octave" else f"which {sys.executable} cannot import"
        print(f"skipped: the docs' {args.mode} blocks need {', '.join(lacking)}, {where}")
        return 77
    with tempfile.TemporaryDirectory(prefix="quarvel-docs-") as scratch:
        run = Run(args.mode, Path(scratch), args.verbose)
        for page, found in blocks.items():
            run.page(page, found)
    for failure in run.failures:
        print(f"\n{failure}")
    listed = "".join(f"\n  {block.where}: {block.why}" for block in run.skipped)
    print(f"\nrun_docs {args.mode}: {run.ran} blocks ran ({run.checked} with their output checked), with"
          f" {run.steps} shell steps and {run.saved} saved files; {len(run.skipped)} not run, as marked;"
          f" {run.commands} shell blocks left to the reader; {len(run.failures)} failed{listed}")  # fmt: skip
    return 1 if run.failures else 0


if __name__ == "__main__":
    sys.exit(main())
