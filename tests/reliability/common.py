"""What the reliability runs share: the classes under test, sample media, the
call recorder's log, and an X server for the cursor.

The runs are scripts (``python -m reliability.fuzz`` and so on, with
``tests/`` on the path) so that a crash takes down only the script, and the
pytest test that started it reports the crash as a failure.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import support

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
        # An alias of an empty source: raylib must test the source's buffer;
        # if it does not, the process dies, and that is the finding.
        "LoadSoundAlias",
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


@dataclass(frozen=True)
class Media:
    wav: str  # a short track raylib loads
    missing: str  # a path that does not exist
    junk: str  # a file that is no audio
    hostile: dict[str, tuple[str, ...]]  # by class: hostile files it survives (hostile.py)
    hostile_loaded: dict[str, tuple[str, ...]]  # by class: those of them it hands to raylib

    def encoded(self, which: str = "wav") -> bytes:
        """A fresh bytes object of the file's contents (a new object each
        time, so that its caller can drop the only reference)."""
        return Path(getattr(self, which)).read_bytes()


def make_media(directory: Path) -> Media:
    import hostile

    directory.mkdir(parents=True, exist_ok=True)
    wav = support.write_wav(directory / "tone.wav", 0.25)
    junk = directory / "junk.wav"
    junk.write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunkjunkjunk")
    files = hostile.write_files(directory / "hostile")
    by_class = {name: tuple(hostile.corpus(files, name)) for name in ("Music", "Sound")}
    loaded = {name: tuple(hostile.reaching_raylib(files, name)) for name in ("Music", "Sound")}
    return Media(os.fspath(wav), os.fspath(directory / "missing.ogg"), os.fspath(junk), by_class, loaded)


# -- the call recorder -------------------------------------------------------


@dataclass(frozen=True)
class Call:
    name: str
    buffer: int | None  # the stream buffer of the record passed (None: no record)
    result: int | None  # the stream buffer of the record returned (loads)
    line: str


class Recorder:
    """The log of raylib calls made by the modules, reduced to what lifetimes
    need: which stream buffer each call was given or returned. Empty when
    the recorder is not preloaded."""

    def __init__(self) -> None:
        self._recorder = support.Recorder() if support.Recorder.available() else None

    @property
    def available(self) -> bool:
        return self._recorder is not None

    def clear(self) -> None:
        if self._recorder is not None:
            self._recorder.clear()

    def calls(self) -> list[Call]:
        if self._recorder is None:
            return []
        text = self._recorder.text
        return [reduce(call, line) for call, line in zip(support.parse_log(text), text.splitlines())]


# Calls whose first argument is no record (a name, a format, a size, a
# wave), and the wave calls, whose pointers are sample data, not streams.
NO_RECORD = frozenset(
    {
        "LoadMusicStream",
        "LoadSound",
        "LoadAudioStream",
        "LoadMusicStreamFromMemory",
        "LoadWaveFromMemory",
        "LoadSoundFromWave",
        "UnloadWave",
        "SetAudioStreamBufferSizeDefault",
    }
)
WAVES = frozenset({"LoadWaveFromMemory", "UnloadWave"})


def reduce(call: support.Call, line: str) -> Call:
    first = call.args[0] if call.args else None
    if call.name in NO_RECORD or not isinstance(first, int):
        first = None
    result = call.result if call.name.startswith("Load") and call.name not in WAVES else None
    return Call(call.name, first, result, line)


# -- devices -------------------------------------------------------------------


@contextlib.contextmanager
def display() -> Iterator[str]:
    """An X display for raylib's window: the one in DISPLAY, or a private
    Xvfb on a display number that the server picks itself."""
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    os.environ.setdefault("XDG_RUNTIME_DIR", tempfile.mkdtemp(prefix="xdg-"))
    server, number = support.start_xvfb()
    os.environ["DISPLAY"] = number
    try:
        yield number
    finally:
        del os.environ["DISPLAY"]
        support.stop_xvfb(server)


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


# -- child interpreters ----------------------------------------------------------

TESTS = Path(__file__).resolve().parent.parent
DEBUG_PYTHON = support.REPO / "build" / "venv-dbg" / "bin" / "python"
DEBUG_NATIVE = support.REPO / "build" / "tests-native-dbg"


def run_script(module: str, *args: str, python: Path | str = sys.executable, timeout: float = 600,
               env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    """Runs ``python -m MODULE ARGS`` with the tests on the path and the
    environment of this run (the call recorder included)."""
    child_env = dict(os.environ if env is None else env)
    native = DEBUG_NATIVE if Path(python) == DEBUG_PYTHON else support.NATIVE_BUILD
    child_env["PYTHONPATH"] = os.pathsep.join([str(TESTS), str(native)])
    child_env["LUMABO_TESTS_NATIVE"] = str(native)
    return subprocess.run(
        [str(python), "-X", "faulthandler", "-m", module, *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_env,
        cwd=support.REPO,
    )


def explain(done: subprocess.CompletedProcess) -> str:
    how = f"killed by signal {-done.returncode}" if done.returncode < 0 else f"exit {done.returncode}"
    return f"{how}\n--- stdout\n{done.stdout[-4000:]}\n--- stderr\n{done.stderr[-8000:]}"


def sanitized() -> bool:
    """Whether AddressSanitizer runs in this process (it keeps freed memory
    in quarantine, so resident memory says nothing then)."""
    import ctypes

    return hasattr(ctypes.CDLL(None), "__asan_init")


def open_descriptors() -> int:
    """File descriptors this process holds now."""
    return len(os.listdir("/proc/self/fd"))


def rss_kib() -> int:
    """Resident set size now, in KiB."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)


def peak_rss_kib() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def say(*parts: object) -> None:
    print(*parts, flush=True, file=sys.stderr)
