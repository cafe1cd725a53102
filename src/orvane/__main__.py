"""python -m orvane bench: the main job (see orvane.bench)."""

import sys

USAGE = "usage: python -m orvane bench [--rows N] [--json] [--db PATH --sql QUERY]"


def main(argv: list[str]) -> int:
    if not argv or argv[0] != "bench":
        print(USAGE, file=sys.stderr)
        return 2
    from orvane.bench import run

    return run(argv[1:])


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
