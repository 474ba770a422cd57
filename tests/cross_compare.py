#!/usr/bin/env python3
"""One log, one text on every machine.

Writes a fixed set of logger files and command lines (the same on every run):
the shared cases of python/tests/logbuilder.py and logs drawn from a fixed
seed. Runs each command line with the native x86-64 Linux build and with every
target's build, and compares what comes out byte for byte: the text files,
standard output, standard error and the exit status. Needs numpy.

Usage: cross_compare.py REFERENCE TARGET...
  REFERENCE  the native build's binary
  TARGET     NAME=BINARY[,LAUNCHER]: e.g. s390x=build/quarvel,qemu-s390x.
             A BINARY ending in .exe is a Windows program run under wine
             (WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES come from the caller).
             A BINARY ending in .js is the WebAssembly build run by node, as
             in wasm=build-web/quarvel-cli.js,node.

Every program is run with TZ, LC_ALL=C.UTF-8 (wine reads the arguments'
bytes as UTF-8 only in a UTF-8 locale) and what a case adds, and with the
binary's path as argv[0]: diagnostics must name it "quarvel" everywhere. The
banner's build date and time differ from build to build and are masked.

Differences that are expected, and so skipped for the Windows target only
(the first also for the WebAssembly build):
- Command lines with bytes that are not UTF-8: Windows arguments are UTF-16,
  such bytes cannot reach a Windows program (nor a web page's program, whose
  arguments are JavaScript strings).
- First-sample times before 1970 in a zone other than UTC, where the time is
  printed (console summaries or header lines): the Windows C runtime has no
  local time before 1970, and quarvel prints UTC there instead.
"""

import concurrent.futures
import difflib
import os
import random
import re
import runpy
import shlex
import shutil
import subprocess
import sys
import tempfile

# The logs come from the Python reader's test generator, beside its tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python", "tests"))
try:
    from logbuilder import FIRST_TIMES, PERIODS, BlockPlan, LogPlan, case_plans, float_bits
except ImportError as error:
    sys.exit(f"cross_compare: {error}: run it with a Python 3 that has numpy")

LONG_CASE = 50000  # shared cases of more samples are converted by the big command lines only
LOG_COUNT = 310  # shared and random logs in all
SEED = 20261208
BATCH_SIZE = 16
CONVERSION_CASES = 256  # one per combination of the eight record field options
ZONES = ["UTC0", "QRV-5:30"]  # both understood by glibc and the Windows C runtime
UTC_ZONE = "UTC0"
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
# The version of project() in CMakeLists.txt, as the Python package reads it.
VERSION = runpy.run_path(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python", "quarvel",
                                      "_version.py"))["project_version"]().encode()
BANNER = re.compile(
    rb"quarvel version " + re.escape(VERSION) + rb", built on [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} at [0-9:]{8}"
)
BANNER_MASK = b"quarvel version " + VERSION + b", built on <date> at <time>"


def before1970(log):
    return isinstance(log, LogPlan) and any(block.first_time < 0 for block in log.blocks)


def sampleCount(log):
    return sum(len(block.samples) for block in log.blocks)


class Generator:
    def __init__(self, seed):
        self.random = random.Random(seed)

    def pick(self, low, high):
        return self.random.randint(low, high)

    def samples(self, count):
        return [self.pick(-32768, 32767) for _ in range(count)]

    def shortCount(self):
        return self.random.choice([0, 1, 2, 5, self.pick(0, 60), self.pick(0, 400)])

    def anyFloatBits(self):
        return self.pick(0, 2**32 - 1)

    def ordinaryGain(self):
        return float_bits(self.pick(-100000, 100000) / self.random.choice([64, 1000, 4096, 3]))

    def ordinaryOffset(self):
        return float_bits(self.pick(-10**6, 10**6) / self.random.choice([1, 8, 1000, 7]))

    def modernTime(self):
        return self.pick(0, INT32_MAX)

    def block(self, count=None, **fields):
        count = self.shortCount() if count is None else count
        fields.setdefault("channel", self.random.choice([0, 1, 3, -1, INT32_MIN, INT32_MAX, self.pick(-999, 999)]))
        fields.setdefault("period", self.random.choice([1, 10, 250, 500, 1000, 3, self.pick(0, 60000)]))
        fields.setdefault("first_time", self.modernTime())
        fields.setdefault("gain_bits", float_bits(0.5))
        fields.setdefault("offset_bits", float_bits(1.0))
        return BlockPlan(samples=self.samples(count), **fields)


