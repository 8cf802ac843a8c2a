"""lumabo's benchmark suite: per-call cost against the floor and the alternatives.

    ./dev bench [--quick] [--only TEXT] [--json PATH] [--markdown PATH]

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
- the same raylib call through cffi (ABI mode) and through ctypes;
- the C-level slots, called through the capsule in a C loop by the
  test-only extension lumabo_capi_test;

and it checks with tracemalloc that the no-argument paths allocate nothing,
times each module's import in a fresh interpreter and reports instance sizes.
Every Python-level time is net of the loop that runs it (the "loop step").
Times are the best of several interleaved rounds: noise only ever adds.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import importlib
import json
import os
import platform
import subprocess
import sys
import sysconfig
import wave
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPO / "tests"))

import measure  # noqa: E402
import rows as R  # noqa: E402
import with_cffi  # noqa: E402
import with_ctypes  # noqa: E402

OUT = REPO / "build" / "bench"

# Music and Sound hold their raylib record right after the object header and
# the C-level method table pointer.
RECORD_OFFSET = object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p)


# -- native helpers -------------------------------------------------------------


def build_native(out: Path, native: Path | None) -> Path:
    """Directory of lumabo_capi_test: NATIVE if given, else an optimised
    build of tests/native into OUT/native (the tests' own build is a debug one)."""
    if native is not None:
        return native
    build = out / "native"
    subprocess.run(
        ["cmake", "-S", str(REPO / "tests" / "native"), "-B", str(build), "-G", "Ninja",
         "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"],
        check=True, stdout=subprocess.DEVNULL,
    )
    subprocess.run(["cmake", "--build", str(build)], check=True, stdout=subprocess.DEVNULL)
    return build


def build_baseline(out: Path, raylib: Path) -> ctypes.CDLL:
    """bench/baseline.c, linked against the raylib that the modules load."""
    lib = out / "libbaseline.so"
    src = HERE / "baseline.c"
    if not lib.exists() or lib.stat().st_mtime < src.stat().st_mtime:
        subprocess.run(
            ["cc", "-O2", "-Wall", "-Wextra", "-shared", "-fPIC", "-o", str(lib), str(src),
             str(raylib), f"-Wl,-rpath,{raylib.parent}"],
            check=True,
        )
    base = ctypes.CDLL(os.fspath(lib))
    ptr, long_, flt = ctypes.c_void_p, ctypes.c_long, ctypes.c_float
    signatures = {
        "play_music": [ptr, long_],
        "update_music": [ptr, long_],
        "seek_music": [ptr, flt, long_],
        "set_music_volume": [ptr, flt, long_],
        "music_time_length": [ptr, long_],
        "play_sound": [ptr, long_],
        "update_sound": [ptr, ptr, ctypes.c_int, long_],
        "set_sound_volume": [ptr, flt, long_],
        "show_cursor": [long_],
        "empty": [long_],
    }
    for name, argtypes in signatures.items():
        getattr(base, name).argtypes = argtypes
        getattr(base, name).restype = None
    return base


# -- what the rows run on ------------------------------------------------------


def write_silence(path: Path, seconds: float, rate: int = 44100, channels: int = 2) -> Path:
    with wave.open(os.fspath(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(2 * channels * int(seconds * rate)))
    return path


def module_class(module: str, name: str):
    """The class NAME of MODULE, or None while the module does not define it."""
    try:
        return getattr(importlib.import_module(module), name, None)
    except ImportError:
        return None


class Environment(SimpleNamespace):
    """Everything the rows use; `ns` holds the names their statements see."""


def prepare(args, needs: set[str], window: bool) -> Environment:
    from lumabo import device

    OUT.mkdir(parents=True, exist_ok=True)
    device.set_log_level(device.LOG_WARNING)
    raylib = device.library_path()
    env = Environment(missing={}, xvfb=None, device=device)

    native = build_native(OUT, args.native)
    sys.path.insert(0, str(native))
    import lumabo_capi_test

    env.capi = lumabo_capi_test
    env.base = build_baseline(OUT, raylib)
    ffi, cf = with_cffi.open_cffi(raylib)
    ct = with_ctypes.open_ctypes(raylib)
    env.ffi = ffi
    data = {f"data_{suffix}": bytes(size) for suffix, size in R.UPDATE_SIZES}
    env.ns = dict(
        cf=cf, ffi=ffi, ct=ct,
        i=1, f=1.0, z=1j, e="", b=b"", mv=memoryview(b""), lst=[],
        fn=write_silence, name="write_silence",
        **data,
    )

    classes = {
        "music": ("lumabo.music.music", "Music"),
        "sound": ("lumabo.sound.sound", "Sound"),
        "cursor": ("lumabo.cursor.cursor", "Cursor"),
        "stream": ("lumabo.audio_stream.audio_stream", "AudioStream"),
    }
    for key, (module, name) in classes.items():
        if key in needs and module_class(module, name) is None:
            env.missing[key] = f"{module} has no {name} yet"

    if {"music", "sound", "stream"} & (needs - env.missing.keys()):
        device.open_audio()
    if "music" in needs and "music" not in env.missing:
        prepare_music(env, ffi)
    if "sound" in needs and "sound" not in env.missing:
        prepare_sound(env, ffi)
    if "stream" in needs and "stream" not in env.missing:
        prepare_stream(env, ffi)
    if "cursor" in needs and "cursor" not in env.missing:
        from lumabo.cursor.cursor import cursor

        env.c = env.ns["c"] = cursor
        if window:
            open_window(env)
    return env


def prepare_music(env: Environment, ffi) -> None:
    from lumabo.music.music import Music

    track = write_silence(OUT / "track.wav", 20)
    m = Music.load(str(track))
    if not m.valid:
        raise SystemExit(f"raylib could not load {track}")
    m.looping = True
    m.play()
    address = id(m) + RECORD_OFFSET
    tm = with_ctypes.Music.from_address(address)
    ct = env.ns["ct"]
    # The views must show the object's own record before anything is timed.
    if not (ct.IsMusicValid(tm) and ct.GetMusicTimeLength(tm) == m.length
            and tm.stream.sampleRate == m.stream.sample_rate
            and tm.stream.channels == m.stream.channels and tm.looping):
        raise SystemExit("the Music record is not where the benchmark expects it")
    env.m = m
    env.m_ptr = ctypes.c_void_p(address)
    env.ns.update(m=m, tm=tm, cm=ffi.cast("Music *", address)[0], empty_music=Music(), Music=Music,
                  track_bytes=write_silence(OUT / "short.wav", 0.1).read_bytes())


def prepare_sound(env: Environment, ffi) -> None:
    from lumabo.sound.sound import Sound

    s = Sound.load(str(write_silence(OUT / "sound.wav", 4)))
    if not s.valid:
        raise SystemExit("raylib could not load the benchmark's sound")
    address = id(s) + RECORD_OFFSET
    ts = with_ctypes.Sound.from_address(address)
    if not (ts.frameCount == s.frame_count and ts.stream.channels == s.stream.channels
            and ts.stream.sampleSize == s.stream.sample_size):
        raise SystemExit("the Sound record is not where the benchmark expects it")
    frame_bytes = s.stream.sample_size // 8 * s.stream.channels
    for suffix, size in R.UPDATE_SIZES:
        frames = size // frame_bytes
        if frames > s.frame_count:
            raise SystemExit(f"the benchmark's sound is too short for {size} bytes")
        env.ns[f"frames_{suffix}"] = frames
    env.s = s
    env.s_ptr = ctypes.c_void_p(address)
    env.empty_sound = Sound()
    env.ns.update(s=s, ts=ts, cs=ffi.cast("Sound *", address)[0])


def prepare_stream(env: Environment, ffi) -> None:
    from lumabo.audio_stream.audio_stream import AudioStream

    st = AudioStream.create(22050, 16, 2)
    if not st.valid:
        raise SystemExit("raylib could not make the benchmark's audio stream")
    address = id(st) + RECORD_OFFSET
    tst = with_ctypes.AudioStream.from_address(address)
    if not (tst.sampleRate == st.sample_rate and tst.channels == st.channels):
        raise SystemExit("the AudioStream record is not where the benchmark expects it")
    env.st = st
    env.st_ptr = ctypes.c_void_p(address)
    env.ns.update(st=st, tst=tst, cst=ffi.cast("AudioStream *", address)[0],
                  frames_refill=st.buffer_frames)


def open_window(env: Environment) -> None:
    import support

    if not os.environ.get("DISPLAY"):
        try:
            env.xvfb, os.environ["DISPLAY"] = support.start_xvfb()
        except (FileNotFoundError, RuntimeError) as e:
            env.missing["window"] = f"no display: {e}"
            return
    try:
        env.device.open_window(320, 240, "lumabo bench")
    except RuntimeError as e:
        env.missing["window"] = str(e)


def close(env: Environment) -> None:
    for name in ("m", "s", "st"):
        obj = getattr(env, name, None)
        if obj is not None:
            obj.unload()
    env.device.close_window()
    env.device.close_audio()
    if env.xvfb is not None:
        import support

        support.stop_xvfb(env.xvfb)


# -- measuring -------------------------------------------------------------------


def skip_reason(env: Environment, row) -> str | None:
    if row.needs in env.missing:
        return env.missing[row.needs]
    if row.window and "window" in env.missing:
        return env.missing["window"]
    return None


def row_runs(env: Environment, row: R.Row) -> dict[str, measure.Run]:
    """What one row times: lumabo, raylib, the alternatives, and the floor and
    loop steps it is set against, so that all of a row is measured together."""
    ns = env.ns
    runs = {
        "pass": measure.python_run("pass", ns),
        "empty": measure.native_run(env.base.empty),
        "floor": measure.python_run(R.FLOORS[row.floor][1], ns),
        "lumabo": measure.python_run(row.stmt, ns),
    }
    if row.raylib:
        runs["raylib"] = measure.native_run(lambda n: row.raylib(env, n))
    if row.alt_raylib:
        runs["alt_raylib"] = measure.native_run(lambda n: row.alt_raylib(env, n))
    if row.cffi:
        runs["cffi"] = measure.python_run(row.cffi, ns)
    if row.ctypes:
        runs["ctypes"] = measure.python_run(row.ctypes, ns)
    return runs


def slot_runs(env: Environment, row: R.SlotRow) -> dict[str, measure.Run]:
    runs = {
        "empty": measure.native_run(env.base.empty),
        "slot": measure.native_run(lambda n: row.run(env, n)),
    }
    if row.raylib:
        runs["raylib"] = measure.native_run(lambda n: row.raylib(env, n))
    return runs


def floor_runs(env: Environment) -> dict[str, measure.Run]:
    runs = {"pass": measure.python_run("pass", env.ns)}
    for key, (_, stmt) in R.FLOORS.items():
        runs[key] = measure.python_run(stmt, env.ns)
    return runs


def measure_all(env: Environment, rows, slot_rows, args) -> dict[str, dict[str, float]]:
    """ns per call of every measurement, by group: a row's measurements are
    timed in interleaved rounds, one row after the other, so the work of one
    row (a seek, say) never lands in the middle of another's."""
    groups: dict[str, dict[str, measure.Run]] = {"floors": floor_runs(env)}
    for row in rows:
        if not skip_reason(env, row):
            groups[row.name] = row_runs(env, row)
    for row in slot_rows:
        if not skip_reason(env, row):
            groups["slot: " + row.name] = slot_runs(env, row)
    out = {}
    for i, (name, runs) in enumerate(groups.items(), 1):
        print(f"\r  [{i}/{len(groups)}] {name:<40}", end="", file=sys.stderr, flush=True)
        timings = measure.best_of(runs, args.rounds, args.target)
        out[name] = {key: t.ns for key, t in timings.items()}
    print(file=sys.stderr)
    return out


def results_of(env: Environment, rows, slot_rows, t: dict) -> tuple[list, list, dict]:
    out_rows = []
    for row in rows:
        entry = {"row": row.name, "statement": row.stmt, "floor": R.FLOORS[row.floor][0],
                 "probe": row.probe}
        reason = skip_reason(env, row)
        if reason:
            out_rows.append(entry | {"skipped": reason})
            continue
        g = t[row.name]

        def py(key: str) -> float | None:
            return g[key] - g["pass"] if key in g else None

        lumabo = py("lumabo")
        raylib = g["raylib"] - g["empty"] if "raylib" in g else 0.0
        alt_raylib = g["alt_raylib"] - g["empty"] if "alt_raylib" in g else raylib
        overhead = lumabo - raylib
        floor = py("floor")
        cffi = py("cffi")
        ctypes_ = py("ctypes")
        raylib_bound = raylib > R.RAYLIB_BOUND * floor
        alloc = measure.allocations(row.stmt, env.ns)
        entry |= {
            "lumabo_ns": lumabo,
            "raylib_ns": raylib,
            "overhead_ns": overhead,
            "floor_ns": floor,
            "floor_ratio": overhead / floor,
            "cffi_ns": cffi,
            "ctypes_ns": ctypes_,
            "cffi_overhead_ratio": (cffi - alt_raylib) / overhead if cffi is not None else None,
            "ctypes_overhead_ratio": (ctypes_ - alt_raylib) / overhead if ctypes_ is not None else None,
            "alternative_note": row.alternative_note,
            "same_call": row.same_call,
            "raylib_bound": raylib_bound,
            "alloc_peak_bytes": alloc.peak_bytes,
            "alloc_net_blocks": alloc.net_blocks,
            "no_alloc_target": row.no_alloc,
            "loop_step_ns": g["pass"],
        }
        misses = []
        if not raylib_bound and entry["floor_ratio"] > R.MAX_FLOOR_RATIO:
            misses.append("floor")
        cffi_ratio = entry["cffi_overhead_ratio"]
        if (not raylib_bound and row.same_call and cffi_ratio is not None
                and cffi_ratio < R.MIN_CFFI_RATIO):
            misses.append("cffi")
        if row.no_alloc and not alloc.none:
            misses.append("alloc")
        entry["misses"] = misses
        out_rows.append(entry)

    out_slots = []
    for row in slot_rows:
        entry = {"row": row.name}
        reason = skip_reason(env, row)
        if reason:
            out_slots.append(entry | {"skipped": reason})
            continue
        g = t["slot: " + row.name]
        total = g["slot"] - g["empty"]
        raylib = g["raylib"] - g["empty"] if "raylib" in g else 0.0
        entry |= {"slot_ns": total, "raylib_ns": raylib, "overhead_ns": total - raylib}
        out_slots.append(entry)

    g = t["floors"]
    floors = {key: g[key] - g["pass"] for key in R.FLOORS} | {"python_loop_step_ns": g["pass"]}
    return out_rows, out_slots, floors


def measure_imports(env: Environment, repeats: int) -> list[dict]:
    bench, raylib = str(HERE), str(env.device.library_path())
    # Loading raylib and the graphics libraries it links is most of the first
    # import; with raylib already loaded what is left is the module's own.
    preload = f"import ctypes; ctypes.CDLL({raylib!r})"
    out = []
    for module, needs in R.MODULES:
        if needs in env.missing:
            out.append({"what": f"import {module}", "skipped": env.missing[needs]})
            continue
        for what, prelude in [(f"import {module}", ""),
                              (f"  the same, raylib already loaded", preload)]:
            self_us, cum_us = measure.import_time(module, repeats, prelude=prelude)
            out.append({"what": what, "self_us": self_us, "cumulative_us": cum_us})
    # The alternatives are handed raylib's path, as a program using them
    # would have it: what they take is the binding's own work.
    for what, code in [
        ("ctypes: import, load raylib, set prototypes",
         f"import sys; sys.path.insert(0, {bench!r})\n"
         f"import with_ctypes; with_ctypes.open_ctypes({raylib!r})"),
        ("cffi: import, cdef, dlopen raylib",
         f"import sys; sys.path.insert(0, {bench!r})\n"
         f"import with_cffi; with_cffi.open_cffi({raylib!r})"),
        ("reference: import _bz2 (a stdlib extension module)", "import _bz2"),
    ]:
        out.append({"what": what, "cumulative_us": measure.setup_time(code, repeats)})
    return out


def measure_sizes(env: Environment) -> list[dict]:
    out = []

    def add(what: str, obj, note: str = "") -> None:
        out.append({"what": what, "getsizeof": sys.getsizeof(obj),
                    "basicsize": type(obj).__basicsize__, "note": note})

    if hasattr(env, "m"):
        add("Music", env.m, "holds the raylib record by value")
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


# -- report -----------------------------------------------------------------------


def verdict_of(r: dict) -> str:
    if r["misses"]:
        return "MISS " + ",".join(r["misses"])
    return "raylib-bound: see the probes" if r["raylib_bound"] else "ok"


def fmt(x: float | None, spec: str = ".1f") -> str:
    return "-" if x is None else format(x, spec)


def table(out_rows, out_slots, floors, imports, sizes) -> str:
    lines = []
    head = (f"{'row':<32} {'lumabo':>8} {'raylib':>8} {'overhead':>8} {'floor':>6} "
            f"{'x floor':>7} {'cffi':>7} {'ctypes':>7} {'x cffi':>7} {'alloc':>6}  verdict")
    lines += ["Python-level calls, ns per call (overhead = lumabo - raylib; "
              "x cffi = cffi's overhead / lumabo's)", "", head, "-" * len(head)]
    probes_started = False
    for r in out_rows:
        if r["probe"] and not probes_started:
            probes_started = True
            lines += ["", "Overhead probes: the same calls where raylib's share is next to nothing", ""]
        if "skipped" in r:
            lines.append(f"{r['row']:<32} skipped: {r['skipped']}")
            continue
        alloc = "0" if r["alloc_peak_bytes"] == 0 and r["alloc_net_blocks"] <= 0 else f"{r['alloc_peak_bytes']}B"
        verdict = verdict_of(r)
        x_cffi = fmt(r["cffi_overhead_ratio"])
        if r["cffi_overhead_ratio"] is not None and not r["same_call"]:
            x_cffi = f"({x_cffi})"
        lines.append(
            f"{r['row']:<32} {fmt(r['lumabo_ns']):>8} {fmt(r['raylib_ns']):>8} "
            f"{fmt(r['overhead_ns']):>8} {fmt(r['floor_ns']):>6} {fmt(r['floor_ratio'], '.2f'):>7} "
            f"{fmt(r['cffi_ns']):>7} {fmt(r['ctypes_ns']):>7} "
            f"{x_cffi:>7} {alloc:>6}  {verdict}"
        )
    lines += ["", "Floors, ns per call (net of the loop step):"]
    for key, (what, stmt) in R.FLOORS.items():
        if key in floors:
            lines.append(f"  {fmt(floors[key]):>6}  {what}")
    lines.append(f"  {fmt(floors['python_loop_step_ns']):>6}  loop step (subtracted everywhere)")

    lines += ["", "C-level slots through the capsule, called in a C loop, ns per call:", "",
              f"{'slot':<36} {'slot':>8} {'raylib':>8} {'overhead':>8}"]
    for r in out_slots:
        if "skipped" in r:
            lines.append(f"{r['row']:<36} skipped: {r['skipped']}")
        else:
            lines.append(f"{r['row']:<36} {fmt(r['slot_ns']):>8} {fmt(r['raylib_ns']):>8} "
                         f"{fmt(r['overhead_ns']):>8}")

    lines += ["", "Import time in a fresh interpreter, microseconds (best of the runs):", ""]
    for r in imports:
        if "skipped" in r:
            lines.append(f"  {r['what']:<52} skipped: {r['skipped']}")
        else:
            own = f"self {r['self_us']:.0f}, " if "self_us" in r else ""
            lines.append(f"  {r['what']:<52} {own}total {r['cumulative_us']:.0f}")
    lines += ["", "Instance size, bytes (sys.getsizeof; basic size of the type):", ""]
    for r in sizes:
        basic = f" (basic {r['basicsize']})" if r["basicsize"] is not None else ""
        note = f"  {r['note']}" if r["note"] else ""
        lines.append(f"  {r['what']:<32} {r['getsizeof']:>5}{basic}{note}")
    return "\n".join(lines)


def markdown(report: dict) -> str:
    """The rows and slots as Markdown tables, for the README."""
    def cell(x, spec=".1f"):
        return "–" if x is None else format(x, spec)

    lines = [
        "| row | lumabo | raylib | overhead | floor | × floor | cffi | ctypes | × cffi | allocs | targets |",
        "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|",
    ]
    for r in report["rows"]:
        if "skipped" in r:
            lines.append(f"| `{r['statement']}` | skipped: {r['skipped']} ||||||||||")
            continue
        x_floor = "raylib-bound" if r["raylib_bound"] else cell(r["floor_ratio"], ".2f")
        x_cffi = cell(r["cffi_overhead_ratio"])
        if r["raylib_bound"]:
            x_cffi = "–"
        elif r["cffi_overhead_ratio"] is not None and not r["same_call"]:
            x_cffi = f"({x_cffi})"
        allocs = "0" if r["alloc_peak_bytes"] == 0 and r["alloc_net_blocks"] <= 0 else f"{r['alloc_peak_bytes']} B"
        name = r["row"] + (" *" if r["probe"] else "")
        lines.append(
            f"| {name} | {cell(r['lumabo_ns'])} | {cell(r['raylib_ns'])} | {cell(r['overhead_ns'])} "
            f"| {cell(r['floor_ns'])} | {x_floor} | {cell(r['cffi_ns'])} | {cell(r['ctypes_ns'])} "
            f"| {x_cffi} | {allocs} | {verdict_of(r)} |"
        )
    lines += ["", "| floor: the builtin call it is set against | ns |", "|---|--:|"]
    for key, (what, _) in R.FLOORS.items():
        if key in report["floors_ns"]:
            lines.append(f"| {what} | {cell(report['floors_ns'][key])} |")
    lines.append(f"| loop step (subtracted from every figure) | {cell(report['floors_ns']['python_loop_step_ns'])} |")
    lines += ["", "| C-level slot, through the capsule | slot | raylib | overhead |", "|---|--:|--:|--:|"]
    for r in report["slots"]:
        if "skipped" in r:
            lines.append(f"| {r['row']} | skipped |||")
        else:
            lines.append(f"| {r['row']} | {cell(r['slot_ns'])} | {cell(r['raylib_ns'])} | {cell(r['overhead_ns'])} |")
    lines += ["", "| import, in a fresh interpreter | self µs | total µs |", "|---|--:|--:|"]
    for r in report["imports"]:
        if "skipped" in r:
            lines.append(f"| {r['what'].strip()} | skipped ||")
        else:
            own = f"{r['self_us']:.0f}" if "self_us" in r else "–"
            lines.append(f"| {r['what'].strip()} | {own} | {r['cumulative_us']:.0f} |")
    lines += ["", "| instance | bytes (`sys.getsizeof`) |", "|---|--:|"]
    for r in report["sizes"]:
        lines.append(f"| {r['what']} | {r['getsizeof']} |")
    return "\n".join(lines) + "\n"


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
    parser.add_argument("--quick", action="store_true", help="few short rounds (a smoke run)")
    parser.add_argument("--only", metavar="TEXT", help="only rows whose name contains TEXT")
    parser.add_argument("--json", type=Path, default=OUT / "results.json", help="where to write the figures")
    parser.add_argument("--native", type=Path, help="directory of an already built lumabo_capi_test")
    parser.add_argument("--rounds", type=int, help="timing rounds per measurement")
    parser.add_argument("--markdown", type=Path, help="also write the tables as Markdown here")
    args = parser.parse_args(argv)
    # Short rounds, many of them: on a shared machine a round that no other
    # process interrupts is likelier when it is short, and the best is kept.
    args.rounds = args.rounds or (5 if args.quick else 41)
    args.target = 0.0005 if args.quick else 0.002  # seconds per round of one measurement
    import_repeats = 1 if args.quick else 7

    rows = [r for r in R.ROWS if not args.only or args.only in r.name]
    slot_rows = [r for r in R.SLOT_ROWS if not args.only or args.only in r.name]
    needs = {r.needs for r in rows} | {r.needs for r in slot_rows}
    window = any(r.window for r in rows) or any(r.window for r in slot_rows)

    env = prepare(args, needs, window)
    try:
        t = measure_all(env, rows, slot_rows, args)
        out_rows, out_slots, floors = results_of(env, rows, slot_rows, t)
        sizes = measure_sizes(env)
    finally:
        close(env)
    imports = measure_imports(env, import_repeats)

    print(table(out_rows, out_slots, floors, imports, sizes))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    report = {
        "machine": machine(),
        "settings": {"rounds": args.rounds, "round_seconds": args.target, "only": args.only},
        "targets": {"max_floor_ratio": R.MAX_FLOOR_RATIO, "min_cffi_overhead_ratio": R.MIN_CFFI_RATIO},
        "rows": out_rows,
        "floors_ns": floors,
        "slots": out_slots,
        "imports": imports,
        "sizes": sizes,
        "raw_ns": t,
    }
    args.json.write_text(json.dumps(report, indent=2) + "\n")
    print(f"\nwritten: {args.json}")
    if args.markdown:
        args.markdown.write_text(markdown(report))
        print(f"written: {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
