"""Bad, hostile and changing input files, as one table: every case makes
its files in an empty folder and names the operands that each face of
quarvel (the converter, the Python reader, `info`, `plot`, the Octave
reader, `quarvel-merge`) is given, with what each operand is. tests/hostile.py
runs every face on every case and derives what each must do from that."""

from __future__ import annotations

import errno
import os
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

from logbuilder import INT32_MAX, INT32_MIN, BlockPlan, edge_samples, log_bytes

# The example block: channel 3, 500 ms, first sample at 2^30 s, gain 0.5,
# offset 1.0, samples 100 and -100; and the text that `quarvel -q` writes
# for it with TZ=UTC.
EXAMPLE_BLOCK = BlockPlan(
    channel=3,
    period=500,
    first_time=1 << 30,
    samples=np.array([100, -100], dtype=np.int16),
    gain_bits=0x3F000000,
    offset_bits=0x3F800000,
)
EXAMPLE_LOG = log_bytes([EXAMPLE_BLOCK])
EXAMPLE_RECORDS = ("51.000000", "-49.000000")
EXAMPLE_TEXT = (
    b"%ADC CHANNEL         : 3\r\n"
    b"%SAMPLE PERIOD       : 500 ms\r\n"
    b"%FIRST SAMPLE LOGGED : Sat Jan 10 13:37:04 2004\r\n"
    b"%TOTAL SAMPLES       : 2\r\n"
    b"%CALIBRATION OFFSET  : 1.000000\r\n"
    b"%CALIBRATION GAIN    : 0.500000\r\n" + "".join(r + "\r\n" for r in EXAMPLE_RECORDS).encode()
)

# What an operand is, which decides what every face must do with it.
LOG = "log"  # a logger file (any bytes a regular file holds)
TEXT = "text"  # a text file that quarvel wrote
MISSING = "missing"
FOLDER = "folder"
UNREADABLE = "unreadable"  # no read permission
DEVICE = "device"  # a link to /dev/zero: endless
FIFO = "fifo"  # a named pipe, fed the example log while a face runs

# How the Python reader's file changes while it is open.
SHRINK = "shrink"  # truncated to 100 bytes after opening, before the samples are read
REWRITE = "rewrite"  # rewritten with other bytes after opening, before the samples are read
REPLACE = "replace"  # arrays taken, the log closed, then another file copied over it
SAMPLES = "samples"  # its samples rewritten in place: the same size and headers, a later time
RENAME = "rename"  # another log of the same size, headers and time renamed over its name
GROW = "grow"  # a block appended, as by a logger still writing
READ_AS_OPENED = (RENAME, GROW)  # changes after which the reader must give the samples as they were


@dataclass
class Operand:
    """One file named on a face's command line, and what it holds."""

    name: str  # as on the command line; os.fsencode gives its bytes
    kind: str = LOG
    blocks: int = 1
    samples: int = 2  # present, in all blocks
    truncated: tuple[int, int] | None = None  # samples present and declared, when the last block is cut short
    text: bytes | None = EXAMPLE_TEXT  # what `quarvel -q` writes for it, when known
    plot_may_fail: bool = False  # plot may refuse it, with one clear line
    empty: bool = False  # a file of no bytes
    # A log whose first line is a record of no field, as in quarvel's text:
    # the converter refuses it as its own text; quarvel-merge keeps that
    # record and refuses the file at line 2.
    starts_as_text: bool = False
    # The commands that take many logs (info, plot --coverage, check) take a
    # file once: an operand that names a file named before (`again`) gives
    # them nothing, and a glob pattern stands for the logs it `matches`
    # (files only), while every other face takes it as the path it is.
    again: bool = False
    matches: tuple[str, ...] = ()


def example(name: str) -> Operand:
    """An operand that holds the example log."""
    return Operand(name)


def as_campaign(operands: list[Operand]) -> list[Operand]:
    """Returns the operands as the commands that take many logs take them:
    a file named again left out, a pattern replaced by the example logs it
    matches."""
    taken = []
    for o in operands:
        if o.matches:
            taken += [example(name) for name in o.matches]
        elif not o.again:
            taken.append(o)
    return taken


