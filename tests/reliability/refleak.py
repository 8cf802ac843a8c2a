"""Reference-leak hunt, the way CPython's own test runner does it (``-R``).

On the debug interpreter (``python3.14d``, which counts every reference in
``sys.gettotalrefcount()``), each test runs several times in one process:
some warm-up rounds, then the counted rounds. Between rounds the caches that
fill up slowly on their own are cleared with regrtest's own cleanup, the
cyclic garbage is collected, and the total reference count and the number of
allocated memory blocks are read. A test leaks when every counted round
leaves more behind than the round before: regrtest's rule, which tolerates
the odd cache that fills once. Zero growth passes.

Two ways in:

* a pytest plugin: ``python3.14d -m pytest -p reliability.refleak
  --refleak=3:3 tests`` hunts every test of the suite (the same setup,
  call and teardown, fixture by fixture, as a normal run) and fails the ones
  that leak;
* ``python -m reliability.refleak --corpus [--rounds W:R]``: the fuzzer's
  fixed cases, every entry point with edge-case arguments on every kind of
  receiver, as one test, for the quick round in ``./dev test``.
"""

from __future__ import annotations

import collections.abc
import copyreg
import json
import linecache
import sys
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from inspect import isabstract

import pytest


@dataclass
class Deltas:
    references: list[int]
    blocks: list[int]
    blocks_only: bool = False  # references not judged (code built for the release interpreter)

    def leaks(self) -> bool:
        # regrtest's check_rc_deltas: growth in every counted round.
        judged = (self.blocks,) if self.blocks_only else (self.references, self.blocks)
        return any(deltas and all(d >= 1 for d in deltas) for deltas in judged)


class Interrupted(Exception):
    """A round failed: the test itself is broken, which the normal run
    reports; leaks are not judged."""


def hunt(run: Callable[[], None], warmups: int, rounds: int) -> Deltas:
    """Runs RUN warmups + rounds times and returns the deltas of the counted
    rounds."""
    from test import support
    from test.libregrtest.refleak import _get_dump, dash_R_cleanup, warm_caches

    if not hasattr(sys, "gettotalrefcount"):
        raise RuntimeError("reference counts need the debug interpreter (python3.14d)")
    warm_caches()
    # What dash_R_cleanup puts back after each round (as runtest_refleak).
    fs = warnings.filters[:]
    ps = copyreg.dispatch_table.copy()
    pic = sys.path_importer_cache.copy()
    linecache_data = linecache.cache.copy(), linecache._interactive_cache.copy()
    import zipimport

    zdc = zipimport._zip_directory_cache.copy()
    abcs = {}
    for abc in [getattr(collections.abc, a) for a in collections.abc.__all__]:
        if not isabstract(abc):
            continue
        for obj in abc.__subclasses__() + [abc]:
            abcs[obj] = _get_dump(obj)[0]

    int_pool = {value: value for value in range(-1000, 1000)}
    total = warmups + rounds
    rc_deltas = [0] * total
    alloc_deltas = [0] * total
    rc_before = alloc_before = 0
    dash_R_cleanup(fs, ps, pic, zdc, abcs, linecache_data)
    for i in list(range(total)):
        support.gc_collect()
        run()
        dash_R_cleanup(fs, ps, pic, zdc, abcs, linecache_data)
        support.gc_collect()
        interned = sys.getunicodeinternedsize(_only_immortal=True)
        alloc_after = sys.getallocatedblocks() - interned
        rc_after = sys.gettotalrefcount()
        rc_deltas[i] = int_pool.setdefault(rc_after - rc_before, rc_after - rc_before)
        alloc_deltas[i] = int_pool.setdefault(alloc_after - alloc_before, alloc_after - alloc_before)
        rc_before, alloc_before = rc_after, alloc_after
    return Deltas(rc_deltas[warmups:], alloc_deltas[warmups:])


def parse_rounds(text: str) -> tuple[int, int]:
    warmups, _, rounds = text.partition(":")
    return int(warmups), int(rounds)


# -- pytest plugin -------------------------------------------------------------


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("refleak", "reference-leak hunt (debug interpreter)")
    group.addoption("--refleak", metavar="WARMUPS:ROUNDS", help="hunt every test for reference leaks")
    group.addoption("--refleak-report", metavar="PATH", help="write each test's deltas there (JSON lines)")


def pytest_configure(config: pytest.Config) -> None:
    rounds = config.getoption("--refleak", None)
    if rounds:
        config.pluginmanager.register(Hunter(config, *parse_rounds(rounds)), "refleak-hunter")


