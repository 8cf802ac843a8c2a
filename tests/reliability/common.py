"""What the reliability runs share: the classes under test, sample media, the
call recorder's log, and an X server for the cursor.

The runs are scripts (``python -m reliability.fuzz`` and so on, with
``tests/`` on the path) so that a crash takes down only the script, and the
pytest test that started it reports the crash as a failure.
"""

from __future__ import annotations

import contextlib
import ctypes
import importlib
import math
import os
import struct
import subprocess
import sys
import wave
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

MODULES = (
    "lumabo.cursor.cursor",
    "lumabo.audio_stream.audio_stream",
    "lumabo.music.music",
    "lumabo.sound.sound",
)

# A released object may still hand raylib a record whose buffer is null, but
# only to functions that look at nothing else then: these test the buffer
# before they touch it, or only read plain fields. StopMusicStream and
# SeekMusicStream are missing on purpose: they drive the decoder context,
# which UnloadMusicStream freed.
HARMLESS_WITHOUT_BUFFER = frozenset(
    {
        "IsMusicValid",
        "GetMusicTimeLength",
        "GetMusicTimePlayed",
        "PlayMusicStream",
        "PauseMusicStream",
        "ResumeMusicStream",
        "UpdateMusicStream",
        "SetMusicVolume",
        "SetMusicPitch",
        "SetMusicPan",
        "IsSoundValid",
        "IsSoundPlaying",
        "PlaySound",
        "StopSound",
        "PauseSound",
        "ResumeSound",
        "UpdateSound",
        "SetSoundVolume",
        "SetSoundPitch",
        "SetSoundPan",
    }
)


def load_classes() -> dict[str, type]:
    """The classes of the modules that are built, by name ("Music", ...).

    A module that does not define its class yet (still a placeholder) is
    left out, so the runs cover what exists.
    """
    found = {}
    for name in MODULES:
        module = importlib.import_module(name)
        for value in vars(module).values():
            if isinstance(value, type) and value.__module__ == name:
                found[value.__name__] = value
    return found


def module_functions() -> dict[str, object]:
    """Module-level functions of the modules (``__pyx_unpickle_Cursor``)."""
    found = {}
    for name in MODULES:
        module = importlib.import_module(name)
        for key, value in vars(module).items():
            if type(value).__name__ == "lumabo_function":
                found[f"{name}.{key}"] = value
    return found


# -- media -------------------------------------------------------------------


def write_wav(path: Path, seconds: float = 0.25, rate: int = 22050, channels: int = 1) -> Path:
    """A 16-bit sine tone, short enough to load thousands of times."""
    frames = int(seconds * rate)
    samples = bytearray()
    for i in range(frames):
        value = int(12000 * math.sin(2 * math.pi * 440 * i / rate))
        samples += struct.pack("<h", value) * channels
    with wave.open(os.fspath(path), "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(bytes(samples))
    return path


@dataclass(frozen=True)
class Media:
    wav: str  # a short track raylib loads
    missing: str  # a path that does not exist
    junk: str  # a file that is no audio


def make_media(directory: Path) -> Media:
    directory.mkdir(parents=True, exist_ok=True)
    wav = write_wav(directory / "tone.wav")
    junk = directory / "junk.wav"
    junk.write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunkjunkjunk")
    return Media(os.fspath(wav), os.fspath(directory / "missing.ogg"), os.fspath(junk))


# -- the call recorder -------------------------------------------------------


@dataclass(frozen=True)
class Call:
    name: str
    buffer: int | None  # the record's stream buffer (None: the call takes none)
    result: int | None  # the returned record's buffer (loads only)
    line: str


class Recorder:
    """The log of raylib calls made by the modules, when the recorder is
    preloaded (``./dev test`` and ``./dev check`` preload it)."""

    def __init__(self) -> None:
        lib = ctypes.CDLL(None)
        try:
            self._log = lib.recorder_log
            self._clear = lib.recorder_clear
        except AttributeError:
            self._log = None
            return
        self._log.restype = ctypes.c_char_p
        self._clear.restype = None

    @property
    def available(self) -> bool:
        return self._log is not None

    def clear(self) -> None:
        if self._log is not None:
            self._clear()

    def calls(self) -> list[Call]:
        if self._log is None:
            return []
        out = []
        for line in self._log().decode("utf-8", "replace").splitlines():
            out.append(parse_call(line))
        return out


def parse_call(line: str) -> Call:
    head, _, result = line.partition(" -> ")
    name, _, rest = head.partition(" ")
    buffer = None
    if rest.startswith("0x"):
        buffer = int(rest.split(" ", 1)[0], 16)
    value = int(result, 16) if result.startswith("0x") else None
    return Call(name, buffer, value, line)


# -- a display for the cursor ------------------------------------------------


@contextlib.contextmanager
def display() -> Iterator[str]:
    """An X display for raylib's window: the one in DISPLAY, or a private
    Xvfb on a free display number that the server picks itself."""
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    read, write = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "640x480x24"],
        pass_fds=(write,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write)
    with os.fdopen(read) as pipe:
        number = pipe.readline().strip()
    if not number:
        server.kill()
        server.wait()
        raise RuntimeError("Xvfb did not start")
    os.environ["DISPLAY"] = f":{number}"
    try:
        yield os.environ["DISPLAY"]
    finally:
        del os.environ["DISPLAY"]
        server.terminate()
        server.wait()


@contextlib.contextmanager
def raylib_devices(window: bool) -> Iterator[None]:
    """The audio device and, for the cursor, a window, open for the block."""
    from lumabo import device

    device.set_log_level(device.LOG_ERROR)
    with contextlib.ExitStack() as stack:
        stack.enter_context(device.audio())
        if window:
            stack.enter_context(display())
            stack.enter_context(device.window(64, 48, "lumabo reliability"))
        yield


def rss_kib() -> int:
    """Resident set size now, in KiB."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)


def peak_rss_kib() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def say(*parts: object) -> None:
    print(*parts, flush=True, file=sys.stderr)
