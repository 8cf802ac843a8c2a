"""Open and close raylib's audio device and window.

Music and sounds play only once raylib's audio device is open, and the cursor
acts on a window; the extension modules wrap neither. This module reaches the
few raylib calls that do, through ctypes, on the very raylib library that the
modules load (the one in ``lumabo.libs/`` beside the package), so the device
or window it opens is the one they use. It imports no extension module.

    from lumabo import device

    with device.audio():
        print(device.audio_backend())   # "PulseAudio", "ALSA", "Null", ...
        ...                             # load and play music here

    with device.window(320, 240, "demo"):
        device.begin_drawing()
        device.end_drawing()      # also polls window events
        device.take_screenshot("shot.png")

Where the sound goes depends on the machine. raylib loads the PulseAudio and
ALSA libraries at run time and takes the first backend that opens a device:

- a sound server (PulseAudio, or PipeWire, which serves PulseAudio's
  socket): raylib plays through it; audio_backend() is "PulseAudio";
- a sound card but no server: raylib plays to the card through ALSA;
- neither, with the ALSA library (libasound) installed, as on most
  desktops and servers: no device opens, and open_audio() raises
  RuntimeError saying so, without ALSA's own error lines;
- neither, without the ALSA library (minimal containers, and ``./dev``'s
  test runs): raylib plays through its null backend, which is silent but
  keeps time, so music advances as it would on a card; audio_backend() is
  "Null".

A window needs an X display (``DISPLAY``), such as Xvfb.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
from collections.abc import Iterator
from pathlib import Path

__all__ = [
    "LOG_ALL",
    "LOG_TRACE",
    "LOG_DEBUG",
    "LOG_INFO",
    "LOG_WARNING",
    "LOG_ERROR",
    "LOG_FATAL",
    "LOG_NONE",
    "audio",
    "audio_backend",
    "audio_ready",
    "begin_drawing",
    "clear_background",
    "close_audio",
    "close_window",
    "end_drawing",
    "library_path",
    "open_audio",
    "open_window",
    "set_log_level",
    "set_target_fps",
    "take_screenshot",
    "window",
    "window_ready",
]

# raylib's TraceLogLevel
LOG_ALL, LOG_TRACE, LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERROR, LOG_FATAL, LOG_NONE = range(8)

_NO_DEVICE = (
    "raylib could not open an audio device: no sound server answered and no sound card could be "
    "opened; start a sound server (PulseAudio or PipeWire), or use a machine without the ALSA "
    "library (libasound), where raylib falls back to silence"
)


class _Color(ctypes.Structure):
    r: int
    g: int
    b: int
    a: int
    _fields_ = [("r", ctypes.c_ubyte), ("g", ctypes.c_ubyte), ("b", ctypes.c_ubyte), ("a", ctypes.c_ubyte)]


class _Image(ctypes.Structure):
    data: int | None
    width: int
    height: int
    mipmaps: int
    format: int
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("width", ctypes.c_int),
        ("height", ctypes.c_int),
        ("mipmaps", ctypes.c_int),
        ("format", ctypes.c_int),
    ]


# name: (restype, argtypes)
_PROTOTYPES = {
    "InitAudioDevice": (None, []),
    "CloseAudioDevice": (None, []),
    "IsAudioDeviceReady": (ctypes.c_bool, []),
    "InitWindow": (None, [ctypes.c_int, ctypes.c_int, ctypes.c_char_p]),
    "CloseWindow": (None, []),
    "IsWindowReady": (ctypes.c_bool, []),
    "BeginDrawing": (None, []),
    "EndDrawing": (None, []),
    "ClearBackground": (None, [_Color]),
    "SetTargetFPS": (None, [ctypes.c_int]),
    "SetTraceLogLevel": (None, [ctypes.c_int]),
    "SetTraceLogCallback": (None, [ctypes.c_void_p]),
    "TraceLog": (None, [ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p]),
    "LoadImageFromScreen": (_Image, []),
    "ExportImage": (ctypes.c_bool, [_Image, ctypes.c_char_p]),
    "UnloadImage": (None, [_Image]),
}

_raylib: ctypes.CDLL | None = None
# The level last set through set_log_level (raylib's own default at first):
# raylib cannot be asked for it.
_log_level = LOG_INFO
# The backend the audio device opened by open_audio() plays through.
_backend: str | None = None


def library_path() -> Path:
    """Path of the raylib shared library that lumabo's modules load.

    The build ships it in ``lumabo.libs/`` under the name it was linked by
    (``libraylib.so.600`` for raylib 6.0, ``libraylib.so.550`` for 5.5); a
    wheel repair tool may add a hash to it. The path returned may not exist
    when lumabo was not installed from a wheel.
    """
    import lumabo

    libs = Path(lumabo.__file__).parent.parent / "lumabo.libs"
    found = sorted(libs.glob("libraylib*.so*"))
    return found[0] if len(found) == 1 else libs / "libraylib.so"


def _lib() -> ctypes.CDLL:
    global _raylib
    if _raylib is None:
        path = library_path()
        if not path.is_file():
            raise OSError(f"no single raylib library in {path.parent}: is lumabo installed from a wheel?")
        lib = ctypes.CDLL(os.fspath(path), mode=os.RTLD_NOW | os.RTLD_LOCAL)
        for name, (restype, argtypes) in _PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _raylib = lib
    return _raylib


def set_log_level(level: int) -> None:
    """Show raylib's log messages of LEVEL (one of the LOG_* values) and above."""
    global _log_level
    _lib().SetTraceLogLevel(level)
    _log_level = level


