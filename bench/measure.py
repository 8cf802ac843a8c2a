"""Timing and import measurements for the benchmark runner.

Every measurement is a callable that runs its subject N times and returns the
seconds that took. The runner calibrates N once, then takes the best of
several rounds, the rounds of all measurements of all rows interleaved, so
that a burst of load from elsewhere on the machine lands on all of them
alike rather than on one row.
"""

from __future__ import annotations

import itertools
import os
import re
import subprocess
import sys
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

Run = Callable[[int], float]  # n -> seconds for n calls

_TEMPLATE = """
def _loop(_it, _clock, _ns):
{binds}
    _t0 = _clock()
    for _ in _it:
        {stmt}
    return _clock() - _t0
"""


def _compile_loop(stmt: str, names: Iterable[str]) -> Callable:
    # The names become locals of the loop's function, as they would be in a
    # program's main loop, so the statement pays no global lookups.
    binds = "\n".join(f"    {name} = _ns[{name!r}]" for name in names) or "    pass"
    code = _TEMPLATE.format(binds=binds, stmt=stmt)
    scope: dict = {}
    exec(compile(code, f"<bench: {stmt}>", "exec"), scope)
    return scope["_loop"]


def python_run(stmt: str, ns: dict) -> Run:
    """A Run executing STMT, with the names of NS bound as locals."""
    loop = _compile_loop(stmt, ns)
    clock = time.perf_counter
    return lambda n: loop(itertools.repeat(None, n), clock, ns)


def native_run(loop: Callable[[int], object]) -> Run:
    """A Run around LOOP(n), which makes its n calls itself (in C)."""
    clock = time.perf_counter

    def run(n: int) -> float:
        t0 = clock()
        loop(n)
        return clock() - t0

    return run


def calibrate(run: Run, target: float, start: int = 100) -> int:
    """A call count for which RUN takes about TARGET seconds."""
    n = start
    while True:
        t = run(n)
        if t >= target / 4 or n >= 1 << 30:
            return max(1, int(n * target / max(t, 1e-9)))
        n *= 4


@dataclass
class Timing:
    n: int
    best: float = float("inf")  # seconds per call, the best round
    rounds: int = 0

    @property
    def ns(self) -> float:
        return self.best * 1e9


def best_of(groups: dict[str, dict[str, Run]], rounds: int, target: float,
            progress=None) -> dict[str, dict[str, float]]:
    """ns per call of every run, by group: the best of ROUNDS rounds.

    A round times every run of every group once, group after group, so a
    burst of load elsewhere on the machine lands on all rows of that round
    alike; within a group the runs stay together, so that the work of one
    row (a seek, say) never lands in the middle of another's measurements.
    """
    timings: dict[str, dict[str, Timing]] = {}
    for name, runs in groups.items():
        timings[name] = {}
        for key, run in runs.items():
            run(max(1, calibrate(run, target / 10) // 10))  # warm caches and specialisation
            timings[name][key] = Timing(n=calibrate(run, target))
    for r in range(rounds):
        for name, runs in groups.items():
            for key, run in runs.items():
                t = timings[name][key]
                t.best = min(t.best, run(t.n) / t.n)
                t.rounds += 1
        if progress:
            progress(r + 1, rounds)
    return {name: {key: t.ns for key, t in group.items()} for name, group in timings.items()}


# -- import time ---------------------------------------------------------------

def _check(proc: subprocess.CompletedProcess) -> None:
    if proc.returncode != 0:
        raise RuntimeError(f"{proc.args[-1]!r} failed in a fresh interpreter:\n{proc.stderr}")


_IMPORTTIME = re.compile(r"import time:\s*(\d+)\s*\|\s*(\d+)\s*\|\s*(\S.*)$")


def import_time(module: str, repeats: int, env: dict | None = None,
                prelude: str = "") -> tuple[float, float]:
    """(self, cumulative) microseconds to import MODULE in a fresh interpreter
    after running PRELUDE, each the best of REPEATS runs of ``python -X importtime``."""
    best_self = best_cum = float("inf")
    for _ in range(repeats):
        proc = subprocess.run(
            [sys.executable, "-X", "importtime", "-c", f"{prelude}\nimport {module}"],
            capture_output=True, text=True, env=env,
        )
        _check(proc)
        for line in proc.stderr.splitlines():
            m = _IMPORTTIME.match(line)
            if m and m.group(3).strip() == module:
                best_self = min(best_self, int(m.group(1)))
                best_cum = min(best_cum, int(m.group(2)))
    return best_self, best_cum


def setup_time(code: str, repeats: int, env: dict | None = None) -> float:
    """Microseconds that CODE takes in a fresh interpreter, best of REPEATS."""
    timed = (
        "import time as _t\n_t0 = _t.perf_counter()\n" + code +
        "\nprint((_t.perf_counter() - _t0) * 1e6)\n"
    )
    best = float("inf")
    for _ in range(repeats):
        proc = subprocess.run(
            [sys.executable, "-c", timed], capture_output=True, text=True, env=env,
            cwd=os.getcwd(),
        )
        _check(proc)
        best = min(best, float(proc.stdout.split()[-1]))
    return best
