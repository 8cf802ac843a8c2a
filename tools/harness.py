"""What lumabo's tests and its benchmarks both need, in one place.

- raylib's value records as ctypes sees them (written from raylib.h, raylib
  6.0), and where a Music or a Sound keeps its record;
- an Xvfb server for a raylib window on a machine without a display;
- the allocations a statement makes, counted by tracemalloc.

tests/support.py and bench/ import it from here (tools/ on sys.path);
neither imports the other.
"""

from __future__ import annotations

import ctypes
import itertools
import os
import subprocess
import sys
import tracemalloc
from dataclasses import dataclass

# -- raylib's records -------------------------------------------------------


class AudioStream(ctypes.Structure):
    _fields_ = [
        ("buffer", ctypes.c_void_p),
        ("processor", ctypes.c_void_p),
        ("sampleRate", ctypes.c_uint),
        ("sampleSize", ctypes.c_uint),
        ("channels", ctypes.c_uint),
    ]


class Sound(ctypes.Structure):
    _fields_ = [("stream", AudioStream), ("frameCount", ctypes.c_uint)]


class Music(ctypes.Structure):
    _fields_ = [
        ("stream", AudioStream),
        ("frameCount", ctypes.c_uint),
        ("looping", ctypes.c_bool),
        ("ctxType", ctypes.c_int),
        ("ctxData", ctypes.c_void_p),
    ]


assert (ctypes.sizeof(AudioStream), ctypes.sizeof(Sound), ctypes.sizeof(Music)) == (32, 40, 56)

# A Music and a Sound hold their raylib record right after the object header
# and the pointer to their C-level method table.
RECORD_OFFSET = object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p)


def record_address(obj: object) -> int:
    """Address of the raylib record inside OBJ, a Music or a Sound."""
    return id(obj) + RECORD_OFFSET


# -- display ----------------------------------------------------------------


def start_xvfb(screen: str = "800x600x24", timeout: float = 20) -> tuple[subprocess.Popen, str]:
    """Start an Xvfb server on a free display; returns (process, ":N").

    Xvfb picks the display number itself (-displayfd) and reports it once it
    accepts clients. Raises RuntimeError if it does not come up.
    """
    import select
    import shutil

    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        raise FileNotFoundError("Xvfb is not installed")
    read_end, write_end = os.pipe()
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.Popen(
        [xvfb, "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp"],
        pass_fds=(write_end,),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=env,
    )
    os.close(write_end)
    number = b""
    try:
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], timeout)
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                stop_process(proc)
                raise RuntimeError("Xvfb did not start")
            number += chunk
    finally:
        os.close(read_end)
    return proc, ":" + number.decode().strip()


def stop_process(proc: subprocess.Popen, timeout: float = 10) -> None:
    """Terminate PROC (an Xvfb, say) and wait for it; kill it if it has not
    ended in TIMEOUT seconds."""
    proc.terminate()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


# -- allocations ------------------------------------------------------------

_LOOP = """
def _loop(_it, _ns):
{binds}
    for _ in _it:
        {stmt}
"""


@dataclass
class Allocations:
    peak_bytes: int  # most memory held at once above the start, while looping
    net_blocks: int  # blocks still allocated after the loop

    @property
    def none(self) -> bool:
        return self.peak_bytes == 0 and self.net_blocks <= 0


def allocations(stmt: str, ns: dict, n: int = 20_000) -> Allocations:
    """What N executions of STMT allocate through Python's allocators, with
    the names of NS bound as locals.

    tracemalloc's peak shows any block allocated during the loop, even one
    freed at once; the block count shows blocks left behind. Objects that
    come from a free list (a float result, say) are not allocations here.
    """
    # The names become locals of the loop's function, bound before it loops.
    binds = "\n".join(f"    {name} = _ns[{name!r}]" for name in ns) or "    pass"
    scope: dict = {}
    exec(compile(_LOOP.format(binds=binds, stmt=stmt), f"<allocations: {stmt}>", "exec"), scope)
    loop = scope["_loop"]
    loop(itertools.repeat(None, 100), ns)
    tracemalloc.start()
    try:
        loop(itertools.repeat(None, 100), ns)
        it = itertools.repeat(None, n)
        start, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        blocks = sys.getallocatedblocks()
        loop(it, ns)
        blocks = sys.getallocatedblocks() - blocks
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return Allocations(peak_bytes=peak - start, net_blocks=blocks)
