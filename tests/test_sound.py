"""lumabo.sound.sound.Sound: loading, aliases, refilling, playback, release."""

from __future__ import annotations

import array
import copy
import ctypes
import os
import pickle
from pathlib import Path

import numpy
import pytest

import support
from lumabo.audio_stream.audio_stream import AudioStream
from lumabo.sound.sound import Sound

SECONDS = 2.0
RATE = 48000  # the null device's rate: raylib keeps the frames as written
FRAME = 8  # bytes a frame in raylib's sound format: 2 channels of 32-bit float


class Sub(Sound):
    pass


class Name(str):
    pass


def entries(error: BaseException) -> list[str]:
    """The module's own traceback entries of ERROR, outermost first."""
    names = []
    tb = error.__traceback__
    while tb is not None:
        name = tb.tb_frame.f_code.co_name
        if name.startswith("lumabo."):
            names.append(name)
        tb = tb.tb_next
    return names


def address(data) -> int:
    """Start address of DATA's buffer."""
    # numpy only where the data is numpy's: its extension is built for the
    # release interpreter, and its references go uncounted on the debug one
    # that the refleak hunt runs the tests on.
    if isinstance(data, numpy.ndarray):
        return data.ctypes.data
    if isinstance(data, bytes):
        return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value
    return ctypes.addressof(ctypes.c_char.from_buffer(data))


@pytest.fixture(scope="module")
def wav(tmp_path_factory) -> Path:
    return support.write_wav(tmp_path_factory.mktemp("sound") / "tone.wav", SECONDS, rate=RATE, channels=2)


@pytest.fixture
def sound(audio_device, wav) -> Sound:
    return Sound.load(os.fspath(wav))


def load(recorder, path) -> tuple[Sound, int]:
    """A sound and its raylib buffer, as the recorder saw LoadSound return it."""
    s = Sound.load(os.fspath(path))
    return s, recorder.calls[-1].result


def alias_of(recorder, source) -> tuple[Sound, int]:
    a = Sound.load_alias(source)
    (made,) = [c for c in recorder.calls if c.name == "LoadSoundAlias"][-1:]
    return a, made.result


def released(recorder) -> list[tuple]:
    return [c for c in recorder.calls if c.name in ("UnloadSound", "UnloadSoundAlias", "StopSound")]


# -- construction and loading ---------------------------------------------------


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"x": 2})])
def test_direct_construction_is_empty(recorder, args, kwargs):
    s = Sound(*args, **kwargs)
    assert (s.valid, s.frame_count, s.is_alias, s.stream) == (False, 0, False, None)
    assert (s.volume, s.pitch, s.pan) == (0.0, 0.0, 0.0)
    assert s.unload() is None
    del s
    assert recorder.calls == []


@pytest.mark.parametrize("keyword", [False, True])
def test_load_of_a_readable_file(audio_device, wav, keyword):
    s = Sound.load(file_name=os.fspath(wav)) if keyword else Sound.load(os.fspath(wav))
    assert type(s) is Sound
    assert (s.valid, s.is_alias) == (True, False)
    assert (s.volume, s.pitch, s.pan) == (1.0, 1.0, 0.5)
    assert isinstance(s.stream, AudioStream) and s.stream is s.stream
    assert (s.stream.sample_rate, s.stream.sample_size, s.stream.channels) == (RATE, 32, 2)
    assert s.frame_count == support.frames_for(SECONDS, RATE)


def test_load_of_a_missing_file_gives_an_invalid_sound(audio_device, recorder, tmp_path):
    s = Sound.load(os.fspath(tmp_path / "missing.wav"))
    assert not s.valid
    del s
    # Nothing held: valid asks raylib nothing, destruction releases nothing.
    assert recorder.names() == ["LoadSound"]
    assert recorder.calls[0].result == 0