@dataclass(frozen=True)
class Refusal:
    """The converter's result where it cannot open an operand's text file:
    the operand, the text files it creates all the same (for the other
    operands), and the system's error that -d gives as the reason, where
    the text file is not another operand of the run."""

    operand: str
    created: frozenset[str]
    error: int | None = None


@dataclass
class Case:
    """A hostile input: the files it makes and the operands of each face."""

    name: str
    about: str
    make: Callable[[Path], None]  # writes the case's files into an empty folder
    operands: list[Operand]
    merge_operands: list[Operand] | None = None  # quarvel-merge's, when not the same
    converter_options: tuple[str, ...] = ("-q",)
    converter: Refusal | None = None  # the converter's result, when the case decides it
    change: str | None = None  # how the Python reader's file changes while open
    octave_path: str | None = None  # a folder the Octave reader has on its search path
    feed: bytes = EXAMPLE_LOG  # what a FIFO is fed
    # A file of the case that plot and plot --coverage are told to write
    # their picture into: an input, which they must refuse.
    plot_output: str | None = None
    # A file and bytes appended to it once a face has opened the case's FIFO,
    # before the FIFO is fed: a logger writing while the face waits.
    appended: tuple[str, bytes] | None = None
    faces: tuple[str, ...] | None = None  # the faces that run the case, when not all


def files(*pairs: tuple[str, bytes]) -> Callable[[Path], None]:
    """Returns a maker of the files named, with their bytes."""

    def make(folder: Path) -> None:
        for name, data in pairs:
            path = folder / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)

    return make


def then(*makers: Callable[[Path], None]) -> Callable[[Path], None]:
    def make(folder: Path) -> None:
        for maker in makers:
            maker(folder)

    return make


def folder_named(name: str, bits: int | None = None) -> Callable[[Path], None]:
    def make(folder: Path) -> None:
        (folder / name).mkdir(exist_ok=True)
        if bits is not None:
            (folder / name).chmod(bits)

    return make


def chmod(name: str, bits: int) -> Callable[[Path], None]:
    def make(folder: Path) -> None:
        (folder / name).chmod(bits)

    return make


def symlink(name: str, target: str) -> Callable[[Path], None]:
    def make(folder: Path) -> None:
        (folder / name).symlink_to(target)

    return make


def hardlink(name: str, target: str) -> Callable[[Path], None]:
    def make(folder: Path) -> None:
        os.link(folder / target, folder / name)

    return make


def fifo(name: str) -> Callable[[Path], None]:
    def make(folder: Path) -> None:
        os.mkfifo(folder / name)

    return make


def million_empty_headers() -> bytes:
    """A million headers that declare no samples: 24 MB."""
    return BlockPlan(channel=1, period=1, first_time=0).to_bytes() * 1_000_000


def long_block(period: int, first_time: int, count: int) -> bytes:
    """One block of `count` samples, `period` ms apart from `first_time`."""
    rng = np.random.default_rng(period & 0xFFFF)
    return log_bytes([BlockPlan(channel=2, period=period, first_time=first_time, samples=edge_samples(rng, count))])


BIG_SAMPLES = 100_000  # a log of several pages, so that a reader maps it
BIG_LOG = long_block(1, 1796083200, BIG_SAMPLES)
OTHER_BIG_LOG = long_block(3, 1796083200, BIG_SAMPLES)
# The big log's header with its samples in reverse: the same size and header.
SAME_HEADER_BIG_LOG = BIG_LOG[:24] + np.frombuffer(BIG_LOG, ">i2", offset=24)[::-1].tobytes()


def cut_log() -> bytes:
    """The example block, then a block that declares 5 samples and holds 2
    and an odd byte."""
    cut = BlockPlan(channel=4, period=10, first_time=5, samples=np.array([7, -7], dtype=np.int16), declared=5)
    return log_bytes([EXAMPLE_BLOCK, cut], tail=b"\x01")


def huge_count_log() -> bytes:
    """A block that declares 2^31-1 samples and holds 3."""
    return log_bytes([BlockPlan(samples=np.array([1, 2, 3], dtype=np.int16), declared=INT32_MAX)])


