"""The report: the tables of figures judge.py computed, built once and
rendered twice, as plain text for the terminal (each figure the median of
the runs) and as Markdown for the README (each figure's spread, min–max)."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field

import judge

Cell = Callable[..., str]  # (figure spread, format spec) -> text


def mid(fig: dict | None, spec: str = ".1f") -> str:
    return "–" if fig is None else format(fig["mid"], spec)


def span(fig: dict | None, spec: str = ".1f") -> str:
    if fig is None:
        return "–"
    low, high = format(fig["min"], spec), format(fig["max"], spec)
    return low if low == high else f"{low}–{high}"


@dataclass
class Table:
    title: str
    head: list[str]  # figures are right-aligned, the first and any last text column left
    rows: list[list[str]] = field(default_factory=list)
    note: str = ""  # a line between rows: "" for none


def row_cells(r: dict, cell: Cell) -> list[str]:
    if "skipped" in r:
        return [r["row"], f"skipped: {r['skipped']}"]
    x_floor = "raylib-bound" if r["raylib_bound"] else cell(r["floor_ratio"], ".2f")
    x_cffi = "–" if r["raylib_bound"] else cell(r["cffi_overhead_ratio"])
    if r["cffi_overhead_ratio"] is not None and not r["same_call"] and not r["raylib_bound"]:
        x_cffi = f"({x_cffi})"
    allocs = "0" if r["alloc_peak_bytes"] == 0 and r["alloc_net_blocks"] <= 0 else f"{r['alloc_peak_bytes']} B"
    return [r["row"] + (" *" if r["call_alone"] else ""),
            *(cell(r[k]) for k in ("lumabo_ns", "raylib_ns", "overhead_ns", "floor_ns")), x_floor,
            cell(r["probe_ns"]), cell(r["probe_ratio"], ".2f"), cell(r["cffi_ns"]), cell(r["ctypes_ns"]),
            x_cffi, allocs, r["verdict"]]


def tables(report: dict, cell: Cell) -> list[Table]:
    calls = Table("Python-level calls, ns per call (overhead = lumabo - raylib; × cffi = cffi's "
                  "overhead / lumabo's; * = raylib does next to nothing)",
                  ["row", "lumabo", "raylib", "overhead", "floor", "× floor", "probe", "× probe",
                   "cffi", "ctypes", "× cffi", "allocs", "targets"])
    calls.rows = [row_cells(r, cell) for r in report["rows"]]
    floors = Table("Floors and probes, ns per call (net of the loop step)",
                   ["the call a row is set against", "ns"])
    floors.rows = [[what, cell(report["floors_ns"][key])] for key, what, _ in judge.listed()]
    floors.rows.append(["loop step (subtracted from every figure)",
                        cell(report["floors_ns"]["python_loop_step_ns"])])
    slots = Table("C-level slots through the capsule, called in a C loop, ns per call",
                  ["slot", "slot", "raylib", "overhead"])
    slots.rows = [[r["row"], "skipped"] if "skipped" in r else
                  [r["row"], cell(r["slot_ns"]), cell(r["raylib_ns"]), cell(r["overhead_ns"])]
                  for r in report["slots"]]
    imports = Table("Import time in a fresh interpreter, microseconds (best of the runs)",
                    ["import", "self µs", "total µs"])
    imports.rows = [[r["what"].strip(), f"{r['self_us']:.0f}" if "self_us" in r else "–",
                     f"{r['cumulative_us']:.0f}"] for r in report["imports"]]
    sizes = Table("Instance size, bytes (sys.getsizeof)", ["instance", "bytes", "note"])
    sizes.rows = [[r["what"], str(r["getsizeof"]), r["note"]] for r in report["sizes"]]
    return [calls, floors, slots, imports, sizes]


def text(report: dict) -> str:
    runs = report["settings"]["runs"]
    out = [f"Figures are the median of {runs} run(s).", ""]
    for t in tables(report, mid):
        widths = [max(len(row[i]) for row in [t.head, *t.rows] if i < len(row))
                  for i in range(len(t.head))]
        out += [t.title + ":", ""]
        for row in [t.head, *t.rows]:
            left = {0} | ({len(t.head) - 1} if t.head[-1] in ("targets", "note") else set())
            cells = [c.ljust(widths[i]) if i in left else c.rjust(widths[i]) for i, c in enumerate(row)]
            if len(row) < len(t.head):  # a skipped row: its reason, left as it is
                cells = [row[0].ljust(widths[0]), *row[1:]]
            out.append("  ".join(cells).rstrip())
        out.append("")
    return "\n".join(out)


def markdown(report: dict) -> str:
    """The tables as Markdown, for the README: each figure's spread over the runs."""
    out = []
    for t in tables(report, span):
        out += [f"| {' | '.join(t.head)} |", "|---|" + "--:|" * (len(t.head) - 1)]
        for row in t.rows:
            out.append(f"| {' | '.join(row)} |" + "|" * (len(t.head) - len(row)))
        out.append("")
    return "\n".join(out)