@pytest.mark.parametrize(
    "file_name, error, message, where",
    [
        (None, AttributeError, "'NoneType' object has no attribute 'encode'", ["lumabo.sound.sound.Sound.load"]),
        (b"a.wav", TypeError, "Argument 'file_name' has incorrect type (expected str, got bytes)", []),
        (Name("a.wav"), TypeError, "Argument 'file_name' has incorrect type (expected str, got Name)", []),
        (Path("a.wav"), TypeError, "Argument 'file_name' has incorrect type (expected str, got PosixPath)", []),
        ("\udc80.wav", UnicodeEncodeError, None, ["lumabo.sound.sound.Sound.load"]),
        # raylib would see the name only up to the NUL: another file.
        ("a.wav\0junk", ValueError, "embedded null character in path", ["lumabo.sound.sound.Sound.load"]),
    ],
    ids=["None", "bytes", "str-subclass", "path", "lone-surrogate", "embedded-nul"],
)
def test_load_refuses(recorder, file_name, error, message, where):
    with pytest.raises(error) as caught:
        Sound.load(file_name)
    if message is not None:
        assert str(caught.value) == message
    assert entries(caught.value) == where
    assert recorder.calls == []


@pytest.mark.parametrize("through", ["Sound", "Sub", "Sound()", "Sub()"])
@pytest.mark.parametrize("factory", ["load", "load_alias"])
def test_factories_make_plain_sounds(sound, wav, factory, through):
    owner = {"Sound": Sound, "Sub": Sub, "Sound()": Sound(), "Sub()": Sub()}[through]
    made = getattr(owner, factory)(os.fspath(wav) if factory == "load" else sound)
    assert type(made) is Sound and made.valid


# -- release ---------------------------------------------------------------------


@pytest.mark.parametrize("how", ["unload", "del"])
def test_a_sound_is_released_once(audio_device, wav, recorder, how):
    s, buffer = load(recorder, wav)
    if how == "unload":
        s.unload()
        s.unload()
    del s
    assert released(recorder) == [("UnloadSound", (buffer,))]


def test_unload_keeps_the_description(sound):
    stream, frames = sound.stream, sound.frame_count
    sound.volume = 0.25
    sound.unload()
    assert not sound.valid
    assert (sound.frame_count, sound.is_alias, sound.stream, sound.volume) == (frames, False, stream, 0.25)
    assert (sound.pitch, sound.pan) == (1.0, 0.5)


# -- aliases ------------------------------------------------------------------------


@pytest.mark.parametrize("how", ["unload", "del"])
def test_alias_is_fresh_and_released_as_an_alias(sound, recorder, how):
    sound.volume, sound.pan = 0.2, 0.9
    a, buffer = alias_of(recorder, sound)
    assert (a.valid, a.is_alias, a.frame_count) == (True, True, sound.frame_count)
    assert (a.volume, a.pitch, a.pan) == (1.0, 1.0, 0.5)
    if how == "unload":
        a.unload()
    del a
    assert released(recorder) == [("UnloadSoundAlias", (buffer,))]
    assert sound.valid


@pytest.mark.parametrize("alias_goes", ["unload", "del"])
@pytest.mark.parametrize("source_goes", ["unload", "del"])
def test_samples_outlive_the_source_while_an_alias_holds_them(audio_device, wav, recorder, source_goes, alias_goes):
    s, source = load(recorder, wav)
    a, alias = alias_of(recorder, s)
    a.play()
    if source_goes == "unload":
        s.unload()
        assert not s.valid and not s.playing
    del s
    # The source is stopped at most: its samples stay for the alias.
    assert released(recorder) == ([("StopSound", (source,))] if source_goes == "unload" else [])
    assert a.valid and a.playing
    a.update(bytes(FRAME * 10), 10)
    if alias_goes == "unload":
        a.unload()
    del a
    assert released(recorder)[-2:] == [("UnloadSoundAlias", (alias,)), ("UnloadSound", (source,))]


def test_alias_of_an_alias_shares_the_first_source(audio_device, wav, recorder):
    s, source = load(recorder, wav)
    first, first_buffer = alias_of(recorder, s)
    second, second_buffer = alias_of(recorder, first)
    s.unload()
    first.unload()
    assert second.valid
    assert released(recorder) == [("StopSound", (source,)), ("UnloadSoundAlias", (first_buffer,))]
    second.unload()
    assert released(recorder)[-2:] == [("UnloadSoundAlias", (second_buffer,)), ("UnloadSound", (source,))]


def holding_nothing(kind: str, wav: Path, keep: list) -> Sound:
    if kind == "empty":
        return Sound()
    if kind == "subclass":
        return Sub()
    if kind == "failed":
        return Sound.load(os.fspath(wav.with_name("missing.wav")))
    s = Sound.load(os.fspath(wav))
    if kind == "unloaded while shared":
        keep.append(Sound.load_alias(s))
    s.unload()
    return s


@pytest.mark.parametrize("kind", ["empty", "subclass", "failed", "unloaded", "unloaded while shared"])
def test_alias_of_a_source_holding_nothing_holds_nothing(audio_device, wav, recorder, kind):
    keep = []
    source = holding_nothing(kind, wav, keep)
    recorder.clear()
    a = Sound.load_alias(source)
    assert (a.valid, a.is_alias, a.frame_count) == (False, True, 0)
    assert isinstance(a.stream, AudioStream)
    del a
    assert recorder.calls == []


@pytest.mark.parametrize(
    "source, got",
    [(42, "int"), (None, "NoneType"), ("a.wav", "str")],
)
def test_load_alias_refuses(recorder, source, got):
    with pytest.raises(TypeError) as caught:
        Sound.load_alias(source)
    assert str(caught.value) == (
        f"Argument 'source' has incorrect type (expected lumabo.sound.sound.Sound, got {got})"
    )
    assert entries(caught.value) == []
    assert recorder.calls == []


# -- update -------------------------------------------------------------------------

EXPORTERS = {
    "bytes": bytes,
    "bytes-subclass": support.BytesSubclass,
    "bytearray": bytearray,
    "memoryview": lambda n: memoryview(bytearray(n)),
    "array": lambda n: array.array("f", bytes(n)),
    "numpy": lambda n: numpy.zeros((n // FRAME, 2), dtype=numpy.float32),
}


@pytest.mark.parametrize(
    "make",
    [
        # numpy's references go uncounted on the debug interpreter (see address).
        pytest.param(make, id=name, marks=[pytest.mark.refleak_blocks_only] if name == "numpy" else [])
        for name, make in EXPORTERS.items()
    ],
)
def test_update_hands_the_exporters_memory_to_raylib(sound, recorder, make):
    data = make(FRAME * 4)
    sound.update(data, 4)
    (call,) = recorder.calls
    assert call.name == "UpdateSound" and call.args[1:] == (address(data), 4)


@pytest.mark.parametrize("count, passed", [(2.9, 2), (True, 1), (0, 0)])
def test_update_converts_the_count(sound, recorder, count, passed):
    sound.update(bytes(FRAME * 4), count)
    assert recorder.args_of("UpdateSound")[0][2] == passed


def test_update_accepts_the_whole_sound(sound, recorder):
    frames = sound.frame_count
    # A partial frame at the end of the buffer is never read.
    sound.update(bytearray(FRAME * frames + FRAME - 1), frames)
    assert recorder.args_of("UpdateSound")[0][2] == frames


@pytest.mark.parametrize(
    "data, count, error, message",
    [
        pytest.param(bytes(80), 2**31, OverflowError, "value too large to convert to int", id="overflow"),
        pytest.param(bytes(80), "3", TypeError, "an integer is required", id="str-count"),
        pytest.param(bytes(80), -1, ValueError, "frame_count -1 is negative", id="negative"),
        pytest.param(
            bytes(80), 11, ValueError,
            "frame_count 11 is more than the 10 frames the buffer holds (80 bytes, 8 bytes a frame)",
            id="beyond-buffer",
        ),
        pytest.param(
            bytes(87), 11, ValueError,
            "frame_count 11 is more than the 10 frames the buffer holds (87 bytes, 8 bytes a frame)",
            id="partial-frame",
        ),
        pytest.param("abc", 1, TypeError, None, id="str-data"),
        pytest.param(None, 1, TypeError, None, id="None-data"),
        # The count's error wins over the buffer's.
        pytest.param(None, "3", TypeError, "an integer is required", id="both-str-count"),
        pytest.param(None, 2**31, OverflowError, "value too large to convert to int", id="both-overflow"),
        pytest.param(None, -1, ValueError, "frame_count -1 is negative", id="both-negative"),
    ],
)
def test_update_refuses(sound, recorder, data, count, error, message):
    with pytest.raises(error) as caught:
        sound.update(data, count)
    if message is not None:
        assert str(caught.value) == message
    assert entries(caught.value) == ["lumabo.sound.sound.Sound.update"]
    assert recorder.count("UpdateSound") == 0


@pytest.mark.parametrize("extra", [1, 2**31 - 1 - support.frames_for(SECONDS, RATE)])
def test_update_refuses_more_frames_than_the_sound_holds(sound, recorder, extra):
    frames = sound.frame_count + extra
    with pytest.raises(ValueError) as caught:
        sound.update(bytes(FRAME * (sound.frame_count + 1)), frames)
    assert str(caught.value) == f"frame_count {frames} is more than the {sound.frame_count} frames the sound holds"
    assert recorder.count("UpdateSound") == 0


def test_update_of_an_empty_sound_refuses_any_frame(recorder):
    s = Sound()
    with pytest.raises(ValueError, match="the 0 frames the sound holds"):
        s.update(bytes(FRAME), 1)
    s.update(b"", 0)
    assert recorder.args_of("UpdateSound")[0][::2] == (0, 0)


# -- playback ------------------------------------------------------------------------


def test_playing_follows_play_pause_resume_stop(sound):
    seen = []
    for action in ("play", "pause", "resume", "stop"):
        getattr(sound, action)()
        seen.append(sound.playing)
    assert seen == [True, False, True, False]


ON_NULL_BUFFER = [
    ("play", "PlaySound"),
    ("stop", "StopSound"),
    ("pause", "PauseSound"),
    ("resume", "ResumeSound"),
]


@pytest.mark.parametrize("state", ["empty", "unloaded"])
@pytest.mark.parametrize("method, raylib_name", ON_NULL_BUFFER)
def test_playback_of_a_sound_holding_nothing_reaches_raylib_as_empty(audio_device, wav, recorder, state, method, raylib_name):
    s = Sound() if state == "empty" else Sound.load(os.fspath(wav))
    if state == "unloaded":
        s.unload()
    recorder.clear()
    assert getattr(s, method)() is None
    assert s.playing is False
    assert recorder.calls[:2] == [(raylib_name, (0,)), ("IsSoundPlaying", (0,))]


# -- volume, pitch, pan ---------------------------------------------------------------

CACHED = [("volume", "SetSoundVolume"), ("pitch", "SetSoundPitch"), ("pan", "SetSoundPan")]


@pytest.mark.parametrize("value, stored", [(0.1, 0.10000000149011612), (2, 2.0), (-1e40, float("-inf"))])
@pytest.mark.parametrize("name, setter", CACHED)
def test_cached_float_is_single_precision_and_reaches_raylib(sound, recorder, name, setter, value, stored):
    setattr(sound, name, value)
    assert getattr(sound, name) == stored
    (call,) = recorder.calls
    assert call.name == setter and call.args[1] == stored
    assert recorder.names() == [setter]  # reading asked raylib nothing


@pytest.mark.parametrize("name, setter", CACHED)
def test_cached_float_refuses_a_non_number(sound, recorder, name, setter):
    before = getattr(sound, name)
    with pytest.raises(TypeError) as caught:
        setattr(sound, name, "x")
    assert entries(caught.value) == [f"lumabo.sound.sound.Sound.{name}.__set__"]
    assert getattr(sound, name) == before
    assert recorder.calls == []


@pytest.mark.parametrize("name", [name for name, _ in CACHED])
def test_cached_float_cannot_be_deleted(name):
    s = Sound()
    with pytest.raises(NotImplementedError, match="^__del__$") as caught:
        delattr(s, name)
    assert entries(caught.value) == []


@pytest.mark.parametrize("name", ["valid", "is_alias", "frame_count", "stream", "playing"])
@pytest.mark.parametrize("change", [lambda s, n: setattr(s, n, 1), delattr], ids=["set", "del"])
def test_read_only_properties(name, change):
    with pytest.raises(AttributeError):
        change(Sound(), name)


# -- pickling ------------------------------------------------------------------------

PICKLE_REFUSAL = "self._raw cannot be converted to a Python object for pickling"


@pytest.mark.parametrize(
    "attempt",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda s: s.__reduce__(), lambda s: s.__setstate__(None)],
    ids=["pickle", "copy", "deepcopy", "__reduce__", "__setstate__"],
)
def test_pickling_is_refused(attempt):
    with pytest.raises(TypeError, match=f"^{PICKLE_REFUSAL}$"):
        attempt(Sound())


# -- the C-level method table ------------------------------------------------------------


@pytest.mark.parametrize("is_alias", [None, 0])
def test_c_new_builds_a_loaded_sound(audio_device, capi, wav, is_alias):
    s = capi.sound_new_from_file(wav, is_alias=is_alias)
    assert type(s) is Sound
    assert (s.valid, s.is_alias, s.frame_count) == (True, False, support.frames_for(SECONDS, RATE))
    assert (s.volume, s.pitch, s.pan) == (1.0, 1.0, 0.5)
    assert isinstance(s.stream, AudioStream)


@pytest.mark.parametrize("is_alias, expected", [(None, False), (0, False), (1, True), (7, True)])
def test_c_new_takes_is_alias_from_its_record(capi, recorder, is_alias, expected):
    s = capi.sound_new_zero(is_alias=is_alias)
    assert (s.is_alias, s.valid) == (expected, False)
    del s
    assert recorder.calls == []


def test_c_unload_releases_once(audio_device, capi, wav, recorder):
    s = capi.sound_new_from_file(wav)
    buffer = capi.last_buffer()
    capi.sound_c_unload(s)
    capi.sound_c_unload(s)
    assert not s.valid
    del s
    assert released(recorder) == [("UnloadSound", (buffer,))]


def test_c_unload_releases_an_alias_as_an_alias(sound, capi, recorder):
    a, buffer = alias_of(recorder, sound)
    capi.sound_c_unload(a)
    assert released(recorder) == [("UnloadSoundAlias", (buffer,))]


# -- failed allocation -----------------------------------------------------------------


@pytest.mark.parametrize("factory", ["load", "load_alias"])
def test_a_failed_allocation_releases_what_raylib_made(sound, wav, recorder, factory):
    """Fail the Python allocations one at a time: whatever raylib loaded is
    released exactly once, whether the object was made or not."""
    pytest.importorskip("_testcapi")
    path = os.fspath(wav)  # failing inside fspath would only test the interpreter
    call = {"load": lambda: Sound.load(path), "load_alias": lambda: Sound.load_alias(sound)}[factory]
    made_name, release_name = {"load": ("LoadSound", "UnloadSound"), "load_alias": ("LoadSoundAlias", "UnloadSoundAlias")}[factory]
    failed_in_new = 0
    for error in support.failing_each_allocation(call, recorder):
        calls = recorder.calls
        loaded = [c.result for c in calls if c.name == made_name and c.result]
        assert [c.args[0] for c in calls if c.name == release_name] == loaded
        if error is not None and loaded:
            assert "lumabo.sound.sound.Sound.new" in entries(error)
            failed_in_new += 1
    assert failed_in_new >= 2  # the instance and its stream wrapper
