"""From raw timings to the figures of the report, computed once here.

`figures` turns one run's timings (ns per call, by group) into each row's
figures; `combine` folds the runs into a spread per figure (min, median,
max) and judges each row against the targets on the medians.
"""

from __future__ import annotations

import statistics

import rows as R

# Figures whose spread over the runs is reported.
SPREAD = ("lumabo_ns", "raylib_ns", "overhead_ns", "floor_ns", "floor_ratio", "probe_ns",
          "probe_ratio", "cffi_ns", "ctypes_ns", "cffi_overhead_ratio", "ctypes_overhead_ratio")


def listed() -> list[tuple[str, str, str]]:
    """(key, what it is, statement) of every floor and probe, as the floors
    group times them; the probes' keys are their own, as some of their shape
    names are also floor names."""
    return [*((key, what, stmt) for key, (what, stmt) in R.FLOORS.items()),
            *((f"probe: {key}", what, stmt) for key, (what, stmt) in R.PROBES.items())]


def row_runs_keys(row: R.Row) -> list[str]:
    """The measurements of ROW's group, besides the loop steps."""
    keys = ["floor", "lumabo"]
    if row.shape:
        keys.append("probe")
    keys += [k for k in ("raylib", "alt_raylib", "cffi", "ctypes") if getattr(row, k)]
    return keys


def row_figures(row: R.Row, g: dict[str, float]) -> dict:
    """One run's figures of ROW from its group's ns per call G."""

    def py(key: str) -> float | None:
        return g[key] - g["pass"] if key in g else None

    lumabo = py("lumabo")
    raylib = g["raylib"] - g["empty"] if "raylib" in g else 0.0
    alt_raylib = g["alt_raylib"] - g["empty"] if "alt_raylib" in g else raylib
    overhead = lumabo - raylib
    floor = py("floor")
    probe = py("probe")
    cffi, ctypes_ = py("cffi"), py("ctypes")
    return {
        "lumabo_ns": lumabo,
        "raylib_ns": raylib,
        "overhead_ns": overhead,
        "floor_ns": floor,
        "floor_ratio": overhead / floor,
        "probe_ns": probe,
        "probe_ratio": overhead / probe if probe else None,
        "cffi_ns": cffi,
        "ctypes_ns": ctypes_,
        "cffi_overhead_ratio": (cffi - alt_raylib) / overhead if cffi is not None else None,
        "ctypes_overhead_ratio": (ctypes_ - alt_raylib) / overhead if ctypes_ is not None else None,
        "loop_step_ns": g["pass"],
    }


def figures(rows, slot_rows, skipped: dict[str, str], t: dict) -> dict:
    """One run's figures: rows, slots and floors by name."""
    out_rows = {row.name: row_figures(row, t[row.name]) for row in rows if row.name not in skipped}
    out_slots = {}
    for row in slot_rows:
        if row.name in skipped:
            continue
        g = t["slot: " + row.name]
        total = g["slot"] - g["empty"]
        raylib = g["raylib"] - g["empty"] if "raylib" in g else 0.0
        out_slots[row.name] = {"slot_ns": total, "raylib_ns": raylib, "overhead_ns": total - raylib}
    g = t["floors"]
    floors = {key: g[key] - g["pass"] for key, _, _ in listed()}
    floors["python_loop_step_ns"] = g["pass"]
    return {"rows": out_rows, "slots": out_slots, "floors": floors}


def spread(values: list[float | None]) -> dict | None:
    if any(v is None for v in values):
        return None
    return {"min": min(values), "mid": statistics.median(values), "max": max(values)}


def combine(runs: list[dict], rows, slot_rows, skipped: dict[str, str], allocs: dict) -> dict:
    """The report's figures: each one's spread over RUNS, the rows judged."""
    out_rows = []
    for row in rows:
        entry = {"row": row.name, "statement": row.stmt, "floor": R.FLOORS[row.floor][0],
                 "probe": R.PROBES[row.shape][0] if row.shape else None,
                 "call_alone": row.call_alone}
        if row.name in skipped:
            out_rows.append(entry | {"skipped": skipped[row.name]})
            continue
        per_run = [run["rows"][row.name] for run in runs]
        for key in SPREAD:
            entry[key] = spread([r[key] for r in per_run])
        mid = {key: (entry[key] or {}).get("mid") for key in SPREAD}
        alloc = allocs[row.name]
        raylib_bound = mid["raylib_ns"] > R.RAYLIB_BOUND * mid["floor_ns"]
        entry |= {
            "alternative_note": row.alternative_note,
            "same_call": row.same_call,
            "raylib_bound": raylib_bound,
            "alloc_peak_bytes": alloc.peak_bytes,
            "alloc_net_blocks": alloc.net_blocks,
            "no_alloc_target": row.no_alloc,
        }
        misses = []
        if not raylib_bound and mid["floor_ratio"] > R.MAX_FLOOR_RATIO:
            misses.append("floor")
        if not raylib_bound and row.shape and mid["probe_ratio"] > R.MAX_PROBE_RATIO:
            misses.append("probe")
        cffi_ratio = mid["cffi_overhead_ratio"]
        if not raylib_bound and row.same_call and cffi_ratio is not None and cffi_ratio < R.MIN_CFFI_RATIO:
            misses.append("cffi")
        if row.no_alloc and not alloc.none:
            misses.append("alloc")
        entry["misses"] = misses
        entry["verdict"] = ("MISS " + ",".join(misses) if misses
                            else "raylib-bound: see the rows without raylib" if raylib_bound else "ok")
        out_rows.append(entry)

    out_slots = []
    for row in slot_rows:
        entry = {"row": row.name}
        if row.name in skipped:
            out_slots.append(entry | {"skipped": skipped[row.name]})
            continue
        for key in ("slot_ns", "raylib_ns", "overhead_ns"):
            entry[key] = spread([run["slots"][row.name][key] for run in runs])
        out_slots.append(entry)

    floors = {key: spread([run["floors"][key] for run in runs]) for key in runs[0]["floors"]}
    return {"rows": out_rows, "slots": out_slots, "floors_ns": floors}
