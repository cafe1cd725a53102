"""python -m orvane: a short smoke run of the compiled modules."""

from orvane.frozkern import immutabledict


def main() -> int:
    settings = immutabledict(echo=False).union(pool_size=5)
    print(f"orvane.frozkern: {settings!r}, {len(settings)} entries")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
