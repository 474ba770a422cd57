"""Command line: `python3 -m quarvel info [--json] FILE...` and
`python3 -m quarvel plot FILE [-o out.png]`."""

from __future__ import annotations

import argparse
import sys
from typing import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status."""
    parser = argparse.ArgumentParser(prog="python3 -m quarvel", description="Look into quarvel logger files.")
    commands = parser.add_subparsers(dest="command", required=True)
    info = commands.add_parser("info", help="summarise the block headers of logger files")
    info.add_argument("--json", action="store_true", help="write JSON instead of text")
    info.add_argument("files", nargs="+", metavar="FILE")
    plot = commands.add_parser("plot", help="plot the calibrated values against UTC time")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("-o", "--output", metavar="OUT", help="save to this image file instead of showing it")
    args = parser.parse_args(argv)

    if args.command == "info":
        from .info import run

        return run(args.files, args.json)
    from .plot import plot_file

    try:
        plot_file(args.file, args.output)
    except (OSError, ImportError) as error:
        print(f"quarvel plot: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