def far_times_log(after_9999: bool) -> bytes:
    """One block whose times run past the year 9999 (the longest period
    forward from the last 32-bit second), or before the year 1 (the
    longest period backward from the first)."""
    if after_9999:
        return long_block(INT32_MAX, INT32_MAX, 120_000)  # about 8,000 years on
    return long_block(1 << 31, INT32_MIN, 120_000)  # -2^31 ms a step: 8,000 years back


def max_gain_log() -> bytes:
    """Gains and offsets of the largest finite binary32 magnitude."""
    blocks = [
        BlockPlan(samples=np.array([1, -1, 0], dtype=np.int16), gain_bits=0x7F7FFFFF, offset_bits=0x7F7FFFFF),
        BlockPlan(channel=2, samples=np.array([32767], dtype=np.int16), gain_bits=0xFF7FFFFF, offset_bits=0x7F7FFFFF),
    ]
    return log_bytes(blocks)


# A log whose first channel, 0x0D0A3031, starts it with CR LF "01", as
# quarvel's text can: refused as such, and never written over.
CR_LF_LOG = log_bytes([BlockPlan(**{**EXAMPLE_BLOCK.__dict__, "channel": 0x0D0A3031})])
CR_LF_OPERAND = Operand("x.txt", text=None, starts_as_text=True)
CR_LF_REFUSAL = Refusal("x", frozenset())


def two_block_log() -> bytes:
    """The example block, then the same on channel 4: a log other than
    the example, so that a reader that opens the wrong file is seen."""
    other = BlockPlan(**{**EXAMPLE_BLOCK.__dict__, "channel": 4})
    return log_bytes([EXAMPLE_BLOCK, other])


def neighbours(*middle: Operand) -> list[Operand]:
    """Example logs before and after `middle`: the faces must still convert,
    read or report them."""
    return [example("first.002"), *middle, example("last.002")]


def text_neighbours(*middle: Operand) -> list[Operand]:
    """quarvel's text before and after `middle`, for quarvel-merge."""
    return [Operand("first.txt", TEXT), *middle, Operand("last.txt", TEXT)]


NEIGHBOURS = files(
    ("first.002", EXAMPLE_LOG), ("last.002", EXAMPLE_LOG), ("first.txt", EXAMPLE_TEXT), ("last.txt", EXAMPLE_TEXT)
)


def guard(first: str, second: str, refused: str) -> Refusal:
    """The converter's result when the output of `refused` is another
    operand of the run: refused, and the other operand converted."""
    created = frozenset({first + ".txt", second + ".txt"} - {refused + ".txt"})
    return Refusal(refused, created)


