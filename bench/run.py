"""lumabo's benchmark suite: per-call cost against the floor, the probe and
the alternatives.

    ./dev bench [--quick] [--only TEXT] [--runs N] [--json PATH] [--markdown PATH]

(or ``python bench/run.py`` inside ``./dev shell``). Prints a table and
writes every figure to build/bench/results.json; --markdown also writes the
tables as Markdown, as the README shows them.

For each row (rows.py) it times, in one run and on the same loaded track and
sound:

- lumabo's Python-level operation, per call;
- raylib's own cost: the same raylib function called from C in a loop
  (baseline.c), so that lumabo's overhead is its time minus raylib's;
- the matching CPython floor: a builtin doing the same kind of call with
  next to no work;
- for a method call, the probe of its shape: a native function object of
  lumabo's kind whose body returns None, the limit of the call path;
- the same raylib call through cffi (ABI mode) and through ctypes;
- the C-level slots, called through the capsule in a C loop by the
  test-only extension lumabo_capi_test;

and it checks with tracemalloc that the no-argument paths allocate nothing,
times each module's import in a fresh interpreter and reports instance sizes.
Every Python-level time is net of the loop that runs it (the "loop step").
Times are the best of several rounds, the rows interleaved within each
round (noise only ever adds); the whole is run --runs times and the report
gives each figure's spread.

The jobs live apart: natives.py builds the native code, subjects.py makes
what the rows run on, measure.py times, judge.py computes the figures and
judges them, report.py renders them.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO / "tools"))

import harness  # noqa: E402
import judge  # noqa: E402
import measure  # noqa: E402
import report  # noqa: E402
import rows as R  # noqa: E402
import subjects  # noqa: E402
import with_ctypes  # noqa: E402

OUT = REPO / "build" / "bench"


def row_runs(env: subjects.Environment, row: R.Row) -> dict[str, measure.Run]:
    """What one row times: lumabo, raylib, the probe, the alternatives, and
    the floor and loop steps it is set against, all measured together."""
    ns = env.ns
    runs = {
        "pass": measure.python_run("pass", ns),
        "empty": measure.native_run(env.base.empty),
        "floor": measure.python_run(R.FLOORS[row.floor][1], ns),
        "lumabo": measure.python_run(row.stmt, ns),
    }
    if row.shape:
        runs["probe"] = measure.python_run(R.PROBES[row.shape][1], ns)
    if row.raylib:
        runs["raylib"] = measure.native_run(lambda n: row.raylib(env, n))
    if row.alt_raylib:
        runs["alt_raylib"] = measure.native_run(lambda n: row.alt_raylib(env, n))
    if row.cffi:
        runs["cffi"] = measure.python_run(row.cffi, ns)
    if row.ctypes:
        runs["ctypes"] = measure.python_run(row.ctypes, ns)
    return runs


def slot_runs(env: subjects.Environment, row: R.SlotRow) -> dict[str, measure.Run]:
    runs = {
        "empty": measure.native_run(env.base.empty),
        "slot": measure.native_run(lambda n: row.run(env, n)),
    }
    if row.raylib:
        runs["raylib"] = measure.native_run(lambda n: row.raylib(env, n))
    return runs


def groups_of(env: subjects.Environment, rows, slot_rows, skipped) -> dict[str, dict[str, measure.Run]]:
    groups = {"floors": {"pass": measure.python_run("pass", env.ns)}}
    for key, _, stmt in judge.listed():
        groups["floors"][key] = measure.python_run(stmt, env.ns)
    for row in rows:
        if row.name not in skipped:
            groups[row.name] = row_runs(env, row)
    for row in slot_rows:
        if row.name not in skipped:
            groups["slot: " + row.name] = slot_runs(env, row)
    return groups


def measure_imports(env: subjects.Environment, repeats: int) -> list[dict]:
    raylib = str(env.device.library_path())
    paths = [str(HERE), str(REPO / "tools")]
    # Loading raylib and the graphics libraries it links is most of the first
    # import; with raylib already loaded what is left is the module's own.
    preload = f"import ctypes; ctypes.CDLL({raylib!r})"
    out = []
    for module in R.MODULES:
        for what, prelude in [(f"import {module}", ""),
                              ("  the same, raylib already loaded", preload)]:
            self_us, cum_us = measure.import_time(module, repeats, prelude=prelude)
            out.append({"what": what, "self_us": self_us, "cumulative_us": cum_us})
    # The alternatives are handed raylib's path, as a program using them
    # would have it: what they take is the binding's own work.
    for what, code in [
        ("ctypes: import, load raylib, set prototypes",
         f"import sys; sys.path[:0] = {paths!r}\n"
         f"import with_ctypes; with_ctypes.open_ctypes({raylib!r})"),
        ("cffi: import, cdef, dlopen raylib",
         f"import sys; sys.path[:0] = {paths!r}\n"
         f"import with_cffi; with_cffi.open_cffi({raylib!r})"),
        ("reference: import _bz2 (a stdlib extension module)", "import _bz2"),
    ]:
        out.append({"what": what, "cumulative_us": measure.setup_time(code, repeats)})
    return out


def measure_sizes(env: subjects.Environment) -> list[dict]:
    out = []

    def add(what: str, obj, note: str = "") -> None:
        out.append({"what": what, "getsizeof": sys.getsizeof(obj),
                    "basicsize": type(obj).__basicsize__, "note": note})

    if hasattr(env, "m"):
        add("Music", env.m, "holds the raylib record by value, and the view of data loaded from memory")
        add("AudioStream (Music.stream)", env.m.stream, "made once, at load")
    if hasattr(env, "s"):
        add("Sound", env.s, "holds the raylib record by value")
    if hasattr(env, "c"):
        add("Cursor", env.c)
    add("ctypes Music structure", with_ctypes.Music(), "record in a separate buffer")
    ffi = env.ffi
    music = ffi.new("Music *")
    out.append({"what": "cffi Music cdata (ffi.new)", "getsizeof": sys.getsizeof(music) + ffi.sizeof("Music"),
                "basicsize": None, "note": "cdata object + the record it owns"})
    return out


def machine() -> dict:
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        pass
    return {
        "python": sys.version,
        "debug_build": bool(sysconfig.get_config_var("Py_DEBUG")),
        "platform": platform.platform(),
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "load_average": os.getloadavg(),
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds, one run (a smoke run)")
    parser.add_argument("--only", metavar="TEXT", help="only rows whose name contains TEXT")
    parser.add_argument("--runs", type=int, help="whole measurements, for the spread (default 3)")
    parser.add_argument("--json", type=Path, default=OUT / "results.json", help="where to write the figures")
    parser.add_argument("--native", type=Path, help="directory of an already built lumabo_capi_test")
    parser.add_argument("--rounds", type=int, help="timing rounds per measurement")
    parser.add_argument("--markdown", type=Path, help="also write the tables as Markdown here")
    args = parser.parse_args(argv)
    # Short rounds, many of them: on a shared machine a round that no other
    # process interrupts is likelier when it is short, and the best is kept.
    rounds = args.rounds or (5 if args.quick else 41)
    runs = args.runs or (1 if args.quick else 3)
    target = 0.0005 if args.quick else 0.002  # seconds per round of one measurement
    import_repeats = 1 if args.quick else 7

    rows = [r for r in R.ROWS if not args.only or args.only in r.name]
    slot_rows = [r for r in R.SLOT_ROWS if not args.only or args.only in r.name]
    needs = {r.needs for r in rows} | {r.needs for r in slot_rows}
    window = any(r.window for r in rows) or any(r.window for r in slot_rows)

    env = subjects.prepare(OUT, args.native, needs, window)
    try:
        skipped = {r.name: reason for r in [*rows, *slot_rows]
                   if (reason := subjects.skip_reason(env, r))}
        groups = groups_of(env, rows, slot_rows, skipped)
        figures = []
        for i in range(runs):
            def progress(done: int, total: int, i=i) -> None:
                print(f"\r  run {i + 1}/{runs}: round {done}/{total}", end="", file=sys.stderr, flush=True)

            t = measure.best_of(groups, rounds, target, progress)
            figures.append(judge.figures(rows, slot_rows, skipped, t) | {"raw_ns": t})
        print(file=sys.stderr)
        allocs = {row.name: harness.allocations(row.stmt, env.ns)
                  for row in rows if row.name not in skipped}
        sizes = measure_sizes(env)
    finally:
        subjects.close(env)
    imports = measure_imports(env, import_repeats)

    result = judge.combine(figures, rows, slot_rows, skipped, allocs) | {
        "machine": machine(),
        "settings": {"rounds": rounds, "runs": runs, "round_seconds": target, "only": args.only},
        "targets": {"max_floor_ratio": R.MAX_FLOOR_RATIO, "min_cffi_overhead_ratio": R.MIN_CFFI_RATIO,
                    "max_probe_ratio": R.MAX_PROBE_RATIO},
        "imports": imports,
        "sizes": sizes,
        "runs": figures,
    }
    print(report.text(result))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(result, indent=2) + "\n")
    print(f"\nwritten: {args.json}")
    if args.markdown:
        args.markdown.write_text(report.markdown(result))
        print(f"written: {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
