"""The report: a plain-text table for the terminal and Markdown tables for
the README, both drawn from the figures judge.py computed. The text shows
the median of the runs; the Markdown shows each figure's spread (min–max)."""

from __future__ import annotations

import rows as R


def mid(fig: dict | None, spec: str = ".1f") -> str:
    return "-" if fig is None else format(fig["mid"], spec)


def span(fig: dict | None, spec: str = ".1f") -> str:
    if fig is None:
        return "–"
    low, high = format(fig["min"], spec), format(fig["max"], spec)
    return low if low == high else f"{low}–{high}"


def allocs(r: dict, unit: str = "B") -> str:
    if r["alloc_peak_bytes"] == 0 and r["alloc_net_blocks"] <= 0:
        return "0"
    return f"{r['alloc_peak_bytes']}{unit}"


def x_cffi(r: dict, cell) -> str:
    shown = cell(r["cffi_overhead_ratio"])
    if r["cffi_overhead_ratio"] is not None and not r["same_call"]:
        shown = f"({shown})"
    return shown


def text(report: dict) -> str:
    out_rows, out_slots, floors = report["rows"], report["slots"], report["floors_ns"]
    head = (f"{'row':<32} {'lumabo':>8} {'raylib':>8} {'overhead':>8} {'floor':>6} "
            f"{'x floor':>7} {'probe':>6} {'x probe':>7} {'cffi':>7} {'ctypes':>7} {'x cffi':>7} "
            f"{'alloc':>6}  verdict")
    lines = [f"Python-level calls, ns per call, median of {report['settings']['runs']} run(s) "
             "(overhead = lumabo - raylib; x cffi = cffi's overhead / lumabo's)", "", head,
             "-" * len(head)]
    started = False
    for r in out_rows:
        if r["call_alone"] and not started:
            started = True
            lines += ["", "Without raylib's share: the same calls where raylib does next to nothing", ""]
        if "skipped" in r:
            lines.append(f"{r['row']:<32} skipped: {r['skipped']}")
            continue
        lines.append(
            f"{r['row']:<32} {mid(r['lumabo_ns']):>8} {mid(r['raylib_ns']):>8} "
            f"{mid(r['overhead_ns']):>8} {mid(r['floor_ns']):>6} {mid(r['floor_ratio'], '.2f'):>7} "
            f"{mid(r['probe_ns']):>6} {mid(r['probe_ratio'], '.2f'):>7} "
            f"{mid(r['cffi_ns']):>7} {mid(r['ctypes_ns']):>7} {x_cffi(r, mid):>7} "
            f"{allocs(r):>6}  {r['verdict']}"
        )
    lines += ["", "Floors and probes, ns per call (net of the loop step):"]
    for key, (what, _) in [*R.FLOORS.items(), *R.PROBES.items()]:
        lines.append(f"  {mid(floors[key]):>6}  {what}")
    lines.append(f"  {mid(floors['python_loop_step_ns']):>6}  loop step (subtracted everywhere)")

    lines += ["", "C-level slots through the capsule, called in a C loop, ns per call:", "",
              f"{'slot':<36} {'slot':>8} {'raylib':>8} {'overhead':>8}"]
    for r in out_slots:
        if "skipped" in r:
            lines.append(f"{r['row']:<36} skipped: {r['skipped']}")
        else:
            lines.append(f"{r['row']:<36} {mid(r['slot_ns']):>8} {mid(r['raylib_ns']):>8} "
                         f"{mid(r['overhead_ns']):>8}")

    lines += ["", "Import time in a fresh interpreter, microseconds (best of the runs):", ""]
    for r in report["imports"]:
        own = f"self {r['self_us']:.0f}, " if "self_us" in r else ""
        lines.append(f"  {r['what']:<52} {own}total {r['cumulative_us']:.0f}")
    lines += ["", "Instance size, bytes (sys.getsizeof; basic size of the type):", ""]
    for r in report["sizes"]:
        basic = f" (basic {r['basicsize']})" if r["basicsize"] is not None else ""
        note = f"  {r['note']}" if r["note"] else ""
        lines.append(f"  {r['what']:<32} {r['getsizeof']:>5}{basic}{note}")
    return "\n".join(lines)


def markdown(report: dict) -> str:
    """The tables as Markdown, for the README: each figure's spread over the runs."""
    lines = [
        "| row | lumabo | raylib | overhead | floor | × floor | probe | × probe | cffi | ctypes "
        "| × cffi | allocs | targets |",
        "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|",
    ]
    for r in report["rows"]:
        if "skipped" in r:
            lines.append(f"| `{r['statement']}` | skipped: {r['skipped']} ||||||||||||")
            continue
        x_floor = "raylib-bound" if r["raylib_bound"] else span(r["floor_ratio"], ".2f")
        x_probe = span(r["probe_ratio"], ".2f")
        cffi_cell = "–" if r["raylib_bound"] else x_cffi(r, span)
        name = r["row"] + (" *" if r["call_alone"] else "")
        lines.append(
            f"| {name} | {span(r['lumabo_ns'])} | {span(r['raylib_ns'])} | {span(r['overhead_ns'])} "
            f"| {span(r['floor_ns'])} | {x_floor} | {span(r['probe_ns'])} | {x_probe} "
            f"| {span(r['cffi_ns'])} | {span(r['ctypes_ns'])} | {cffi_cell} | {allocs(r, ' B')} "
            f"| {r['verdict']} |"
        )
    lines += ["", "| floor or probe: the call it is set against | ns |", "|---|--:|"]
    for key, (what, _) in [*R.FLOORS.items(), *R.PROBES.items()]:
        lines.append(f"| {what} | {span(report['floors_ns'][key])} |")
    lines.append(f"| loop step (subtracted from every figure) | "
                 f"{span(report['floors_ns']['python_loop_step_ns'])} |")
    lines += ["", "| C-level slot, through the capsule | slot | raylib | overhead |", "|---|--:|--:|--:|"]
    for r in report["slots"]:
        if "skipped" in r:
            lines.append(f"| {r['row']} | skipped |||")
        else:
            lines.append(f"| {r['row']} | {span(r['slot_ns'])} | {span(r['raylib_ns'])} "
                         f"| {span(r['overhead_ns'])} |")
    lines += ["", "| import, in a fresh interpreter | self µs | total µs |", "|---|--:|--:|"]
    for r in report["imports"]:
        own = f"{r['self_us']:.0f}" if "self_us" in r else "–"
        lines.append(f"| {r['what'].strip()} | {own} | {r['cumulative_us']:.0f} |")
    lines += ["", "| instance | bytes (`sys.getsizeof`) |", "|---|--:|"]
    for r in report["sizes"]:
        lines.append(f"| {r['what']} | {r['getsizeof']} |")
    return "\n".join(lines) + "\n"
