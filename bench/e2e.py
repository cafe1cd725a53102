"""End-to-end fetch: orvane's rows against the driver's own fetch, a
hand-written conversion and peers, on the main job's table, in one process.

Every contender runs the main job's query and reads every value of every row
once. Contenders are interleaved round by round (the order rotates each
round) with the cycle collector on, as applications run, unless --no-gc
pauses it. Times are this process's CPU time unless --wall.

Without --warm-heap each run starts from a full collection and ratios are
judged by the median of the per-round ratios. With --warm-heap, 1,000,000
live containers are allocated first and nothing is collected between runs,
as in an application that holds many objects; the collector's walks of that
heap then fall on some rounds and not others, so ratios are judged by the
ratio of mean times.

    python bench/e2e.py [--driver sqlite3|psycopg|duckdb] [--dsn DSN] [--warm-heap]
                        [--rows N] [--rounds N] [--quick] [--no-gc] [--wall] [--pure] [--json]

--driver psycopg without --dsn starts a throw-away PostgreSQL server (the
tests' own, from the postgresql package's binaries).
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import platform
import statistics
import sys
import tempfile
import time
import tracemalloc
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import contenders
from contenders import Contender, Suite

PER = 100_000  # times are shown per this many rows
WARM_CONTAINERS = 1_000_000
WARM_LOOSER = 0.05  # the targets' slack on a warm heap
QUICK_ROWS, QUICK_ROUNDS = 10_000, 2


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
        """Times in ms per `PER` rows (`scale` = PER / rows), the collector's
        passes and time per query."""

        def ms(seconds: list[float], how: Callable[[list[float]], float] = statistics.median) -> float:
            return round(how(seconds) * 1e3 * scale, 2)

        return {
            "ms_median": ms(self.total),
            "ms_mean": ms(self.total, statistics.fmean),
            "ms_best": ms(self.total, min),
            "read_ms_median": ms(self.read),
            "collections_per_query": [round(statistics.fmean(counts), 1) for counts in zip(*self.collections)],
            "collector_ms_per_query": [round(statistics.fmean(seconds) * 1e3, 2) for seconds in zip(*self.collector)],
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
    def watching(self) -> Iterator[CollectorLog]:
        self.counts, self.seconds, self.on = [0, 0, 0], [0.0, 0.0, 0.0], True
        try:
            yield self
        finally:
            self.on = False


def run_once(work: Callable[[], Any], read: Callable[[Any], Any] | None, log: CollectorLog, arguments: argparse.Namespace, figures: Figures) -> None:
    if not arguments.warm_heap:
        # Each run starts from the same heap: the previous contender's rows are gone.
        gc.collect()
    if arguments.no_gc:
        gc.disable()
    try:
        with log.watching():
            started = log.clock()
            rows = work()
            built = log.clock()
            if read is not None:
                for row in rows:
                    read(row)
            finished = log.clock()
    finally:
        gc.enable()
    figures.build.append(built - started)
    figures.read.append(finished - built)
    figures.collections.append(log.counts)
    figures.collector.append(log.seconds)


def measure(plan: dict[str, Contender], arguments: argparse.Namespace, reading: bool, progress: Callable[[str], None]) -> dict[str, Figures]:
    figures = {name: Figures() for name in plan}
    names = list(plan)
    log = CollectorLog(time.perf_counter if arguments.wall else time.process_time)
    gc.callbacks.append(log)
    try:
        for number in range(arguments.rounds):
            shift = number % len(names)
            for name in names[shift:] + names[:shift]:
                progress(f"round {number + 1}/{arguments.rounds}: {name}")
                run_once(plan[name].work, plan[name].read if reading else None, log, arguments, figures[name])
    finally:
        gc.callbacks.remove(log)
    return figures


def ratio(figures: dict[str, Figures], target: contenders.Target, warm: bool) -> dict[str, Any]:
    """The median of the per-round ratios, the ratio of the mean times and
    the ratio of the best rounds; the first judges a target on a fresh heap,
    the second on a warm one."""
    mine, peer = figures[target.ours].total, figures[target.theirs].total
    median = statistics.median(a / b for a, b in zip(mine, peer))
    means = statistics.fmean(mine) / statistics.fmean(peer)
    limit = None if target.limit is None else round(target.limit + (WARM_LOOSER if warm else 0.0), 2)
    judged = means if warm else median
    return {
        "ours": target.ours,
        "theirs": target.theirs,
        "median_ratio": round(median, 3),
        "mean_ratio": round(means, 3),
        "best_ratio": round(min(mine) / min(peer), 3),
        "target": limit,
        "met": None if limit is None else judged <= limit,
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
    del result
    return {"bytes": round(held / rows, 1), "tracked": round(tracked / rows, 2)}


def summarise(arguments: argparse.Namespace, suite: Suite, figures: dict[str, Figures], ratios: list[dict[str, Any]], memory: dict[str, dict[str, float]], breakdown: dict[str, Figures], differences: list[str]) -> dict[str, Any]:
    scale = PER / arguments.rows
    return {
        "driver": arguments.driver,
        "source": suite.label,
        "rows": arguments.rows,
        "rounds": arguments.rounds,
        "collector": not arguments.no_gc,
        "warm_heap": WARM_CONTAINERS if arguments.warm_heap else 0,
        "quick": arguments.quick,
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
    header = f"{'passes g0/g1/g2':>18}{'gc ms g0/g1/g2':>18}"

    def collector(c: dict[str, Any]) -> str:
        return f"{joined(c['collections_per_query']):>18}{joined(c['collector_ms_per_query']):>18}"

    warm = summary["warm_heap"]
    heap = f"warm heap of {warm:,} live containers, no collection between runs" if warm else "a full collection before each run"
    judge = "the ratio of mean times" if warm else "the median of the per-round ratios"
    lines = [
        f"orvane end to end over {summary['source']}: {summary['rows']:,} rows, {summary['rounds']} rounds"
        + (" (quick: no target enforced)" if summary["quick"] else ""),
        f"collector {'on, thresholds ' + str(tuple(summary['gc_threshold'])) if summary['collector'] else 'paused'}; {heap}",
        f"{summary['python']} on {summary['machine']}; {summary['clock']}",
        f"ms per {PER:,} rows; collector passes and their ms per query (mean of rounds); every value read once",
        "",
        f"{'contender':<34}{'median':>8}{'mean':>8}{'best':>8}{'of it read':>11}{header}",
    ]
    for name, c in summary["contenders"].items():
        lines.append(f"{name:<34}{c['ms_median']:>8.1f}{c['ms_mean']:>8.1f}{c['ms_best']:>8.1f}{c['read_ms_median']:>11.1f}{collector(c)}")
    lines += ["", f"{'ratio':<62}{'median':>7}{'means':>7}{'best':>7}{'target':>8}  met (by {judge})"]
    for r in summary["ratios"]:
        target = "-" if r["target"] is None else f"{r['target']:.2f}"
        met = "" if r["met"] is None else ("yes" if r["met"] else "NO")
        lines.append(f"{r['ours'] + ' / ' + r['theirs']:<62}{r['median_ratio']:>7.2f}{r['mean_ratio']:>7.2f}{r['best_ratio']:>7.2f}{target:>8}  {met}")
    lines += ["", f"{'per row, result held':<34}{'bytes':>8}{'tracked by gc':>15}   (tracemalloc; tracked after a full collection)"]
    for name, value in summary["per_row"].items():
        lines.append(f"{'  ' + name:<34}{value['bytes']:>8.0f}{value['tracked']:>15.2f}")
    steps = dict(summary["typed_breakdown"])
    if steps:
        wholes = {key: steps.pop(name) for key, name in contenders.WHOLE.items()}
        lines += ["", f"{'where the typed fetch goes (no reading; best of rounds)':<64}{'ms':>8}{header}"]
        for name, step in steps.items():
            lines.append(f"  {name:<62}{step['ms_best']:>8.1f}{collector(step)}")
        rest = wholes["typed", "as it is"]["ms_best"] - sum(step["ms_best"] for step in steps.values())
        lines.append(f"  {'the rest: per-row calls, iteration, collector':<62}{rest:>8.1f}")
        for key, name in contenders.WHOLE.items():
            lines.append(f"  {name:<62}{wholes[key]['ms_best']:>8.1f}{collector(wholes[key])}")
    if summary["differences"]:
        lines += ["", "where contenders' values differ from their baseline's"]
        lines += [f"  {text}" for text in summary["differences"]]
    return "\n".join(lines)


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="bench/e2e.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", choices=["sqlite3", "psycopg", "duckdb"], default="sqlite3", help="the driver to read through (default sqlite3)")
    parser.add_argument("--dsn", help="for --driver psycopg: the PostgreSQL server to load the table into (default: a throw-away one)")
    parser.add_argument("--warm-heap", action="store_true", help=f"allocate {WARM_CONTAINERS:,} live containers first and collect nothing between runs")
    parser.add_argument("--rows", type=int, help="rows in the generated table (default 100,000)")
    parser.add_argument("--rounds", type=int, help="rounds of every contender (default 7; 20 with --warm-heap)")
    parser.add_argument("--quick", action="store_true", help=f"{QUICK_ROWS:,} rows, {QUICK_ROUNDS} rounds, no breakdown: to check that it all runs")
    parser.add_argument("--no-gc", action="store_true", help="pause the cycle collector while a contender runs")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock, not by this process's CPU time")
    parser.add_argument("--pure", action="store_true", help="also run orvane's pure-Python flavour")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    arguments = parser.parse_args(argv)
    if arguments.rows is None:
        arguments.rows = QUICK_ROWS if arguments.quick else 100_000
    if arguments.rounds is None:
        arguments.rounds = QUICK_ROUNDS if arguments.quick else 20 if arguments.warm_heap else 7
    if arguments.rows < 1 or arguments.rounds < 1:
        parser.error("--rows and --rounds must be at least 1")
    if arguments.dsn is not None and arguments.driver != "psycopg":
        parser.error("--dsn goes with --driver psycopg")
    return arguments


@contextlib.contextmanager
def opened_suite(arguments: argparse.Namespace, folder: str) -> Iterator[Suite]:
    if arguments.driver == "psycopg":
        with contextlib.ExitStack() as stack:
            dsn = arguments.dsn or stack.enter_context(contenders.private_postgres())
            yield stack.enter_context(contenders.postgres_suite(arguments.rows, dsn, arguments.pure))
    elif arguments.driver == "duckdb":
        with contenders.duckdb_suite(arguments.rows, folder, arguments.pure) as suite:
            yield suite
    else:
        with contenders.sqlite_suite(arguments.rows, folder, arguments.pure, breakdown=not arguments.quick) as suite:
            yield suite


# Live for the whole run once --warm-heap allocates it.
_warm_heap: list[list[Any]] = []


def main(argv: Sequence[str]) -> int:
    arguments = parse_arguments(argv)
    progress = _progress_line if sys.stderr.isatty() else (lambda text: None)
    with tempfile.TemporaryDirectory() as folder:
        progress(f"loading {arguments.rows:,} rows")
        with opened_suite(arguments, folder) as suite:
            differences = contenders.differences(suite)
            wrong = [text for name, text in differences if name in suite.exact]
            if wrong:
                progress("")
                print("bench/e2e.py: orvane's values differ from the baseline's:", *wrong, sep="\n  ", file=sys.stderr)
                return 1
            if arguments.warm_heap:
                _warm_heap.extend([None] for _ in range(WARM_CONTAINERS))
                gc.collect()  # an application's long-lived objects sit in the oldest generation
            figures = measure(suite.contenders, arguments, True, progress)
            breakdown = {}
            if suite.breakdown is not None:
                breakdown = measure({name: Contender(work) for name, work in suite.breakdown().items()}, arguments, False, progress)
            memory = {name: footprint(suite.contenders[name].work, arguments.rows) for name in suite.memory}
    progress("")
    ratios = [ratio(figures, target, arguments.warm_heap) for target in suite.targets if target.ours in figures and target.theirs in figures]
    summary = summarise(arguments, suite, figures, ratios, memory, breakdown, [text for _, text in differences])
    print(json.dumps(summary, indent=2) if arguments.json else format_report(summary))
    return 0


def _progress_line(text: str) -> None:
    sys.stderr.write(f"\r\x1b[K{text}" if text else "\r\x1b[K")
    sys.stderr.flush()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