CASES: list[Case] = [
    Case("control", "an example log", files(("good.002", EXAMPLE_LOG)), [example("good.002")]),
    Case(
        "empty",
        "a file of no bytes",
        files(("empty.002", b"")),
        [Operand("empty.002", blocks=0, samples=0, text=b"", empty=True)],
    ),
    Case(
        "one-byte",
        "a file of 1 byte",
        files(("one.002", b"\x01")),
        [Operand("one.002", blocks=0, samples=0, text=b"")],
    ),
    Case(
        "23-bytes",
        "a file one byte short of a header",
        files(("short.002", EXAMPLE_LOG[:23])),
        [Operand("short.002", blocks=0, samples=0, text=b"")],
    ),
    Case(
        "huge-count",
        "a header that declares 2^31-1 samples, with 3 present",
        files(("huge.002", huge_count_log())),
        [Operand("huge.002", samples=3, truncated=(3, 2147483647), text=None)],
    ),
    Case(
        "cut-block",
        "a second block cut short, and an odd byte",
        files(("cut.002", cut_log())),
        [Operand("cut.002", blocks=2, samples=4, truncated=(2, 5), text=None)],
    ),
    Case(
        "million-empty-headers",
        "a million headers that declare no samples (24 MB)",
        files(("million.002", million_empty_headers())),
        [Operand("million.002", blocks=1_000_000, samples=0, text=None)],
        converter_options=("-q", "-S"),
    ),
    Case(
        "max-gain",
        "gains and offsets of bits 0x7F7FFFFF and 0xFF7FFFFF",
        files(("maxgain.002", max_gain_log())),
        [Operand("maxgain.002", blocks=2, samples=4, text=None)],
    ),
    Case(
        "after-year-9999",
        "times that run past the year 9999",
        files(("late.002", far_times_log(True))),
        [Operand("late.002", samples=120_000, plot_may_fail=True, text=None)],
    ),
    Case(
        "before-year-1",
        "times that run back before the year 1",
        files(("early.002", far_times_log(False))),
        [Operand("early.002", samples=120_000, plot_may_fail=True, text=None)],
    ),
    Case(
        "mathtext-name",
        "a name that matplotlib would read as mathtext",
        files(("a$\\foo$b.002", EXAMPLE_LOG), ("a$\\foo$b.txt", EXAMPLE_TEXT)),
        [example("a$\\foo$b.002")],
        merge_operands=[Operand("a$\\foo$b.txt", TEXT)],
    ),
    Case(
        "markup-name",
        "a log cut short whose name holds <, >, & and quotes, which an HTML report must escape",
        files(('<i>&amp;"cut".002', cut_log()), ('<i>&amp;"cut".txt', EXAMPLE_TEXT)),
        [Operand('<i>&amp;"cut".002', blocks=2, samples=4, truncated=(2, 5), text=None)],
        merge_operands=[Operand('<i>&amp;"cut".txt', TEXT)],
    ),
    Case(
        "space-name",
        "a name with spaces",
        files(("log with spaces.002", EXAMPLE_LOG), ("text with spaces.txt", EXAMPLE_TEXT)),
        [example("log with spaces.002")],
        merge_operands=[Operand("text with spaces.txt", TEXT)],
    ),
    Case(
        "newline-name",
        "a name with a newline, which could forge a line of a report",
        files(("two\nlines.002", EXAMPLE_LOG), ("two\nlines, \"quoted\".txt", EXAMPLE_TEXT)),
        [example("two\nlines.002")],
        merge_operands=[Operand('two\nlines, "quoted".txt', TEXT)],
    ),
    Case(
        "leading-dash",
        "a name that starts with - and reads as an option",
        files(("-n5.002", EXAMPLE_LOG), ("-c.txt", EXAMPLE_TEXT)),
        [example("-n5.002")],
        merge_operands=[Operand("-c.txt", TEXT)],
    ),
    Case(
        "named-dash",
        "a file named -, which is no standard input",
        files(("-", EXAMPLE_LOG)),
        [example("-")],
    ),
    Case(
        "not-utf8-name",
        "a name whose bytes are not UTF-8",
        files((os.fsdecode(b"caf\xe9.002"), EXAMPLE_LOG), (os.fsdecode(b"caf\xe9.txt"), EXAMPLE_TEXT)),
        [example(os.fsdecode(b"caf\xe9.002"))],
        merge_operands=[Operand(os.fsdecode(b"caf\xe9.txt"), TEXT)],
    ),
    Case(
        "windows-like-names",
        "the names \\x.002 and C:y.002 in the current folder, other logs of those names on the search path",
        files(
            ("\\x.002", EXAMPLE_LOG),
            ("C:y.002", EXAMPLE_LOG),
            ("elsewhere/\\x.002", two_block_log()),
            ("elsewhere/C:y.002", two_block_log()),
        ),
        [example("\\x.002"), example("C:y.002")],
        octave_path="elsewhere",
    ),
    Case(
        "only-on-search-path",
        "names found only in a folder on the search path, not in the current folder",
        files(
            ("elsewhere/\\x.002", EXAMPLE_LOG),
            ("elsewhere/C:y.002", EXAMPLE_LOG),
            ("elsewhere/plain.002", EXAMPLE_LOG),
        ),
        [Operand("\\x.002", MISSING), Operand("C:y.002", MISSING), Operand("plain.002", MISSING)],
        octave_path="elsewhere",
    ),
    Case(
        "missing",
        "a file that does not exist, between two logs",
        NEIGHBOURS,
        neighbours(Operand("missing.002", MISSING)),
        merge_operands=text_neighbours(Operand("missing.txt", MISSING)),
    ),
    Case(
        "folder",
        "a folder, between two logs",
        then(NEIGHBOURS, folder_named("folder.002"), folder_named("folder.txt")),
        neighbours(Operand("folder.002", FOLDER)),
        merge_operands=text_neighbours(Operand("folder.txt", FOLDER)),
    ),
    Case(
        "unreadable",
        "a file without read permission, between two logs",
        then(
            NEIGHBOURS,
            files(("secret.002", EXAMPLE_LOG), ("secret.txt", EXAMPLE_TEXT)),
            chmod("secret.002", 0),
            chmod("secret.txt", 0),
        ),
        neighbours(Operand("secret.002", UNREADABLE)),
        merge_operands=text_neighbours(Operand("secret.txt", UNREADABLE)),
    ),
    Case(
        "dev-zero",
        "a link to /dev/zero, between two logs: endless zero bytes",
        then(NEIGHBOURS, symlink("zero.002", "/dev/zero")),
        neighbours(Operand("zero.002", DEVICE)),
        merge_operands=text_neighbours(Operand("zero.002", DEVICE)),
    ),
    Case(
        "fifo",
        "a named pipe that a writer feeds the example log",
        fifo("pipe.002"),
        [Operand("pipe.002", FIFO)],
    ),
    Case(
        "read-only-folder",
        "a log in a folder where no text file can be created",
        then(files(("ro/log.002", EXAMPLE_LOG)), folder_named("ro", 0o555)),
        [example("ro/log.002")],
        converter=Refusal("ro/log.002", frozenset(), errno.EACCES),
    ),
    Case(
        "own-text",
        "text that quarvel wrote, named as a log (quarvel run over *)",
        files(("run.002.txt", EXAMPLE_TEXT)),
        [Operand("run.002.txt", TEXT)],
    ),
    Case(
        "output-is-operand",
        "logs a and a.txt: a's output would be the other operand",
        files(("a", EXAMPLE_LOG), ("a.txt", EXAMPLE_LOG)),
        [example("a"), example("a.txt")],
        converter=guard("a", "a.txt", "a"),
    ),
    Case(
        "output-is-operand-reversed",
        "logs a.txt and a, in that order",
        files(("a", EXAMPLE_LOG), ("a.txt", EXAMPLE_LOG)),
        [example("a.txt"), example("a")],
        converter=guard("a.txt", "a", "a"),
    ),
    Case(
        "output-is-log-starting-as-text",
        "logs x and x.txt, which starts with CR LF as quarvel's text can",
        files(("x", EXAMPLE_LOG), ("x.txt", CR_LF_LOG)),
        [example("x"), CR_LF_OPERAND],
        converter=CR_LF_REFUSAL,
    ),
    Case(
        "output-is-log-starting-as-text-reversed",
        "logs x.txt, which starts with CR LF as quarvel's text can, and x",
        files(("x", EXAMPLE_LOG), ("x.txt", CR_LF_LOG)),
        [CR_LF_OPERAND, example("x")],
        converter=CR_LF_REFUSAL,
    ),
    Case(
        "log-appended-mid-run",
        "a.txt empty, as a logger starts a file, and a log appended to it while the converter waits on the named"
        " pipe before a: a's text file would be a.txt, which now holds a log",
        then(fifo("pipe.002"), files(("a", EXAMPLE_LOG), ("a.txt", b""))),
        [Operand("pipe.002", FIFO), example("a"), example("a.txt")],
        converter=Refusal("a", frozenset({"pipe.002.txt", "a.txt.txt"})),
        appended=("a.txt", EXAMPLE_LOG),
        faces=("quarvel", "quarvel-d"),  # the ones that write over files
    ),
    Case(
        "output-is-symlink-to-operand",
        "logs b and c, and b.txt a symbolic link to c",
        then(files(("b", EXAMPLE_LOG), ("c", EXAMPLE_LOG)), symlink("b.txt", "c")),
        [example("b"), example("c")],
        converter=guard("b", "c", "b"),
    ),
    Case(
        "output-is-symlink-to-operand-reversed",
        "logs c and b, in that order, and b.txt a symbolic link to c",
        then(files(("b", EXAMPLE_LOG), ("c", EXAMPLE_LOG)), symlink("b.txt", "c")),
        [example("c"), example("b")],
        converter=guard("c", "b", "b"),
    ),
    Case(
        "output-is-hard-link-to-operand",
        "logs b and c, and b.txt a hard link to c",
        then(files(("b", EXAMPLE_LOG), ("c", EXAMPLE_LOG)), hardlink("b.txt", "c")),
        [example("b"), example("c")],
        converter=guard("b", "c", "b"),
    ),
    Case(
        "named-twice",
        "one log named twice, as a.002 and ./a.002",
        files(("a.002", EXAMPLE_LOG)),
        [example("a.002"), Operand("./a.002", again=True)],
    ),
    Case(
        "pattern-matches-folders",
        "a glob pattern, logs/**, that matches two logs and the folders that hold them",
        files(("logs/x.002", EXAMPLE_LOG), ("logs/sub/y.002", EXAMPLE_LOG)),
        [Operand("logs/**", MISSING, blocks=0, samples=0, text=None, matches=("logs/sub/y.002", "logs/x.002"))],
    ),
    Case(
        "plot-output-is-operand",
        "a log named sensor.raw, which plot is told to write its picture over (matplotlib writes .raw)",
        files(("sensor.raw", EXAMPLE_LOG)),
        [example("sensor.raw")],
        plot_output="sensor.raw",
    ),
    Case(
        "shrinks-while-open",
        "a log cut to 100 bytes after the reader opened it",
        files(("big.002", BIG_LOG)),
        [Operand("big.002", samples=BIG_SAMPLES, text=None)],
        change=SHRINK,
    ),
    Case(
        "rewritten-while-open",
        "a log rewritten with other samples after the reader opened it",
        files(("big.002", BIG_LOG)),
        [Operand("big.002", samples=BIG_SAMPLES, text=None)],
        change=REWRITE,
    ),
    Case(
        "samples-rewritten-while-open",
        "a log's samples rewritten after the reader opened it: the same size and header, a later time",
        files(("big.002", BIG_LOG)),
        [Operand("big.002", samples=BIG_SAMPLES, text=None)],
        change=SAMPLES,
    ),
    Case(
        "renamed-over-while-open",
        "another log of the same size, header and time renamed over one the reader opened",
        files(("big.002", BIG_LOG)),
        [Operand("big.002", samples=BIG_SAMPLES, text=None)],
        change=RENAME,
    ),
    Case(
        "replaced-after-close",
        "another log copied over a log whose arrays the reader returned",
        files(("big.002", BIG_LOG)),
        [Operand("big.002", samples=BIG_SAMPLES, text=None)],
        change=REPLACE,
    ),
]