_LogCallback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)
_libc = ctypes.CDLL(None)
_libc.vsnprintf.restype = ctypes.c_int
_libc.vsnprintf.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_void_p]


@contextlib.contextmanager
def _raylib_messages(lib: ctypes.CDLL) -> Iterator[list[tuple[int, bytes]]]:
    """Collect raylib's log messages from INFO up (and any lower level shown)
    instead of printing them; yields the list they land in.

    raylib hands its callback the format and a va_list, which is a pointer
    on x86-64, as vsnprintf takes it.
    """
    messages: list[tuple[int, bytes]] = []

    def collect(level: int, text: bytes | None, args: int | None) -> None:
        buffer = ctypes.create_string_buffer(512)
        _libc.vsnprintf(buffer, len(buffer), text, args)
        messages.append((level, buffer.value))

    callback = _LogCallback(collect)
    lib.SetTraceLogLevel(min(_log_level, LOG_INFO))
    lib.SetTraceLogCallback(ctypes.cast(callback, ctypes.c_void_p))
    try:
        yield messages
    finally:
        lib.SetTraceLogCallback(None)
        lib.SetTraceLogLevel(_log_level)


# ALSA prints a line for each configuration it tries and fails (about thirty
# when there is no card); its error handler is process-wide.
_AlsaErrorHandler = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int,
                                     ctypes.c_char_p)
_alsa_silence = _AlsaErrorHandler(lambda *args: None)


@contextlib.contextmanager
def _quiet_alsa() -> Iterator[None]:
    """Keep ALSA's error lines off stderr for the block, if raylib would load ALSA.

    raylib loads the library by name, so the instance loaded here (already
    loaded, or none to be found) is the one raylib uses.
    """
    try:
        asound = ctypes.CDLL("libasound.so.2")
        set_handler = asound.snd_lib_error_set_handler
    except (OSError, AttributeError):
        yield
        return
    set_handler.restype = ctypes.c_int
    set_handler.argtypes = [ctypes.c_void_p]
    set_handler(ctypes.cast(_alsa_silence, ctypes.c_void_p))
    try:
        yield
    finally:
        set_handler(None)


# -- audio ------------------------------------------------------------------


def audio_ready() -> bool:
    """Whether raylib's audio device is open."""
    return bool(_lib().IsAudioDeviceReady())


