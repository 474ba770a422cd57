#!/usr/bin/env python3
"""One log, one text on every machine.

Writes a fixed set of logger files and command lines (the same on every run),
runs each command line with the native x86-64 Linux build and with every
target's build, and compares what comes out byte for byte: the text files,
standard output, standard error and the exit status.

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

import array
import concurrent.futures
import difflib
import os
import random
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile

SEED = 20261208
BATCH_SIZE = 16
CONVERSION_CASES = 256  # one per combination of the eight record field options
ZONES = ["UTC0", "QRV-5:30"]  # both understood by glibc and the Windows C runtime
UTC_ZONE = "UTC0"
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
BANNER = re.compile(rb"quarvel version 1\.0, built on [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} at [0-9:]{8}")
BANNER_MASK = b"quarvel version 1.0, built on <date> at <time>"


def floatBits(value):
    return struct.unpack(">I", struct.pack(">f", value))[0]


# Float bit patterns whose arithmetic machines have disagreed on.
POSITIVE_INF = 0x7F800000
NEGATIVE_INF = 0xFF800000
SPECIAL_BITS = [
    POSITIVE_INF,
    NEGATIVE_INF,
    0x7FC00000,  # quiet NaN
    0xFFC00000,  # quiet NaN, sign set (x86's default NaN)
    0x7FC00001,  # NaN with a payload
    0xFFFFFFFF,
    0x7F800001,  # signalling NaN
    0xFF800001,
    0x00000000,
    0x80000000,  # -0
    0x00000001,  # smallest subnormal
    0x807FFFFF,  # largest subnormal, negative
    0x00800000,  # FLT_MIN
    0x7F7FFFFF,  # FLT_MAX
    0xFF7FFFFF,
    floatBits(1.0),
    floatBits(-1.5),
    floatBits(3.0e38),
]
# Pairs of gain and offset whose calibrated value is a NaN or an infinity
# made by the arithmetic itself.
SPECIAL_PAIRS = [
    (POSITIVE_INF, 0),  # inf * 0 is a NaN
    (NEGATIVE_INF, 0),
    (0x7FC00000, 0xFFC00000),  # NaN + NaN, signs differ
    (0xFFC00000, 0x7FC00000),
    (0x7FC00001, 0xFFC00002),
    (POSITIVE_INF, NEGATIVE_INF),  # inf - inf
    (NEGATIVE_INF, POSITIVE_INF),
    (0x7F7FFFFF, 0x7F7FFFFF),  # finite in double, overflows float
    (0x00000001, 0x80000000),  # subnormal products, zero signs
]
EDGE_SAMPLES = [0, 1, -1, 2, -2, 3, 32767, -32768]


class Block:
    def __init__(self, samples, **fields):
        self.chan = fields.get("chan", 3)
        self.period = fields.get("period", 500)
        self.time = fields.get("time", 1 << 30)
        self.count = fields.get("count", len(samples))
        self.gain = fields.get("gain", floatBits(0.5))
        self.offset = fields.get("offset", floatBits(1.0))
        self.samples = samples

    def encode(self):
        header = struct.pack(">iIiiII", self.chan, self.period, self.time, self.count, self.gain, self.offset)
        samples = array.array("h", self.samples)
        if sys.byteorder == "little":
            samples.byteswap()
        return header + samples.tobytes()


class Log:
    def __init__(self, blocks, tail=b""):
        self.blocks = blocks
        self.tail = tail  # a cut sample area or a header fragment

    def encode(self):
        return b"".join(block.encode() for block in self.blocks) + self.tail

    def before1970(self):
        return any(block.time < 0 for block in self.blocks)


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
        return floatBits(self.pick(-100000, 100000) / self.random.choice([64, 1000, 4096, 3]))

    def ordinaryOffset(self):
        return floatBits(self.pick(-10**6, 10**6) / self.random.choice([1, 8, 1000, 7]))

    def modernTime(self):
        return self.pick(0, INT32_MAX)

    def block(self, count=None, **fields):
        count = self.shortCount() if count is None else count
        fields.setdefault("chan", self.random.choice([0, 1, 3, -1, INT32_MIN, INT32_MAX, self.pick(-999, 999)]))
        fields.setdefault("period", self.random.choice([1, 10, 250, 500, 1000, 3, self.pick(0, 60000)]))
        fields.setdefault("time", self.modernTime())
        return Block(self.samples(count), **fields)


def nonFiniteLogs(gen):
    logs = []
    for gain, offset in SPECIAL_PAIRS:
        samples = EDGE_SAMPLES + gen.samples(gen.pick(0, 20))
        logs.append(Log([Block(samples, gain=gain, offset=offset), gen.block(gain=offset, offset=gain)]))
    for _ in range(14):
        blocks = []
        for _ in range(gen.pick(1, 4)):
            block = gen.block(gain=gen.random.choice(SPECIAL_BITS), offset=gen.random.choice(SPECIAL_BITS))
            block.samples = EDGE_SAMPLES + block.samples
            block.count = len(block.samples)
            blocks.append(block)
        logs.append(Log(blocks))
    # Long blocks: their record tails come from quarvel's table.
    for gain, offset in SPECIAL_PAIRS[:4]:
        logs.append(Log([gen.block(5000, gain=gain, offset=offset), gen.block(4500, gain=offset, offset=gain)]))
    return logs


def doubleRoundingBlock(gen):
    """A block whose product raw * gain lies exactly halfway between two floats
    and whose offset is far below the double's resolution there: rounded
    once (SSE) it ties to even, rounded in the x87's 64-bit significand first
    it does not."""
    while True:
        mantissa = gen.pick(1, 2**gen.pick(4, 23)) | 1
        raw = gen.pick(1, 32767) | 1
        if (mantissa * raw).bit_length() == 25:
            break
    exponent = gen.pick(-40, 40)
    gain = mantissa * 2.0**exponent
    product = raw * gain
    sign = gen.random.choice([1, -1])
    offset = sign * product * 2.0**-60
    raws = [raw, -raw, raw, 0, raw + 2, -raw - 2]
    return Block(raws + gen.samples(gen.pick(0, 10)), gain=floatBits(gain), offset=floatBits(offset), time=gen.modernTime())


def roundingLogs(gen):
    logs = [Log([doubleRoundingBlock(gen) for _ in range(gen.pick(1, 5))]) for _ in range(20)]
    big = [1.2345679e15, -1.2345679e15, 9.876543e12, 3.0e9, 1.0e20, 16777217.0, 0.1, 1.0 / 3.0]
    offsets = [0.5, 1.0, 3.0, -0.25, 1.0e-7, 12345.678, 1.0e9, 7.0e15]
    for _ in range(12):
        blocks = [
            gen.block(gen.pick(1, 300), gain=floatBits(gen.random.choice(big)), offset=floatBits(gen.random.choice(offsets)))
            for _ in range(gen.pick(1, 3))
        ]
        logs.append(Log(blocks))
    logs.append(Log([gen.block(6000, gain=floatBits(1.2345679e15), offset=floatBits(0.5))]))
    return logs


def extremeLogs(gen):
    tiny = [1e-45, 1.4e-45, 1e-40, 1e-38, 1.17549435e-38, 1e-30, 1e-10, 5e-7, 4e-7]
    huge = [3.4028235e38, 3.0e38, 1.0e38, 1.0e30, 2.0**100, 1.8446744e19, 9.2233720e18]
    logs = []
    for _ in range(16):
        blocks = []
        for _ in range(gen.pick(1, 4)):
            gain = gen.random.choice(tiny + huge) * gen.random.choice([1, -1])
            offset = gen.random.choice(tiny + huge + [0.0, -0.0]) * gen.random.choice([1, -1])
            block = gen.block(gain=floatBits(gain), offset=floatBits(offset))
            block.samples = EDGE_SAMPLES + block.samples
            block.count = len(block.samples)
            blocks.append(block)
        logs.append(Log(blocks))
    return logs


def countLogs(gen):
    """Zero, negative and huge counts, cut sample areas and header fragments."""
    logs = [Log([]), Log([], b"\x00"), Log([], bytes(range(23)))]
    for count in [0, -1, -5, INT32_MIN, INT32_MIN + 1]:
        block = gen.block(0)
        block.count = count
        logs.append(Log([gen.block(), block, gen.block()]))
    for declared, present, oddByte in [(5, 3, False), (5, 3, True), (2, 0, False), (1, 0, True), (INT32_MAX, 4, False),
                                       (INT32_MAX, 9000, True), (70000, 69999, False), (3, 2, True)]:
        cut = gen.block(present)
        cut.count = declared
        logs.append(Log([gen.block(), cut], b"\x7f" if oddByte else b""))
    for fragment in [1, 2, 12, 23]:
        logs.append(Log([gen.block(), gen.block()], gen.block(3).encode()[:fragment]))
    return logs


def periodLogs(gen):
    periods = [0, 1, 999, 1000, 1001, 2**31 - 1, 2**31, 2**31 + 1, 2**32 - 1, 2**32 - 1000, 86400000]
    logs = []
    for _ in range(16):
        blocks = [gen.block(gen.pick(1, 200), period=gen.random.choice(periods + [gen.pick(0, 2**32 - 1)]),
                            time=gen.random.choice([0, INT32_MAX, gen.modernTime()])) for _ in range(gen.pick(1, 4))]
        logs.append(Log(blocks))
    return logs


def timeLogs(gen):
    """First-sample times before 1970 and near both ends of 32 bits."""
    times = [INT32_MIN, INT32_MIN + 1, -1, -86400, -2208988800 + 2**32, -315619200, -19800, -19801, 0, 1, 19799,
             951782400, 1711846800, INT32_MAX - 1, INT32_MAX]
    logs = []
    for _ in range(16):
        blocks = [gen.block(gen.pick(0, 30), time=gen.random.choice(times + [gen.pick(INT32_MIN, -1)]))
                  for _ in range(gen.pick(1, 4))]
        logs.append(Log(blocks))
    return logs


def randomLogs(gen, count):
    logs = []
    for index in range(count):
        blocks = []
        for _ in range(gen.pick(1, 5)):
            anyBits = index % 3 == 0
            gain = gen.anyFloatBits() if anyBits else gen.ordinaryGain()
            offset = gen.anyFloatBits() if anyBits else gen.ordinaryOffset()
            blocks.append(gen.block(gain=gain, offset=offset, period=gen.pick(0, 2**32 - 1)))
        logs.append(Log(blocks))
    return logs


def bigLogs(gen):
    """Blocks longer than a read buffer and a flush interval, repeating the
    same calibration, so that cached tails are used across blocks."""
    logs = []
    for count in [140000, 70000, 90000]:  # 140000 samples pass the 256 kB read buffer
        first = gen.block(count)
        same = Block(gen.samples(gen.pick(4096, 9000)), chan=first.chan, period=first.period, time=first.time,
                     gain=first.gain, offset=first.offset)
        logs.append(Log([first, same, gen.block(), same]))
    return logs


def makeLogs(gen):
    """All logs, in batches that keep each kind together (so that only a few
    batches have times before 1970)."""
    kinds = [nonFiniteLogs(gen), roundingLogs(gen), extremeLogs(gen), countLogs(gen), periodLogs(gen), timeLogs(gen),
             randomLogs(gen, 176)]
    logs = [log for kind in kinds for log in kind]
    return [logs[i:i + BATCH_SIZE] for i in range(0, len(logs), BATCH_SIZE)]


class Case:
    def __init__(self, name, args, files, zone=UTC_ZONE, env=None, dirs=()):
        self.name = name
        self.args = [arg.encode() if isinstance(arg, str) else arg for arg in args]
        self.files = files  # name -> Log or bytes
        self.zone = zone
        self.env = env or {}
        self.dirs = list(dirs)

    def command(self):
        words = [shlex.quote(arg.decode("utf-8", "backslashreplace")) for arg in self.args]
        env = " ".join(f"{key}={shlex.quote(value)}" for key, value in sorted(self.env.items()))
        return f"TZ={self.zone} {env + ' ' if env else ''}quarvel {' '.join(words)}".rstrip()

    def fileBytes(self, name):
        content = self.files[name]
        return content if isinstance(content, bytes) else content.encode()

    def windowsSkipReason(self, utf8Only=False):
        try:
            for arg in self.args:
                arg.decode("utf-8")
        except UnicodeDecodeError:
            return "bytes that are not UTF-8"
        if utf8Only:
            return None
        named = [self.files.get(arg.decode("utf-8")) for arg in self.args]
        printsTimes = self.zone != UTC_ZONE and any(isinstance(log, Log) and log.before1970() for log in named)
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
        names = [f"log{k % len(batches):02d}-{i:02d}.002" for i in range(len(batch))]
        files = dict(zip(names, batch))
        env = {}
        if gen.random.random() < 0.15:
            env["POSIXLY_INCORRECT_GETOPT"] = gen.random.choice(["", "1"])
            args = names[:3] + options + names[3:]
        else:
            args = options + names
        cases.append(Case(f"convert-{k:03d}", args, files, gen.random.choice(ZONES), env))
    return cases


def bigCases(gen):
    """A few command lines on the big logs: their text is most of the bytes."""
    files = {f"big{i}.002": log for i, log in enumerate(bigLogs(gen))}
    lines = [["-tcpNgor"], ["-q"], ["-qSrC", "-n", "3"], ["-st", "-n", "-1000"]]
    return [Case(f"big-{index}", args + list(files), files, ZONES[index % 2]) for index, args in enumerate(lines)]


def commandLineCases(gen):
    """Options, operands and their errors, on a few small logs."""
    example = Log([Block([100, -100])])
    other = Log([gen.block(5), gen.block(3)])
    early = Log([gen.block(2, time=-1), gen.block(2, time=INT32_MIN)])
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
    batches = makeLogs(gen)
    cases = conversionCases(gen, batches) + bigCases(gen) + commandLineCases(gen)
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