def change_file(path: str, change: str) -> None:
    """Changes the log at `path` as `change` says: in place (the same
    inode), or for RENAME by renaming another file over it."""
    before = os.stat(path)
    if change == SHRINK:
        os.truncate(path, 100)
    elif change in (REWRITE, REPLACE, SAMPLES):
        with open(path, "r+b") as file:  # noqa: PTH123 - a path that may not be UTF-8
            file.truncate(0)
            file.write(SAME_HEADER_BIG_LOG if change == SAMPLES else OTHER_BIG_LOG)
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + 10**9))  # later, even on a coarse clock
    elif change == RENAME:
        with open(path + ".new", "wb") as file:  # noqa: PTH123
            file.write(SAME_HEADER_BIG_LOG)
        os.utime(path + ".new", ns=(before.st_atime_ns, before.st_mtime_ns))  # only the inode tells
        os.replace(path + ".new", path)
    elif change == GROW:
        with open(path, "ab") as file:  # noqa: PTH123
            file.write(EXAMPLE_LOG)
    else:
        raise ValueError(f"no change {change!r}")


def case_named(name: str) -> Case:
    """Returns the case of that name."""
    for case in CASES:
        if case.name == name:
            return case
    raise KeyError(name)


def remove_case_folder(folder: Path) -> None:
    """Removes a folder a case made, read-only folders included."""
    for root, dirs, _ in os.walk(folder):
        for name in dirs:
            os.chmod(os.path.join(root, name), 0o755)
    shutil.rmtree(folder)
