#!/usr/bin/python3
"""Times in named time zones: the WebAssembly build, run by node, against the
native build.

The WebAssembly build renders local time by its own code (zone names
through JavaScript's Intl, POSIX rules computed), not by the C library: this
converts one log of blocks whose first-sample times span 1901 to 2038, many
on the day of a change of summer time, under many values of TZ, and compares
the console output of both builds byte for byte.

Usage: zones.py NATIVE_QUARVEL QUARVEL_CLI_JS
Exit status 0 when every zone agrees, 1 otherwise.
"""

import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "python", "tests"))
from logbuilder import BlockPlan, log_bytes  # noqa: E402

# Not EST5EDT: tzdata 2024b made it a name of America/New_York, with that
# zone's history; the browser's and the system's tzdata may differ there.
ZONES = [
    "UTC", "UTC0", "GMT", "Etc/GMT+5", "Etc/GMT-14", "Europe/Paris", ":Europe/Berlin", "Europe/London",
    "America/New_York", "America/St_Johns", "America/Sao_Paulo", "Asia/Kolkata", "Asia/Kathmandu",
    "Australia/Lord_Howe", "Pacific/Chatham", "Pacific/Apia", "Africa/Casablanca", "JST-9",
    "QRV-5:30", "<+0330>-3:30", "Nowhere/Special",
    # POSIX zones with summer time: north and south, negative and late
    # change times, Julian days, summer time all year, and faulty values.
    "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT4,M3.2.0/2:00:00,M11.1.0/2:00:00", "AEST-10AEDT,M10.1.0,M4.1.0/3",
    "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", "IST-1GMT0,M10.5.0,M3.5.0/1", "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1",
    "XXX3YYY,J60/25,J300/-1", "ZZZ-2WWW,0/0,365/24", "WART4WARST,J1/0,J365/25", "EST5EDT,M3.2.0/-1:30,M11.1.0/167",
    "CET-1CEST,M3.5", "EST5!", "AB5", "EST5,M3.2.0,M11.1.0", "",
]
BANNER = re.compile(rb"built on .{11} at .{8}")


def firstSampleTimes(seed: int) -> list:
    """Returns times from 1901 to 2038: random ones, and the hours around the
    changes of summer time in Europe and North America from 1970 to 2037."""
    rng = random.Random(seed)
    times = [-2**31, -2**31 + 1, -1, 0, 2**31 - 1] + [rng.randint(-2**31, 2**31 - 1) for _ in range(300)]
    for year in range(1970, 2038, 3):
        for month in (3, 4, 10, 11):
            start = (year - 1970) * 31556952 + (month - 1) * 2629746
            times += [start + day * 86400 + hour * 1800 for day in range(0, 31, 6) for hour in range(0, 48, 7)]
    return [t for t in times if -2**31 <= t < 2**31]


def makeLog(path: str) -> None:
    """Writes one block of one sample (7) per first-sample time."""
    with open(path, "wb") as log:
        log.write(log_bytes([BlockPlan(1, 1000, time, [7]) for time in firstSampleTimes(20261208)]))


def run(command: list, folder: str, zone: str) -> bytes:
    done = subprocess.run(command + ["-S", "log.002"], cwd=folder, env={"TZ": zone, "LC_ALL": "C.UTF-8"},
                          capture_output=True, check=False, timeout=300)
    return BANNER.sub(b"", done.stdout) + done.stderr + bytes([done.returncode])


def main(argv: list) -> int:
    native, cli = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    node = "/usr/bin/node"
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        makeLog(os.path.join(folder, "log.002"))
        for zone in ZONES:
            expected = run([native], folder, zone)
            actual = run([node, cli], folder, zone)
            if expected != actual:
                failures += 1
                pairs = zip(expected.decode(errors="replace").splitlines(), actual.decode(errors="replace").splitlines())
                first = next(((a, b) for a, b in pairs if a != b), ("", ""))
                print(f"zones: TZ={zone} differs: native {first[0]!r}, WebAssembly {first[1]!r}")
    count = len(firstSampleTimes(20261208))
    print(f"zones: {len(ZONES) - failures} of {len(ZONES)} time zones agree on {count} first-sample times")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
