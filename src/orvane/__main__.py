"""python -m orvane bench: the main job (see orvane.bench);
python -m orvane --version: the installed version."""

import os
import sys

ABOUT = "orvane: the results of DB-API 2.0 queries as rows, each column converted to the type you declare or the driver reports."
USAGE = "usage: python -m orvane bench [options]   (python -m orvane bench --help lists them)\n       python -m orvane --version"


def main(argv: list[str]) -> int:
    if argv and argv[0] in ("-h", "--help"):
        print(f"{ABOUT}\n{USAGE}")
        return 0
    if argv == ["--version"]:
        from orvane import __version__

        print(f"orvane {__version__}")
        return 0
    if not argv or argv[0] != "bench":
        print(f"{_not_understood(argv)}{USAGE}", file=sys.stderr)
        return 2
    from orvane.bench import run

    try:
        return run(argv[1:])
    except KeyboardInterrupt:
        print("orvane bench: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of the output (`| head`) has gone: stop quietly, and keep
        # the interpreter's final flush from failing on the same pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _not_understood(argv: list[str]) -> str:
    """The line that names what was not understood, before the usage."""
    if not argv:
        return ""
    if argv[0] == "--version":
        return f"orvane: --version takes no arguments: {' '.join(argv[1:])}\n"
    kind = "option" if argv[0].startswith("-") else "command"
    return f"orvane: unrecognized {kind}: {argv[0]}\n"


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