def periodLogs(gen):
    logs = []
    for _ in range(16):
        blocks = [gen.block(gen.pick(1, 200), period=gen.random.choice(PERIODS + [gen.pick(0, 2**32 - 1)]),
                            first_time=gen.random.choice([0, INT32_MAX, gen.modernTime()]))
                  for _ in range(gen.pick(1, 4))]
        logs.append(LogPlan(blocks))
    return logs


def timeLogs(gen):
    """First-sample times before 1970 and near both ends of 32 bits."""
    logs = []
    for _ in range(16):
        blocks = [gen.block(gen.pick(0, 30), first_time=gen.random.choice(FIRST_TIMES + [gen.pick(INT32_MIN, -1)]))
                  for _ in range(gen.pick(1, 4))]
        logs.append(LogPlan(blocks))
    return logs


def randomLogs(gen, count):
    logs = []
    for index in range(count):
        blocks = []
        for _ in range(gen.pick(1, 5)):
            anyBits = index % 3 == 0
            gain = gen.anyFloatBits() if anyBits else gen.ordinaryGain()
            offset = gen.anyFloatBits() if anyBits else gen.ordinaryOffset()
            blocks.append(gen.block(gain_bits=gain, offset_bits=offset, period=gen.pick(0, 2**32 - 1)))
        logs.append(LogPlan(blocks))
    return logs


def bigLogs(gen):
    """Blocks longer than a read buffer and a flush interval, repeating the
    same calibration, so that cached tails are used across blocks."""
    logs = []
    for count in [140000, 70000, 90000]:  # 140000 samples pass the 256 kB read buffer
        first = gen.block(count)
        same = BlockPlan(first.channel, first.period, first.first_time, gen.samples(gen.pick(4096, 9000)),
                         first.gain_bits, first.offset_bits)
        logs.append(LogPlan([first, same, gen.block(), same]))
    return logs


def makeLogs(gen, shared):
    """The shared cases that are not long and the generated logs, named, in
    batches that keep each kind together, the logs with times before 1970
    first (so that only one batch has them)."""
    named = [(f"{name}.002", log) for name, log in shared.items() if sampleCount(log) <= LONG_CASE]
    kinds = [periodLogs(gen), timeLogs(gen)]
    kinds.append(randomLogs(gen, LOG_COUNT - len(shared) - 3 - 2 - sum(len(kind) for kind in kinds)))
    named += [(None, log) for kind in kinds for log in kind]
    named.sort(key=lambda item: not before1970(item[1]))
    batches = [named[i:i + BATCH_SIZE] for i in range(0, len(named), BATCH_SIZE)]
    return [[(name or f"log{b:02d}-{i:02d}.002", log) for i, (name, log) in enumerate(batch)]
            for b, batch in enumerate(batches)]