class Hunter:
    def __init__(self, config: pytest.Config, warmups: int, rounds: int) -> None:
        self.warmups = warmups
        self.rounds = rounds
        self.report_path = config.getoption("--refleak-report")
        self.hunted = 0
        self.blocks_only = 0
        self.skipped = 0
        self.leaking: list[str] = []
        self.reference_total = 0
        self.block_total = 0

    def _huntable(self, item: pytest.Item) -> bool:
        if item.get_closest_marker("no_refleak"):
            return False
        # Hypothesis keeps what it learns between runs in the process.
        return not getattr(getattr(item, "obj", None), "is_hypothesis_test", False)

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item: pytest.Item, nextitem: pytest.Item | None) -> bool:
        from _pytest.runner import runtestprotocol

        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        deltas = None
        if self._huntable(item):

            def once() -> None:
                # Each run of a fixture that uses one of wider scope adds a
                # finaliser to the wider one (pytest's own bookkeeping, which
                # grows until the wider one is torn down); the run's own are
                # spent by its teardown, so they go again afterwards.
                live = [
                    (fixture, len(fixture._finalizers))
                    for defs in item.session._fixturemanager._arg2fixturedefs.values()
                    for fixture in defs
                    if fixture.cached_result is not None
                ]
                # Tear down the test's own fixtures, keep those of wider
                # scope (the parent's chain), as between two tests.
                reports = runtestprotocol(item, log=False, nextitem=item.parent)
                for fixture, count in live:
                    del fixture._finalizers[count:]
                item._report_sections.clear()
                if any(r.failed or r.skipped for r in reports):
                    raise Interrupted

            try:
                deltas = hunt(once, self.warmups, self.rounds)
            except Interrupted:
                deltas = None
            else:
                deltas.blocks_only = item.get_closest_marker("refleak_blocks_only") is not None
        if deltas is None:
            self.skipped += 1
        else:
            self.hunted += 1
            self.blocks_only += deltas.blocks_only
            if not deltas.blocks_only:
                self.reference_total += sum(deltas.references)
            self.block_total += sum(deltas.blocks)
            if self.report_path:
                with open(self.report_path, "a", encoding="utf-8") as out:
                    print(json.dumps({"test": item.nodeid, **vars(deltas)}), file=out)
            if deltas.leaks():
                self.leaking.append(f"{item.nodeid}: references {deltas.references}, blocks {deltas.blocks}")
                message = (
                    f"leaks: references {deltas.references}, memory blocks {deltas.blocks} "
                    f"over {self.rounds} rounds after {self.warmups} warm-ups"
                )

                def leaked() -> None:
                    pytest.fail(message, pytrace=False)

                item.runtest = leaked  # type: ignore[method-assign]
        runtestprotocol(item, nextitem=nextitem)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def pytest_terminal_summary(self, terminalreporter) -> None:  # noqa: ANN001
        write = terminalreporter.write_line
        write(
            f"refleak: {self.hunted} tests hunted over {self.warmups}:{self.rounds} rounds "
            f"({self.blocks_only} by memory blocks only), {self.skipped} not hunted; "
            f"sum of judged deltas: references {self.reference_total}, memory blocks {self.block_total}; "
            f"{len(self.leaking)} leaking"
        )
        for line in self.leaking:
            write(f"refleak: LEAK {line}")


# -- the fuzzer's fixed cases ------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    import argparse
    import pathlib
    import tempfile

    from . import fuzz
    from .common import raylib_devices, say

    parser = argparse.ArgumentParser(prog="python -m reliability.refleak")
    parser.add_argument("--corpus", action="store_true", required=True)
    parser.add_argument("--rounds", default="2:3", metavar="WARMUPS:ROUNDS")
    options = parser.parse_args(argv)
    warmups, rounds = parse_rounds(options.rounds)

    warnings.simplefilter("error")
    with tempfile.TemporaryDirectory() as tmp, raylib_devices(window=True):
        world = fuzz.make_world(pathlib.Path(tmp))
        cases = 0

        def once() -> None:
            nonlocal cases
            cases += fuzz.run_corpus(world)

        deltas = hunt(once, warmups, rounds)
        say(
            f"refleak: fuzz corpus, {cases} cases over {warmups}:{rounds} rounds; "
            f"reference deltas {deltas.references}, memory block deltas {deltas.blocks}"
        )
        del world
    return 1 if deltas.leaks() else 0


if __name__ == "__main__":
    sys.exit(main())