def audio_backend() -> str | None:
    """The backend the audio device plays through, as raylib names it:
    "PulseAudio", "ALSA", "JACK", "Null" (silent), ...

    None while the device is closed, or when it was opened other than
    through open_audio() or audio().
    """
    return _backend if audio_ready() else None


def open_audio() -> None:
    """Open raylib's audio device; does nothing if it is open already.

    Raises RuntimeError, in one line that names the remedy, if raylib could
    open no device: see the module's docstring for which machines that is.
    """
    global _backend
    lib = _lib()
    if lib.IsAudioDeviceReady():
        return
    with _raylib_messages(lib) as messages, _quiet_alsa():
        lib.InitAudioDevice()
    opened = lib.IsAudioDeviceReady()
    for level, text in messages:
        if b"> Backend:" in text:
            _backend = text.rpartition(b"|")[2].strip().decode(errors="replace")
        # raylib's lines as it would have printed them; its warning of the
        # failure is the error raised instead.
        if opened and level >= _log_level:
            lib.TraceLog(level, b"%s", text)
    if not opened:
        raise RuntimeError(_NO_DEVICE)


def close_audio() -> None:
    """Close raylib's audio device; does nothing if it is not open.

    Unload every music stream and sound first: raylib frees their buffers
    only when asked.
    """
    global _backend
    lib = _lib()
    if lib.IsAudioDeviceReady():
        lib.CloseAudioDevice()
    _backend = None


@contextlib.contextmanager
def audio() -> Iterator[None]:
    """Keep the audio device open for the block.

    Closes it at the end only if this block opened it, so blocks nest.
    """
    opened = not audio_ready()
    open_audio()
    try:
        yield
    finally:
        if opened:
            close_audio()


# -- window -----------------------------------------------------------------


def window_ready() -> bool:
    """Whether raylib's window is open."""
    return bool(_lib().IsWindowReady())


def open_window(width: int = 320, height: int = 240, title: str = "lumabo") -> None:
    """Open raylib's window; does nothing if one is open already.

    Raises RuntimeError if raylib could not open it (no display, no OpenGL).
    """
    lib = _lib()
    if lib.IsWindowReady():
        return
    lib.InitWindow(width, height, title.encode())
    if not lib.IsWindowReady():
        raise RuntimeError("raylib could not open a window (is DISPLAY set?)")


def close_window() -> None:
    """Close raylib's window; does nothing if none is open."""
    lib = _lib()
    if lib.IsWindowReady():
        lib.CloseWindow()


@contextlib.contextmanager
def window(width: int = 320, height: int = 240, title: str = "lumabo") -> Iterator[None]:
    """Keep a window open for the block; closes it only if the block opened it."""
    opened = not window_ready()
    open_window(width, height, title)
    try:
        yield
    finally:
        if opened:
            close_window()


def set_target_fps(fps: int) -> None:
    """Cap the frame rate end_drawing() waits for (0: no cap)."""
    _lib().SetTargetFPS(fps)


def begin_drawing() -> None:
    _lib().BeginDrawing()


def end_drawing() -> None:
    """Finish the frame: swap buffers and poll the window's input events."""
    _lib().EndDrawing()


def clear_background(r: int, g: int, b: int, a: int = 255) -> None:
    """Fill the frame being drawn with one colour (between begin/end_drawing)."""
    _lib().ClearBackground(_Color(r, g, b, a))


def take_screenshot(path: str | os.PathLike[str]) -> None:
    """Save the window's current contents to PATH; its extension picks the format.

    Unlike raylib's TakeScreenshot, which keeps only the file name and writes
    into the program's directory, this writes to PATH as given.
    """
    lib = _lib()
    if not lib.IsWindowReady():
        raise RuntimeError("no window is open")
    image = lib.LoadImageFromScreen()
    try:
        if not lib.ExportImage(image, os.fsencode(path)):
            raise OSError(f"raylib could not write {os.fspath(path)!r}")
    finally:
        lib.UnloadImage(image)