class Case:
    def __init__(self, name, args, files, zone=UTC_ZONE, env=None, dirs=()):
        self.name = name
        self.args = [arg.encode() if isinstance(arg, str) else arg for arg in args]
        self.files = files  # name -> LogPlan or bytes
        self.zone = zone
        self.env = env or {}
        self.dirs = list(dirs)

    def command(self):
        words = [shlex.quote(arg.decode("utf-8", "backslashreplace")) for arg in self.args]
        env = " ".join(f"{key}={shlex.quote(value)}" for key, value in sorted(self.env.items()))
        return f"TZ={self.zone} {env + ' ' if env else ''}quarvel {' '.join(words)}".rstrip()

    def fileBytes(self, name):
        content = self.files[name]
        return content if isinstance(content, bytes) else content.to_bytes()

    def windowsSkipReason(self, utf8Only=False):
        try:
            for arg in self.args:
                arg.decode("utf-8")
        except UnicodeDecodeError:
            return "bytes that are not UTF-8"
        if utf8Only:
            return None
        named = [self.files.get(arg.decode("utf-8")) for arg in self.args]
        printsTimes = self.zone != UTC_ZONE and any(before1970(log) for log in named)
        if printsTimes and self.printsFirstSampleTimes():
            return "times before 1970 outside UTC"
        return None

    def printsFirstSampleTimes(self):
        """Whether console summaries or header lines may be printed: a cheap
        over-estimate from the option letters."""
        letters = b"".join(arg[1:] for arg in self.args if arg.startswith(b"-") and not arg.startswith(b"--"))
        headerModes = [letter for letter in letters if letter in b"sS"]
        return b"q" not in letters or not headerModes or headerModes[-1] != ord("S")


FIELD_LETTERS = "tcpNgorC"
MODULUS_VALUES = ["1", "2", "3", "7", "-1", "-3", "1024", "2147483647", "-2147483648", " 5", "+4x"]


def conversionCases(gen, batches):
    """One case per combination of the record field options, over the log
    batches in turn, with header modes, console options, moduli, zones and
    argument forms varied."""
    cases = []
    for k in range(CONVERSION_CASES):
        batch = batches[k % len(batches)]
        mask = k * 37 % 256
        letters = [letter for bit, letter in enumerate(FIELD_LETTERS) if mask >> bit & 1]
        letters += gen.random.choice([[], ["s"], ["S"], ["s", "S"], ["S", "s"]])
        letters += gen.random.choice([[], [], ["q"], ["d"], ["q", "d"]])
        gen.random.shuffle(letters)
        options = [f"-{''.join(letters)}"] if letters and gen.random.random() < 0.6 else [f"-{x}" for x in letters]
        if gen.random.random() < 0.4:
            modulus = gen.random.choice(MODULUS_VALUES)
            options += gen.random.choice([["-n", modulus], [f"-n{modulus}"]])
        files = dict(batch)
        names = list(files)
        env = {}
        if gen.random.random() < 0.15:
            env["POSIXLY_INCORRECT_GETOPT"] = gen.random.choice(["", "1"])
            args = names[:3] + options + names[3:]
        else:
            args = options + names
        cases.append(Case(f"convert-{k:03d}", args, files, gen.random.choice(ZONES), env))
    return cases


def bigCases(gen, shared):
    """A few command lines on the big logs and the long shared cases: their
    text is most of the bytes. Logs with times before 1970 go to the lines
    in UTC only, which every target can run."""
    logs = {f"{name}.002": log for name, log in shared.items() if sampleCount(log) > LONG_CASE}
    logs.update({f"big{i}.002": log for i, log in enumerate(bigLogs(gen))})
    lines = [["-tcpNgor"], ["-q"], ["-qSrC", "-n", "3"], ["-st", "-n", "-1000"]]
    cases = []
    for index, args in enumerate(lines):
        zone = ZONES[index % 2]
        files = {name: log for name, log in logs.items() if zone == UTC_ZONE or not before1970(log)}
        cases.append(Case(f"big-{index}", args + list(files), files, zone))
    return cases


