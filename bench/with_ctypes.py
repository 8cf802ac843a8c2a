"""raylib through ctypes: what a program would use instead of lumabo.

The prototypes are written from raylib.h (raylib 6.0): only those the
benchmark rows call; the records are the shared ones of tools/harness.py.
It binds the raylib shared library that lumabo's modules load, so the
process has one raylib, one audio device and one window.
"""

from __future__ import annotations

import ctypes
import os

import harness

AudioStream, Sound, Music = harness.AudioStream, harness.Sound, harness.Music


# name: (restype, argtypes)
PROTOTYPES = {
    "IsMusicValid": (ctypes.c_bool, [Music]),
    "PlayMusicStream": (None, [Music]),
    "UpdateMusicStream": (None, [Music]),
    "SeekMusicStream": (None, [Music, ctypes.c_float]),
    "SetMusicVolume": (None, [Music, ctypes.c_float]),
    "GetMusicTimeLength": (ctypes.c_float, [Music]),
    "PlaySound": (None, [Sound]),
    "UpdateSound": (None, [Sound, ctypes.c_void_p, ctypes.c_int]),
    "SetSoundVolume": (None, [Sound, ctypes.c_float]),
    "ShowCursor": (None, []),
    "PlayAudioStream": (None, [AudioStream]),
    "UpdateAudioStream": (None, [AudioStream, ctypes.c_void_p, ctypes.c_int]),
    "LoadMusicStreamFromMemory": (Music, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "UnloadMusicStream": (None, [Music]),
}


def open_ctypes(library: str | os.PathLike[str]) -> ctypes.CDLL:
    """raylib through ctypes, each function given its prototype."""
    lib = ctypes.CDLL(os.fspath(library), mode=os.RTLD_NOW | os.RTLD_LOCAL)
    for name, (restype, argtypes) in PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib
