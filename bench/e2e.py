"""End-to-end fetch: orvane's rows against the driver, a hand-written
conversion and a peer ORM, on one SQLite file, in one process.

Every contender runs the main job's query and reads every value of every row
once, by position. Contenders are interleaved round by round (the order
rotates each round) with the cycle collector on, as applications run, unless
--no-gc pauses it. Times are this process's CPU time unless --wall, and
ratios are the median of the per-round ratios, so that neighbours' load on a
shared machine counts as little as it can.

    python bench/e2e.py [--rows N] [--rounds N] [--no-gc] [--wall] [--pure] [--json]
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import operator
import os
import platform
import sqlite3
import statistics
import sys
import tempfile
import time
import tracemalloc
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from itertools import repeat
from typing import Any

import contenders
from orvane import flavours
from orvane.bench import DECLARED, QUERY, generate_database
from orvane.results import Result

PER = 100_000  # times are shown per this many rows


@dataclass
class Figures:
    """What one contender took, round by round."""

    build: list[float] = field(default_factory=list)  # seconds to fetch and build the rows
    read: list[float] = field(default_factory=list)  # seconds to read every value once
    collections: list[list[int]] = field(default_factory=list)  # by generation
    collector: list[list[float]] = field(default_factory=list)  # seconds inside the collector, by generation

    @property
    def total(self) -> list[float]:
        return [b + r for b, r in zip(self.build, self.read)]

    def summary(self, scale: float) -> dict[str, Any]:
        """Medians (and the best) of the rounds, in ms and collections,
        multiplied by `scale`."""

        def ms(seconds: list[float]) -> float:
            return round(statistics.median(seconds) * 1e3 * scale, 2)

        return {
            "ms_median": ms(self.total),
            "ms_best": round(min(self.total) * 1e3 * scale, 2),
            "read_ms_median": ms(self.read),
            "collections_by_generation": [round(statistics.median(counts) * scale, 1) for counts in zip(*self.collections)],
            "collector_ms_by_generation": [ms(list(seconds)) for seconds in zip(*self.collector)],
        }


class CollectorLog:
    """Counts collections, and the time spent in them, by generation while
    switched on."""

    def __init__(self, clock: Callable[[], float]) -> None:
        self.clock = clock
        self.on = False
        self.counts = [0, 0, 0]
        self.seconds = [0.0, 0.0, 0.0]
        self._started = 0.0

    def __call__(self, phase: str, info: dict[str, Any]) -> None:
        if not self.on:
            return
        if phase == "start":
            self._started = self.clock()
        else:
            generation = min(info["generation"], 2)
            self.counts[generation] += 1
            self.seconds[generation] += self.clock() - self._started

    @contextlib.contextmanager
    def watching(self) -> Any:
        self.counts, self.seconds, self.on = [0, 0, 0], [0.0, 0.0, 0.0], True
        try:
            yield self
        finally:
            self.on = False


def run_once(work: Callable[[], Any], read: Callable[[Any], None] | None, log: CollectorLog, collector: bool, figures: Figures) -> None:
    # Each run starts from the same heap: the previous contender's rows are gone.
    gc.collect()
    if not collector:
        gc.disable()
    try:
        with log.watching():
            started = log.clock()
            rows = work()
            built = log.clock()
            if read is not None:
                read(rows)
            finished = log.clock()
    finally:
        gc.enable()
    figures.build.append(built - started)
    figures.read.append(finished - built)
    figures.collections.append(log.counts)
    figures.collector.append(log.seconds)


def reader(columns: int) -> Callable[[Any], None]:
    take_all = operator.itemgetter(*range(columns))

    def read(rows: Any) -> None:
        for row in rows:
            take_all(row)

    return read


def measure(plan: dict[str, Callable[[], Any]], arguments: argparse.Namespace, read: Callable[[Any], None] | None, progress: Callable[[str], None]) -> dict[str, Figures]:
    figures = {name: Figures() for name in plan}
    names = list(plan)
    rounds, collector = arguments.rounds, not arguments.no_gc
    log = CollectorLog(time.perf_counter if arguments.wall else time.process_time)
    gc.callbacks.append(log)
    try:
        for number in range(rounds):
            shift = number % len(names)
            for name in names[shift:] + names[:shift]:
                progress(f"round {number + 1}/{rounds}: {name}")
                run_once(plan[name], read, log, collector, figures[name])
    finally:
        gc.callbacks.remove(log)
    return figures


def ratio(figures: dict[str, Figures], ours: str, theirs: str, target: float | None) -> dict[str, Any]:
    """The median of the per-round ratios (which judges the target), and the
    ratio of the best rounds."""
    mine, peer = figures[ours].total, figures[theirs].total
    return {
        "ours": ours,
        "theirs": theirs,
        "ratio": round(statistics.median(a / b for a, b in zip(mine, peer)), 3),
        "best_ratio": round(min(mine) / min(peer), 3),
        "target": target,
    }


def footprint(work: Callable[[], Any], rows: int) -> dict[str, float]:
    """Memory held by a fetched result and all it refers to, and the objects
    the collector still tracks after a full collection (each walked by every
    later full collection), both per row."""
    gc.collect()
    tracked_before = len(gc.get_objects())
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = work()
        gc.collect()
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    tracked = len(gc.get_objects()) - tracked_before
    return {"bytes": round(held / rows, 1), "tracked": round(tracked / rows, 2)}


CHUNK = 1000  # rows per fetchmany() in the by-the-chunk projection
# The whole fetch, as it is and as it would be with rows built by the chunk in
# a C loop (what a batch entry point can reach), typed and untyped.
WHOLE = {
    ("typed", "as it is"): "orvane typed fetchall",
    ("typed", "by the chunk"): f"typed, rows by chunks of {CHUNK:,} in a C loop",
    ("untyped", "as it is"): "orvane untyped fetchall",
    ("untyped", "by the chunk"): f"untyped, rows by chunks of {CHUNK:,} in a C loop",
}


def breakdown_plan(connection: sqlite3.Connection) -> dict[str, Callable[[], Any]]:
    """orvane's typed fetch taken apart: the driver's fetch, each converter
    over its column and row building without converters, each step a C loop
    over input fetched beforehand; then the whole fetches of `WHOLE`."""
    compiled = flavours.compiled()
    fetched = connection.execute(QUERY).fetchall()
    result = Result(connection.execute(QUERY), types=DECLARED, flavour=compiled)
    row_class, metadata, processors, key_style = compiled.row_class, result.metadata, result._processors, result._key_style
    count = len(fetched)

    def rows_by_the_chunk(processors: Any) -> Callable[[], list[Any]]:
        def fetch() -> list[Any]:
            rows: list[Any] = []
            cursor = connection.execute(QUERY)
            while chunk := cursor.fetchmany(CHUNK):
                n = len(chunk)
                rows.extend(map(row_class, repeat(metadata, n), repeat(processors, n), repeat(metadata._keymap, n), repeat(key_style, n), chunk))
            return rows

        return fetch

    def converting(processor: Callable[[Any], Any], column: tuple[Any, ...]) -> Callable[[], list[Any]]:
        return lambda: list(map(processor, column))

    plan: dict[str, Callable[[], Any]] = {"driver fetch (cursor.fetchall)": lambda: connection.execute(QUERY).fetchall()}
    for name, processor, column in zip(result.keys(), processors or (), zip(*fetched)):
        if processor is not None:
            plan[f"converter {name}: {processor.__qualname__}"] = converting(processor, column)
    plan["row building, no converters"] = lambda: list(
        map(row_class, repeat(metadata, count), repeat(None, count), repeat(metadata._keymap, count), repeat(key_style, count), fetched)
    )
    plan[WHOLE["typed", "as it is"]] = lambda: Result(connection.execute(QUERY), types=DECLARED, flavour=compiled).fetchall()
    plan[WHOLE["typed", "by the chunk"]] = rows_by_the_chunk(processors)
    plan[WHOLE["untyped", "as it is"]] = lambda: Result(connection.execute(QUERY), flavour=compiled).fetchall()
    plan[WHOLE["untyped", "by the chunk"]] = rows_by_the_chunk(None)
    return plan


def summarise(arguments: argparse.Namespace, figures: dict[str, Figures], ratios: list[dict[str, Any]], memory: dict[str, dict[str, float]], breakdown: dict[str, Figures], differences: list[str]) -> dict[str, Any]:
    scale = PER / arguments.rows
    return {
        "rows": arguments.rows,
        "rounds": arguments.rounds,
        "collector": not arguments.no_gc,
        "clock": "wall" if arguments.wall else "process CPU time",
        "gc_threshold": list(gc.get_threshold()),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "contenders": {name: f.summary(scale) for name, f in figures.items()},
        "ratios": ratios,
        "per_row": memory,
        "typed_breakdown": {name: f.summary(scale) for name, f in breakdown.items()},
        "differences": differences,
    }


def joined(numbers: list[float]) -> str:
    return "/".join(f"{number:.3g}" for number in numbers)


def format_report(summary: dict[str, Any]) -> str:
    header = f"{'collections g0/g1/g2':>22}{'gc ms g0/g1/g2':>17}"

    def collector(c: dict[str, Any]) -> str:
        return f"{joined(c['collections_by_generation']):>22}{joined(c['collector_ms_by_generation']):>17}"

    lines = [
        f"orvane end to end: {summary['rows']:,} rows, {summary['rounds']} rounds, collector "
        f"{'on, thresholds ' + str(tuple(summary['gc_threshold'])) if summary['collector'] else 'paused'}",
        f"{summary['python']} on {summary['machine']}; {summary['clock']}",
        f"ms and collections per {PER:,} rows (median of rounds), every value read once",
        "",
        f"{'contender':<34}{'ms':>8}{'best':>8}{'of it read':>12}{header}",
    ]
    for name, c in summary["contenders"].items():
        lines.append(f"{name:<34}{c['ms_median']:>8.1f}{c['ms_best']:>8.1f}{c['read_ms_median']:>12.1f}{collector(c)}")
    lines += ["", f"{'ratio':<50}{'median':>7}{'best':>7}{'target':>8}  met (by the median of the per-round ratios)"]
    for r in summary["ratios"]:
        target = "-" if r["target"] is None else f"{r['target']:.2f}"
        met = "" if r["target"] is None else ("yes" if r["ratio"] <= r["target"] else "NO")
        lines.append(f"{r['ours'] + ' / ' + r['theirs']:<50}{r['ratio']:>7.2f}{r['best_ratio']:>7.2f}{target:>8}  {met}")
    lines += ["", f"{'per row, result held':<34}{'bytes':>8}{'tracked by gc':>15}   (tracemalloc; tracked after a full collection)"]
    for name, value in summary["per_row"].items():
        lines.append(f"{'  ' + name:<34}{value['bytes']:>8.0f}{value['tracked']:>15.2f}")
    steps = dict(summary["typed_breakdown"])
    wholes = {key: steps.pop(name) for key, name in WHOLE.items()}
    lines += ["", f"{'where the typed fetch goes (no reading; best of rounds)':<64}{'ms':>8}{header}"]
    for name, step in steps.items():
        lines.append(f"  {name:<62}{step['ms_best']:>8.1f}{collector(step)}")
    rest = wholes["typed", "as it is"]["ms_best"] - sum(step["ms_best"] for step in steps.values())
    lines.append(f"  {'the rest: per-row calls, iteration, collector':<62}{rest:>8.1f}")
    for key, name in WHOLE.items():
        lines.append(f"  {name:<62}{wholes[key]['ms_best']:>8.1f}{collector(wholes[key])}")
    if summary["differences"]:
        lines += ["", "where contenders' values differ from their baseline's"]
        lines += [f"  {text}" for text in summary["differences"]]
    return "\n".join(lines)


TARGETS = [
    ("orvane typed", "hand-written conversion", 0.85),
    ("orvane typed", "peewee .tuples()", 0.5),
    ("orvane untyped", "raw fetchall", 1.10),
    ("orvane typed", "sqlite3 PARSE_DECLTYPES", None),
    ("orvane untyped", "sqlite3.Row", None),
    ("orvane typed", "peewee .namedtuples()", None),
    ("peewee .tuples()", "hand-written conversion", None),
    ("orvane typed (pure)", "hand-written conversion", None),
    ("orvane untyped (pure)", "raw fetchall", None),
]


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="bench/e2e.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=100_000, help="rows in the generated file (default 100,000)")
    parser.add_argument("--rounds", type=int, default=7, help="rounds of every contender (default 7)")
    parser.add_argument("--no-gc", action="store_true", help="pause the cycle collector while a contender runs")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock, not by this process's CPU time")
    parser.add_argument("--pure", action="store_true", help="also run orvane's pure-Python flavour")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    arguments = parser.parse_args(argv)
    if arguments.rows < 1 or arguments.rounds < 1:
        parser.error("--rows and --rounds must be at least 1")
    return arguments


def main(argv: Sequence[str]) -> int:
    arguments = parse_arguments(argv)
    progress = _progress_line if sys.stderr.isatty() else (lambda text: None)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "e2e.sqlite")
        progress(f"generating {arguments.rows:,} rows")
        generate_database(path, arguments.rows)
        with contenders.opened(path, folder) as sources:
            plan = contenders.plan(sources, pure=arguments.pure)
            columns = [column[0] for column in sources.plain.execute(QUERY).description]
            differences = contenders.differences(plan, columns)
            wrong = [text for name, text in differences if name in contenders.EXACT]
            if wrong:
                progress("")
                print("bench/e2e.py: orvane's values differ from the baseline's:", *wrong, sep="\n  ", file=sys.stderr)
                return 1
            read = reader(len(columns))
            figures = measure(plan, arguments, read, progress)
            breakdown = measure(breakdown_plan(sources.plain), arguments, None, progress)
            memory = {name: footprint(plan[name], arguments.rows) for name in contenders.MEMORY}
    progress("")
    ratios = [
        ratio(figures, ours, theirs, target)
        for ours, theirs, target in TARGETS
        if ours in figures and theirs in figures
    ]
    summary = summarise(arguments, figures, ratios, memory, breakdown, [text for _, text in differences])
    print(json.dumps(summary, indent=2) if arguments.json else format_report(summary))
    return 0


def _progress_line(text: str) -> None:
    sys.stderr.write(f"\r\x1b[K{text}" if text else "\r\x1b[K")
    sys.stderr.flush()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