def commandLineCases(gen, shared):
    """Options, operands and their errors, on a few small logs."""
    example = shared["example"]
    other = LogPlan([gen.block(5), gen.block(3)])
    early = LogPlan([gen.block(2, first_time=-1), gen.block(2, first_time=INT32_MIN)])
    files = {"f": example, "g": other, "-t": other, "données-ü.002": other, "e": early}
    lines = [
        [], ["-q"], ["-d"], ["--help"], ["---"], ["-x", "f"], ["-t", "-x", "-y", "f"], ["-n"], ["-q", "-tn"], ["-:"],
        ["-q-"], ["-\x01"], ["-\x7f"], [b"-\x80"], [b"-\xe9"], [b"-t\xff", "f"], ["-é"], ["-tü", "f"], ["-n", "0", "f"],
        ["-dn0"], ["-n", "0", "-x"], ["-dn", "-7"], ["-dn", " \t+12xyz", "f"], ["-dn", "+-3"],
        ["-n", "5", "-n", "x", "-d", "f"], ["-n", "0", "-n", "3", "-d", "f"], ["-dn", "-2147483648", "f"],
        ["-dn", "2147483648"], ["-dn", "-99999999999999999999999"], ["-n", "abc", "-d", "f"], ["-n4t", "f"],
        ["-qSrCn3", "f", "g"], ["-qd", "f", "-t"], ["-qd", "--", "-t"], ["-qd", "-"], ["-qd", ""], ["-d", "missing.002"],
        ["-d", "données-ü.002"], ["-tcr", "données-ü.002", "f", "missing", "g"], ["-q", "--", "-t", "f"], ["-q", "d"],
        ["-dtcpNgorC", "f", "g", "e"], ["-s", "e", "f"], ["-qt", "e"], ["-Sq", "e"],
        ["-qd", "d", "f", "f.txt", "missing"],  # the reasons' words, and f.txt refused as quarvel's own text
    ]
    cases = []
    for index, args in enumerate(lines):
        for zone in ZONES:
            cases.append(Case(f"cmdline-{index:02d}-{zone[:3]}", args, files, zone, dirs=["d"]))
    permuting = [["f", "-qd", "g", "-St", "-n", "1", "--", "-C"], ["f", "-x", "-t"], ["-t", "f", "-n", "3", "g"],
                 ["f", "-c", "g", "--help", "-t"]]
    for index, args in enumerate(permuting):
        for value in ["", "1"]:
            cases.append(Case(f"permute-{index}-{value or 'empty'}", args, files, UTC_ZONE,
                              {"POSIXLY_INCORRECT_GETOPT": value}))
    return cases


def makeCases():
    gen = Generator(SEED)
    shared = case_plans()
    batches = makeLogs(gen, shared)
    cases = conversionCases(gen, batches) + bigCases(gen, shared) + commandLineCases(gen, shared)
    logCount = len({id(log) for case in cases for log in case.files.values()})
    return cases, logCount


