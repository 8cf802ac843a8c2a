"""The native code the benchmark runs: the test-only extension (the C-level
slot loops and the call-path probe) and raylib's own loops (baseline.c)."""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


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
