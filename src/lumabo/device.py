"""Open and close raylib's audio device and window.

Music and sounds play only once raylib's audio device is open, and the cursor
acts on a window; the extension modules wrap neither. This module reaches the
few raylib calls that do, through ctypes, on the very raylib library that the
modules load (``lumabo.libs/libraylib.so.600`` beside the package), so the
device or window it opens is the one they use. It imports no extension
module.

    from lumabo import device

    with device.audio():
        ...                       # load and play music here

    with device.window(320, 240, "demo"):
        device.begin_drawing()
        device.end_drawing()      # also polls window events
        device.take_screenshot("shot.png")

Without a sound card, raylib's audio falls back to a null backend that plays
silently, so the audio device opens on headless machines too. A window needs
an X display (``DISPLAY``), such as Xvfb.
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

_SONAME = "libraylib.so.600"


class _Color(ctypes.Structure):
    _fields_ = [("r", ctypes.c_ubyte), ("g", ctypes.c_ubyte), ("b", ctypes.c_ubyte), ("a", ctypes.c_ubyte)]


class _Image(ctypes.Structure):
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
    "LoadImageFromScreen": (_Image, []),
    "ExportImage": (ctypes.c_bool, [_Image, ctypes.c_char_p]),
    "UnloadImage": (None, [_Image]),
}

_raylib: ctypes.CDLL | None = None


def library_path() -> Path:
    """Path of the raylib shared library that lumabo's modules load."""
    import lumabo

    return Path(lumabo.__file__).parent.parent / "lumabo.libs" / _SONAME


def _lib() -> ctypes.CDLL:
    global _raylib
    if _raylib is None:
        path = library_path()
        if not path.is_file():
            raise OSError(f"{path} not found: is lumabo installed from a wheel?")
        lib = ctypes.CDLL(os.fspath(path), mode=os.RTLD_NOW | os.RTLD_LOCAL)
        for name, (restype, argtypes) in _PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _raylib = lib
    return _raylib


def set_log_level(level: int) -> None:
    """Show raylib's log messages of LEVEL (one of the LOG_* values) and above."""
    _lib().SetTraceLogLevel(level)


# -- audio ------------------------------------------------------------------


def audio_ready() -> bool:
    """Whether raylib's audio device is open."""
    return bool(_lib().IsAudioDeviceReady())


def open_audio() -> None:
    """Open raylib's audio device; does nothing if it is open already.

    Raises RuntimeError if raylib could not open it.
    """
    lib = _lib()
    if lib.IsAudioDeviceReady():
        return
    lib.InitAudioDevice()
    if not lib.IsAudioDeviceReady():
        raise RuntimeError("raylib could not open the audio device")


def close_audio() -> None:
    """Close raylib's audio device; does nothing if it is not open.

    Unload every music stream and sound first: raylib frees their buffers
    only when asked.
    """
    lib = _lib()
    if lib.IsAudioDeviceReady():
        lib.CloseAudioDevice()


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