class Target:
    def __init__(self, definition):
        name, _, rest = definition.partition("=")
        binary, _, launcher = rest.partition(",")
        if not name or not binary:
            raise SystemExit(f"cross_compare: bad target {definition!r}: NAME=BINARY[,LAUNCHER]")
        self.name = name
        self.binary = os.path.abspath(binary)
        self.windows = binary.endswith(".exe")
        self.wasm = binary.endswith(".js")
        self.launcher = launcher.split() if launcher else (["wine"] if self.windows else [])

    def environment(self, case):
        env = {"TZ": case.zone, "LC_ALL": "C.UTF-8"}
        if self.windows:
            for key in ["PATH", "HOME", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES"]:
                if key in os.environ:
                    env[key] = os.environ[key]
        env.update(case.env)
        return env


def writeCase(case, folder):
    os.makedirs(folder)
    for name in case.files:
        with open(os.path.join(folder, name), "wb") as file:
            file.write(case.fileBytes(name))
    for name in case.dirs:
        os.mkdir(os.path.join(folder, name))


class Outcome:
    def __init__(self, status, out, err, texts):
        self.status = status
        self.out = BANNER.sub(BANNER_MASK, out)
        self.err = err
        self.texts = texts  # name -> path of a file quarvel wrote


def runCase(target, case, folder):
    writeCase(case, folder)
    before = set(os.listdir(folder))
    argv = target.launcher + [target.binary] + case.args
    # Files, not pipes: a helper process that wine starts may inherit the
    # streams and keep a pipe open long after quarvel has ended.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(argv, cwd=folder, env=target.environment(case), stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, timeout=600, check=False)
        out.seek(0)
        err.seek(0)
        texts = {name: os.path.join(folder, name) for name in sorted(set(os.listdir(folder)) - before)}
        return Outcome(done.returncode, out.read(), err.read(), texts)


def runAll(target, cases, root):
    folder = os.path.join(root, target.name)
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        futures = [pool.submit(runCase, target, case, os.path.join(folder, case.name)) for case in cases]
        return [future.result() for future in futures]


def readBytes(path):
    with open(path, "rb") as file:
        return file.read()


def shortDiff(expected, actual, label):
    if len(expected) > 100000 or len(actual) > 100000:
        at = next((i for i, (a, b) in enumerate(zip(expected, actual)) if a != b), min(len(expected), len(actual)))
        start = max(at - 200, 0)
        expected, actual = expected[start:at + 200], actual[start:at + 200]
        label += f" (from byte {start})"
    lines = difflib.unified_diff(expected.decode("utf-8", "backslashreplace").splitlines(keepends=True),
                                 actual.decode("utf-8", "backslashreplace").splitlines(keepends=True),
                                 f"{label} (native)", f"{label} (target)", n=1)
    return "".join(list(lines)[:24])


def firstDifference(reference, outcome):
    """A description of how `outcome` differs from `reference`, or None."""
    if reference.status != outcome.status:
        return f"exit status {reference.status} (native) vs {outcome.status} (target)\n"
    for label, expected, actual in [("stdout", reference.out, outcome.out), ("stderr", reference.err, outcome.err)]:
        if expected != actual:
            return shortDiff(expected, actual, label)
    if reference.texts.keys() != outcome.texts.keys():
        return f"files written: {sorted(reference.texts)} (native) vs {sorted(outcome.texts)} (target)\n"
    for name, path in reference.texts.items():
        expected, actual = readBytes(path), readBytes(outcome.texts[name])
        if expected != actual:
            return shortDiff(expected, actual, name)
    return None


def compareTarget(target, cases, references, root, logCount):
    """Runs the cases on `target`; prints a summary line; returns whether all agreed."""
    skipped = {}
    runnable = []
    for case, reference in zip(cases, references):
        reason = case.windowsSkipReason(utf8Only=target.wasm) if target.windows or target.wasm else None
        if reason:
            skipped[reason] = skipped.get(reason, 0) + 1
        else:
            runnable.append((case, reference))
    outcomes = runAll(target, [case for case, _ in runnable], root)
    mismatches = []
    textCount = 0
    for (case, reference), outcome in zip(runnable, outcomes):
        difference = firstDifference(reference, outcome)
        textCount += len(outcome.texts)
        if difference:
            mismatches.append((case, difference))
    skipNote = "".join(f", {count} skipped ({reason})" for reason, count in sorted(skipped.items()))
    verdict = "all identical" if not mismatches else f"{len(mismatches)} DIFFER"
    print(f"cross-compare {target.name}: {len(runnable) - len(mismatches)} of {len(runnable)} command lines identical "
          f"to native ({textCount} text files from {logCount} logs){skipNote}: {verdict}", flush=True)
    if mismatches:
        case, difference = mismatches[0]
        print(f"  first difference: {case.name}: {case.command()}\n  in {os.path.join(root, target.name, case.name)}")
        print("".join(f"    {line}\n" for line in difference.splitlines()), end="", flush=True)
        return False
    shutil.rmtree(os.path.join(root, target.name), ignore_errors=True)
    return True


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    if not os.path.isfile(argv[1]):
        print(f"cross_compare: no native build at {argv[1]}", file=sys.stderr)
        return 2
    reference = Target(f"native={argv[1]}")
    targets = [Target(definition) for definition in argv[2:]]
    cases, logCount = makeCases()
    root = tempfile.mkdtemp(prefix="quarvel-cross-")
    references = runAll(reference, cases, root)
    allAgree = True
    for target in targets:
        try:
            allAgree = compareTarget(target, cases, references, root, logCount) and allAgree
        except (OSError, subprocess.SubprocessError) as error:
            print(f"cross-compare {target.name}: could not run: {error}", flush=True)
            allAgree = False
    if allAgree:
        shutil.rmtree(root, ignore_errors=True)
    else:
        print(f"cross-compare: outputs kept in {root}")
    return 0 if allAgree else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
