"""The rows of the benchmark: what is timed, against which floor and alternatives.

Statements run with these names bound (see run.py):

    m, s, c          the loaded Music, the loaded Sound, the module's cursor
    data_*, frames_* update buffers (bytes) and their frame counts
    cf, ffi          raylib through cffi (ABI mode)
    ct               raylib through ctypes
    cm, cs / tm, ts  the Music and Sound records of m and s, as cffi / ctypes see them
    empty_music      a Music that holds no stream: raylib is not called
    st, cst / tst    an AudioStream made by create(), its record as cffi / ctypes see it
    frames_refill    the frames of one refill of st
    Music, track_bytes  the class, and a short WAV file's bytes to load from memory
    p                the call-path probe of the test-only extension
    i, f, z, e, b, mv, lst, fn, name   plain builtin objects for the floors

The alternatives work on the very records that m and s hold, so raylib does
the same work on every line of a row.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

# The floor: CPython's own cost of the same kind of call on a builtin whose
# body does next to nothing. key: (what it is, statement)
FLOORS: dict[str, tuple[str, str]] = {
    "method": ("builtin method, no argument: int.is_integer()", "i.is_integer()"),
    "positional": ("builtin method, one positional: str.zfill(0)", "e.zfill(0)"),
    "keyword": ("builtin method, one keyword: str.expandtabs(tabsize=8)", "e.expandtabs(tabsize=8)"),
    "buffer": ("builtin method, buffer + int: bytes.startswith(buf, 0)", "b.startswith(data_1m, 0)"),
    "getter": ("builtin property, a bool: memoryview.readonly", "mv.readonly"),
    "getter_float": ("builtin property, a new float: complex.real", "z.real"),
    "setter": ("builtin property set: function.__name__ = s", "fn.__name__ = name"),
    "len": ("len() of a builtin: len(list)", "len(lst)"),
    "method_buffer": ("a builtin method, then buffer + int: int.is_integer(); bytes.startswith(buf, 0)",
                      "i.is_integer(); b.startswith(data_1m, 0)"),
    "len_round": ("what len(Music) must do, with builtins: len(list); round(float.real)",
                  "len(lst); round(f.real)"),
}

# The limit of lumabo's call path: the test-only probe, a native function
# object of the kind lumabo's methods are (vectorcall, a method descriptor)
# whose body returns None, called in each shape the call rows use.
# key: (what it is, statement)
PROBES: dict[str, tuple[str, str]] = {
    "none": ("probe, no argument: p.call()", "p.call()"),
    "positional": ("probe, one positional: p.call(1.0)", "p.call(1.0)"),
    "keyword": ("probe, one keyword: p.call(position=1.0)", "p.call(position=1.0)"),
    "buffer": ("probe, buffer + int: p.call(data_1m, 0)", "p.call(data_1m, 0)"),
}

# sizes of the Sound.update buffers: (suffix, bytes)
UPDATE_SIZES = [("1k", 1 << 10), ("64k", 64 << 10), ("1m", 1 << 20)]

# C loops of bench/baseline.c: (env, n) -> None
Loop = Callable[[object, int], object]


@dataclass(frozen=True)
class Row:
    """A Python-level operation of lumabo."""

    name: str
    needs: str  # "music", "sound", "stream" or "cursor": the module it exercises
    stmt: str
    floor: str  # key of FLOORS
    raylib: Loop | None = None  # raylib's own cost; None: no raylib call
    cffi: str | None = None
    ctypes: str | None = None
    alternative_note: str = ""  # what the alternatives do, where not the same call
    same_call: bool = True  # the alternatives make the raylib call lumabo makes
    alt_raylib: Loop | None = None  # raylib's cost of the alternatives' call, if not `raylib`
    no_alloc: bool = False  # target: the path allocates nothing
    window: bool = False  # needs a raylib window
    call_alone: bool = False  # made so that raylib's share is next to nothing
    shape: str | None = None  # a method call: key of PROBES, its probe


@dataclass(frozen=True)
class SlotRow:
    """A C-level method called through the __pyx_vtable__ capsule, n times in C."""

    name: str
    needs: str
    run: Loop  # calls the slot n times through lumabo_capi_test
    raylib: Loop | None = None
    window: bool = False


ROWS: list[Row] = [
    Row("Music.play()", "music", "m.play()", "method", shape="none",
        raylib=lambda e, n: e.base.play_music(e.m_ptr, n),
        cffi="cf.PlayMusicStream(cm)", ctypes="ct.PlayMusicStream(tm)", no_alloc=True),
    Row("Music.update()", "music", "m.update()", "method", shape="none",
        raylib=lambda e, n: e.base.update_music(e.m_ptr, n),
        cffi="cf.UpdateMusicStream(cm)", ctypes="ct.UpdateMusicStream(tm)", no_alloc=True),
    Row("Music.seek(1.0)", "music", "m.seek(1.0)", "positional", shape="positional",
        raylib=lambda e, n: e.base.seek_music(e.m_ptr, 1.0, n),
        cffi="cf.SeekMusicStream(cm, 1.0)", ctypes="ct.SeekMusicStream(tm, 1.0)"),
    Row("Music.seek(position=1.0)", "music", "m.seek(position=1.0)", "keyword", shape="keyword",
        raylib=lambda e, n: e.base.seek_music(e.m_ptr, 1.0, n),
        cffi="cf.SeekMusicStream(cm, 1.0)", ctypes="ct.SeekMusicStream(tm, 1.0)",
        alternative_note="C functions take no keywords: positional"),
    Row("Music.volume (get)", "music", "m.volume", "getter_float",
        cffi="cm.frameCount", ctypes="tm.frameCount",
        alternative_note="raylib keeps no volume to read: a field of the record",
        same_call=False),
    Row("Music.volume = 0.5", "music", "m.volume = 0.5", "setter",
        raylib=lambda e, n: e.base.set_music_volume(e.m_ptr, 0.5, n),
        cffi="cf.SetMusicVolume(cm, 0.5)", ctypes="ct.SetMusicVolume(tm, 0.5)"),
    Row("len(Music)", "music", "len(m)", "len",
        raylib=lambda e, n: e.base.music_time_length(e.m_ptr, n),
        cffi="round(cf.GetMusicTimeLength(cm))", ctypes="round(ct.GetMusicTimeLength(tm))"),
    Row("Sound.play()", "sound", "s.play()", "method", shape="none",
        raylib=lambda e, n: e.base.play_sound(e.s_ptr, n),
        cffi="cf.PlaySound(cs)", ctypes="ct.PlaySound(ts)", no_alloc=True),
    *[
        Row(f"Sound.update({label})", "sound", f"s.update(data_{suffix}, frames_{suffix})", "buffer",
            shape="buffer",
            raylib=lambda e, n, suffix=suffix: e.base.update_sound(
                e.s_ptr, e.ns[f"data_{suffix}"], e.ns[f"frames_{suffix}"], n),
            cffi=f"cf.UpdateSound(cs, ffi.from_buffer(data_{suffix}), frames_{suffix})",
            ctypes=f"ct.UpdateSound(ts, data_{suffix}, frames_{suffix})")
        for (suffix, _), label in zip(UPDATE_SIZES, ["1 KiB", "64 KiB", "1 MiB"])
    ],
    Row("Sound.volume (get)", "sound", "s.volume", "getter_float",
        cffi="cs.frameCount", ctypes="ts.frameCount",
        alternative_note="raylib keeps no volume to read: a field of the record",
        same_call=False),
    Row("Sound.volume = 0.5", "sound", "s.volume = 0.5", "setter",
        raylib=lambda e, n: e.base.set_sound_volume(e.s_ptr, 0.5, n),
        cffi="cf.SetSoundVolume(cs, 0.5)", ctypes="ct.SetSoundVolume(ts, 0.5)"),
    Row("cursor.enabled", "cursor", "c.enabled", "getter",
        alternative_note="a module flag of lumabo; raylib has no such query", no_alloc=True),
    Row("cursor.show()", "cursor", "c.show()", "method", shape="none",
        raylib=lambda e, n: e.base.show_cursor(n),
        cffi="cf.ShowCursor()", ctypes="ct.ShowCursor()", no_alloc=True, window=True),
    # The call alone: a Music without a stream makes no raylib call.
    Row("Music().play()", "music", "empty_music.play()", "method", shape="none",
        cffi="cf.PlayMusicStream(cm)", ctypes="ct.PlayMusicStream(tm)",
        alt_raylib=lambda e, n: e.base.play_music(e.m_ptr, n),
        alternative_note="PlayMusicStream on the loaded track, raylib's cost subtracted",
        no_alloc=True, call_alone=True),
    # raylib seeks the track's file (a system call: microseconds, and noisy),
    # which buries lumabo's share; a Music without a stream never calls it.
    *[
        Row(f"Music().seek({arg})", "music", f"empty_music.seek({arg})", floor, shape=floor,
            cffi="cf.SetMusicVolume(cm, 1.0)", ctypes="ct.SetMusicVolume(tm, 1.0)",
            alt_raylib=lambda e, n: e.base.set_music_volume(e.m_ptr, 1.0, n),
            alternative_note="a call of the same signature: SetMusicVolume(music, 1.0)",
            call_alone=True)
        for arg, floor in [("1.0", "positional"), ("position=1.0", "keyword")]
    ],
    # A stream made by code, refilled over and over: play() frees both of
    # its buffers for the refill that follows.
    Row("AudioStream.play(); .update(one refill)", "stream", "st.play(); st.update(data_1m, frames_refill)",
        "method_buffer",
        raylib=lambda e, n: e.base.play_update_stream(e.st_ptr, e.ns["data_1m"], e.ns["frames_refill"], n),
        cffi="cf.PlayAudioStream(cst); cf.UpdateAudioStream(cst, ffi.from_buffer(data_1m), frames_refill)",
        ctypes="ct.PlayAudioStream(tst); ct.UpdateAudioStream(tst, data_1m, frames_refill)",
        alternative_note="without the check for a free buffer that lumabo asks raylib for"),
    *[
        Row(f"AudioStream.play(); .update({label}, 0 frames)", "stream", f"st.play(); st.update(data_{suffix}, 0)",
            "method_buffer",
            raylib=lambda e, n, suffix=suffix: e.base.play_update_stream(e.st_ptr, e.ns[f"data_{suffix}"], 0, n),
            cffi=f"cf.PlayAudioStream(cst); cf.UpdateAudioStream(cst, ffi.from_buffer(data_{suffix}), 0)",
            ctypes=f"ct.PlayAudioStream(tst); ct.UpdateAudioStream(tst, data_{suffix}, 0)",
            alternative_note="without the check for a free buffer that lumabo asks raylib for", call_alone=True)
        for (suffix, _), label in zip(UPDATE_SIZES, ["1 KiB", "64 KiB", "1 MiB"])
    ],
    # raylib opens a decoder and a stream: lumabo's share is the checks, the
    # held view and the object.
    Row("Music.load_from_memory('.wav', data).unload()", "music",
        "Music.load_from_memory('.wav', track_bytes).unload()", "buffer",
        raylib=lambda e, n: e.base.load_music_from_memory(e.ns["track_bytes"], len(e.ns["track_bytes"]), n),
        cffi="cf.UnloadMusicStream(cf.LoadMusicStreamFromMemory(b'.wav', ffi.from_buffer('unsigned char[]', track_bytes), len(track_bytes)))",
        ctypes="ct.UnloadMusicStream(ct.LoadMusicStreamFromMemory(b'.wav', track_bytes, len(track_bytes)))"),
    # With no frames raylib copies nothing: what is left must not grow with
    # the buffer.
    *[
        Row(f"Sound.update({label}, 0 frames)", "sound", f"s.update(data_{suffix}, 0)", "buffer",
            shape="buffer",
            raylib=lambda e, n, suffix=suffix: e.base.update_sound(
                e.s_ptr, e.ns[f"data_{suffix}"], 0, n),
            cffi=f"cf.UpdateSound(cs, ffi.from_buffer(data_{suffix}), 0)",
            ctypes=f"ct.UpdateSound(ts, data_{suffix}, 0)", call_alone=True)
        for (suffix, _), label in zip(UPDATE_SIZES, ["1 KiB", "64 KiB", "1 MiB"])
    ],
]

SLOT_ROWS: list[SlotRow] = [
    SlotRow("Music play (dispatching)", "music",
            lambda e, n: e.capi.music_slot(e.m, "play", 0, repeat=n),
            raylib=lambda e, n: e.base.play_music(e.m_ptr, n)),
    SlotRow("Music update (dispatching)", "music",
            lambda e, n: e.capi.music_slot(e.m, "update", 0, repeat=n),
            raylib=lambda e, n: e.base.update_music(e.m_ptr, n)),
    SlotRow("Music seek(1.0) (dispatching)", "music",
            lambda e, n: e.capi.music_slot(e.m, "seek", 0, position=1.0, repeat=n),
            raylib=lambda e, n: e.base.seek_music(e.m_ptr, 1.0, n)),
    SlotRow("Sound c_unload (holds nothing)", "sound",
            lambda e, n: e.capi.sound_c_unload(e.empty_sound, repeat=n)),
    SlotRow("Sound new + release (zero record)", "sound",
            lambda e, n: e.capi.sound_new_zero(repeat=n)),
    SlotRow("Cursor c_show", "cursor",
            lambda e, n: e.capi.cursor_slot(e.c, "c_show", repeat=n),
            raylib=lambda e, n: e.base.show_cursor(n), window=True),
    SlotRow("Cursor show (dispatching)", "cursor",
            lambda e, n: e.capi.cursor_slot(e.c, "show", 0, repeat=n),
            raylib=lambda e, n: e.base.show_cursor(n), window=True),
]

# Import time of each module, and what the alternatives take to get ready.
MODULES = [
    "lumabo.audio_stream.audio_stream",
    "lumabo.cursor.cursor",
    "lumabo.music.music",
    "lumabo.sound.sound",
]

# A row whose raylib call costs this many floors or more is raylib-bound:
# lumabo's share is within the noise of raylib's; its probe row measures it.
RAYLIB_BOUND = 20

# Targets.
MAX_FLOOR_RATIO = 1.2  # lumabo's overhead over raylib's, in floors
MIN_CFFI_RATIO = 5.0  # cffi's overhead over raylib's, in lumabo overheads
MAX_PROBE_RATIO = 1.1  # a method call's overhead, in probes of its shape
