"""Helpers for lumabo's tests: generated audio, the call recorder's log, raylib.

Importable from any test module (``import support``); conftest.py builds its
fixtures on these.
"""

from __future__ import annotations

import array
import ctypes
import functools
import math
import os
import re
import struct
import subprocess
import sys
import traceback
from pathlib import Path

from lumabo import device

REPO = Path(__file__).resolve().parent.parent
# What the tests share with the benchmarks.
sys.path.insert(0, os.fspath(REPO / "tools"))
import harness  # noqa: E402

# The checked builds of ./dev check bring their own (debug, sanitized).
NATIVE_BUILD = Path(os.environ.get("LUMABO_TESTS_NATIVE", REPO / "build" / "tests-native"))


def f32(x: float) -> float:
    """X rounded to single precision, as raylib's float parameters hold it."""
    return struct.unpack("f", struct.pack("f", x))[0]


# -- generated audio --------------------------------------------------------


def frames_for(seconds: float, rate: int) -> int:
    """Frame count write_wav() uses for SECONDS at RATE."""
    return round(seconds * rate)


def write_wav(
    path: str | os.PathLike[str],
    seconds: float,
    rate: int = 22050,
    channels: int = 1,
    sample_width: int = 2,
    freq: float = 440,
) -> Path:
    """Write a PCM WAV file holding a sine tone of exactly frames_for(seconds, rate) frames.

    sample_width is in bytes: 1 (unsigned 8-bit), 2 or 4 (signed). Every
    channel carries the same tone at half of full scale.
    """
    import wave

    codes = {1: "B", 2: "h", 4: "i"}
    if sample_width not in codes:
        raise ValueError(f"sample_width must be 1, 2 or 4, not {sample_width}")
    full = (1 << (8 * sample_width - 1)) - 1
    offset = 128 if sample_width == 1 else 0
    amplitude = full // 2
    samples = array.array(codes[sample_width])
    step = 2 * math.pi * freq / rate
    for i in range(frames_for(seconds, rate)):
        value = offset + int(amplitude * math.sin(step * i))
        samples.extend([value] * channels)
    if sys.byteorder == "big":
        samples.byteswap()

    path = Path(path)
    with wave.open(os.fspath(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(sample_width)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())
    return path


# -- raylib's structs, for calling raylib through ctypes ---------------------

AudioStreamStruct = harness.AudioStream
SoundStruct = harness.Sound
MusicStruct = harness.Music


class _Wave(ctypes.Structure):
    _fields_ = [
        ("frameCount", ctypes.c_uint),
        ("sampleRate", ctypes.c_uint),
        ("sampleSize", ctypes.c_uint),
        ("channels", ctypes.c_uint),
        ("data", ctypes.c_void_p),
    ]


_raylib: ctypes.CDLL | None = None


def raylib() -> ctypes.CDLL:
    """The raylib library lumabo's modules load, with its Wave functions typed."""
    global _raylib
    if _raylib is None:
        lib = ctypes.CDLL(os.fspath(device.library_path()), mode=os.RTLD_NOW | os.RTLD_LOCAL)
        lib.LoadWave.restype = _Wave
        lib.LoadWave.argtypes = [ctypes.c_char_p]
        lib.IsWaveValid.restype = ctypes.c_bool
        lib.IsWaveValid.argtypes = [_Wave]
        lib.ExportWave.restype = ctypes.c_bool
        lib.ExportWave.argtypes = [_Wave, ctypes.c_char_p]
        lib.UnloadWave.restype = None
        lib.UnloadWave.argtypes = [_Wave]
        _raylib = lib
    return _raylib


def wave_info(path: str | os.PathLike[str]) -> tuple[int, int, int, int] | None:
    """(frames, sample rate, bits per sample, channels) as raylib decodes PATH, or None."""
    lib = raylib()
    wave = lib.LoadWave(os.fsencode(path))
    try:
        if not lib.IsWaveValid(wave):
            return None
        return wave.frameCount, wave.sampleRate, wave.sampleSize, wave.channels
    finally:
        lib.UnloadWave(wave)


def convert_audio(src: str | os.PathLike[str], dst: str | os.PathLike[str]) -> Path:
    """Decode SRC with raylib and write it to DST; DST's extension picks the format.

    raylib writes .wav, .qoa (16-bit input only) and .raw.
    """
    lib = raylib()
    wave = lib.LoadWave(os.fsencode(src))
    try:
        if not lib.IsWaveValid(wave):
            raise OSError(f"raylib could not decode {os.fspath(src)!r}")
        if not lib.ExportWave(wave, os.fsencode(dst)):
            raise OSError(f"raylib could not write {os.fspath(dst)!r}")
    finally:
        lib.UnloadWave(wave)
    return Path(dst)


def write_qoa(path: str | os.PathLike[str], seconds: float, **wav_args) -> Path:
    """Write a QOA file (raylib's own encoder) of the tone write_wav() makes.

    QOA holds 16-bit samples only, so sample_width must stay 2. raylib
    decodes it to exactly the frames asked for.
    """
    path = Path(path)
    wav = path.with_name(path.name + ".src.wav")
    write_wav(wav, seconds, **wav_args)
    try:
        return convert_audio(wav, path)
    finally:
        wav.unlink()


# -- call recorder ----------------------------------------------------------


class Call(tuple):
    """One recorded call: a (name, args) pair, with the return value in .result.

    Compares equal to a plain ``(name, args)`` tuple.
    """

    result: object

    def __new__(cls, name: str, args: tuple, result: object = None):
        self = super().__new__(cls, (name, args))
        self.result = result
        return self

    @property
    def name(self) -> str:
        return self[0]

    @property
    def args(self) -> tuple:
        return self[1]

    def __repr__(self) -> str:
        tail = "" if self.result is None else f" -> {self.result!r}"
        return f"Call({self[0]!r}, {self[1]!r}{tail})"


_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|\S+')
_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", '"': '"', "\\": "\\"}


def _unquote(token: str) -> str:
    out = bytearray()
    i = 1
    while i < len(token) - 1:
        c = token[i]
        if c != "\\":
            out += c.encode()
            i += 1
        elif token[i + 1] == "x":
            out.append(int(token[i + 2 : i + 4], 16))
            i += 4
        else:
            out += _ESCAPES[token[i + 1]].encode()
            i += 2
    return os.fsdecode(bytes(out))


def _value(token: str) -> object:
    if token.startswith('"'):
        return _unquote(token)
    if token == "NULL":
        return None
    if token.startswith("0x"):
        return int(token, 16)
    if re.fullmatch(r"-?\d+", token):
        return int(token)
    return f32(float(token))


def parse_log(text: str) -> list[Call]:
    """Parse the recorder's log: pointers and ints become int, floats are
    single-precision values, strings str, NULL None."""
    calls = []
    for line in text.splitlines():
        name, *tokens = _TOKEN.findall(line)
        result = None
        if "->" in tokens:
            at = tokens.index("->")
            tokens, (result,) = tokens[:at], [_value(t) for t in tokens[at + 1 :]]
        calls.append(Call(name, tuple(_value(t) for t in tokens), result))
    return calls


class Recorder:
    """The raylib calls lumabo's modules made, as logged by librecorder.so.

    Works when the recorder is preloaded into the process (LD_PRELOAD);
    check ``Recorder.available()`` first.
    """

    def __init__(self) -> None:
        lib = ctypes.CDLL(None)
        self._log = lib.recorder_log
        self._log.restype = ctypes.c_char_p
        self._log.argtypes = []
        self._clear = lib.recorder_clear
        self._clear.restype = None
        self._clear.argtypes = []
        self._count = lib.recorder_count
        self._count.restype = ctypes.c_int
        self._count.argtypes = [ctypes.c_char_p]

    @staticmethod
    def available() -> bool:
        return hasattr(ctypes.CDLL(None), "recorder_log")

    def clear(self) -> None:
        self._clear()

    @property
    def text(self) -> str:
        """The raw log, one line per call."""
        return (self._log() or b"").decode("ascii")

    @property
    def calls(self) -> list[Call]:
        return parse_log(self.text)

    def count(self, name: str) -> int:
        return self._count(name.encode())

    def args_of(self, name: str) -> list[tuple]:
        """Arguments of each call to NAME, in order."""
        return [c.args for c in self.calls if c.name == name]

    def names(self) -> list[str]:
        """Names of the calls, in order."""
        return [c.name for c in self.calls]


# -- failed allocations ------------------------------------------------------


def failing_each_allocation(call, recorder: Recorder, tries: int = 100):
    """Runs CALL over and over with one Python allocation failing, the first,
    then the second, and so on, until a run meets no failure. After each run
    the result is dropped and the garbage collected; yields the MemoryError
    of the run, or None, while RECORDER holds that run's raylib calls.
    Needs _testcapi."""
    import gc

    import _testcapi

    for start in range(tries):
        gc.collect()  # what earlier code left behind is released outside the log
        recorder.clear()
        _testcapi.set_nomemory(start, start + 1)
        try:
            made, error = call(), None
        except MemoryError as e:
            made, error = None, e
        finally:
            _testcapi.remove_mem_hooks()
        del made
        gc.collect()
        yield error
        if error is None and start > 0:
            return


# -- display ----------------------------------------------------------------


start_xvfb = harness.start_xvfb
stop_xvfb = harness.stop_process


class Window:
    """The test session's raylib window (see the ``window`` fixture)."""

    def __init__(self, display: str, width: int, height: int) -> None:
        self.display = display
        self.width = width
        self.height = height

    def pump(self, frames: int = 1, color: tuple[int, int, int] = (0, 0, 0)) -> None:
        """Draw FRAMES frames of one colour, polling window events after each."""
        for _ in range(frames):
            device.begin_drawing()
            device.clear_background(*color)
            device.end_drawing()

    def screenshot(self, path: str | os.PathLike[str]) -> Path:
        device.take_screenshot(path)
        return Path(path)


# -- traceback entries ------------------------------------------------------


def native_entries(exc: BaseException) -> list[tuple[str, str]]:
    """(function name, file) of each traceback entry a lumabo module added to
    EXC, outermost first; Python frames are left out."""
    return [
        (f.name, f.filename)
        for f in traceback.extract_tb(exc.__traceback__)
        if f.filename.startswith("src/lumabo/")
    ]


def entry_names(exc: BaseException) -> list[str]:
    """Names of the traceback entries a lumabo module added to EXC, outermost first."""
    return [name for name, _ in native_entries(exc)]


class BytesSubclass(bytes):
    """Exports its memory through the buffer protocol, where an exact bytes
    object is read in place."""


def address(data: object) -> int:
    """Start address of the memory of DATA: bytes, or an object that exports
    a writable buffer (bytearray, array.array)."""
    if isinstance(data, bytes):
        return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value or 0
    return ctypes.addressof(ctypes.c_char.from_buffer(data))  # type: ignore[arg-type]


# -- subprocesses -----------------------------------------------------------


stop_process = harness.stop_process


def run_python(code: str, *, timeout: float = 60, env: dict | None = None) -> subprocess.CompletedProcess:
    """Run CODE in a fresh interpreter of the test venv (same environment,
    LD_PRELOAD included) and return the finished process, output captured."""
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        cwd=REPO,
    )


def loaded_raylib() -> Path | None:
    """The raylib shared object lumabo's modules use: the one this process
    has loaded, or before any is loaded, the one the package ships. Nothing
    is imported here: the tests of failed imports ask this too."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(maxsplit=5)[5:]
            if path and os.path.basename(path[0].strip()).startswith("libraylib.so"):
                return Path(path[0].strip())
    from lumabo import device

    shipped = device.library_path()
    return shipped if shipped.is_file() else None


def elf_section(path: str | os.PathLike[str], name: str) -> bytes | None:
    """The contents of section NAME of the 64-bit little-endian ELF file at
    PATH, or None when it has no such section."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:6] != b"\x7fELF\x02\x01":
        return None
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)

    def header(i: int) -> tuple[int, int, int]:
        # sh_name, sh_offset, sh_size
        at = shoff + i * shentsize
        return struct.unpack_from("<I", data, at)[0], *struct.unpack_from("<QQ", data, at + 0x18)

    _, names_at, _ = header(shstrndx)
    for i in range(shnum):
        name_at, offset, size = header(i)
        end = data.index(b"\0", names_at + name_at)
        if data[names_at + name_at:end].decode() == name:
            return data[offset:offset + size]
    return None


def raylib_patches() -> list[str]:
    """The patches of distrib/patches/series, in order."""
    lines = (REPO / "distrib" / "patches" / "series").read_text().splitlines()
    return [n for n in (line.split("#", 1)[0].strip() for line in lines) if n]


@functools.cache
def raylib_mended() -> bool:
    """Whether the raylib the package loads carries lumabo's mends of raylib's
    own faults: every patch of distrib/patches/series, as the section that
    distrib/build-raylib.sh writes into the library names them."""
    wanted = raylib_patches()
    lib = loaded_raylib()
    if not wanted or lib is None:
        return False
    section = elf_section(lib, ".lumabo.patches")
    return section is not None and section.decode().split() == wanted
