"""lumabo.music.music: Music loads, plays and releases a streamed track.

Tracks are generated WAV (and QOA) files played through raylib's audio
device with the null backend; the call recorder shows what reached raylib.
Import-time checks and the crash-prone destruction cases run in fresh
interpreters (support.run_python).
"""

from __future__ import annotations

import copy
import gc
import json
import os
import pathlib
import pickle
import sys
import textwrap
import time
import traceback
import weakref

import pytest

import support
from lumabo.audio_stream.audio_stream import AudioStream
from lumabo.music.music import Music

pytestmark = pytest.mark.usefixtures("audio_device")

MODULE_FILE = "src/lumabo/music/music.cpp"
NO_PICKLING = "self.raw cannot be converted to a Python object for pickling"


def entries(exc: BaseException) -> list[str]:
    """Names of the module's traceback entries on EXC, outermost first."""
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == MODULE_FILE]


@pytest.fixture
def track(tmp_wav) -> pathlib.Path:
    return tmp_wav(1.0)


@pytest.fixture
def loaded(track, recorder):
    """A loaded Music and its stream buffer, with the recorder cleared after the load."""
    music = Music.load(str(track))
    (load,) = recorder.calls
    assert load.name == "LoadMusicStream" and load.result
    recorder.clear()
    yield music, load.result
    music.unload()


# -- the class --------------------------------------------------------------


def test_class_shape():
    assert Music.__module__ == "lumabo.music.music" and Music.__qualname__ == "Music"
    assert type(Music.__dict__["load"]) is staticmethod
    assert Music.load.__annotations__ == {"return": "Music"}
    assert type(Music.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    assert Music.load.__code__.co_varnames == ("filename",)
    assert Music.seek.__code__.co_varnames == ("self", "position")
    with pytest.raises(TypeError):
        Music.x = 1
    with pytest.raises(AttributeError):
        Music().__dict__


@pytest.mark.parametrize("make", [Music, lambda: Music(1, key=2), lambda: Music.__new__(Music)])
def test_new_object_is_unloaded(make, recorder):
    m = make()
    assert m.stream is None
    assert (m.volume, m.pitch, m.pan) == (0.0, 0.0, 0.0)
    assert (m.valid, m.looping, m.length, m.time_played) == (False, False, 0.0, 0.0)
    assert len(m) == 0 and not m
    assert recorder.calls == []


# -- loading ----------------------------------------------------------------


@pytest.mark.parametrize("seconds, whole", [(2.5, 2), (3.5, 4), (0.4, 0)])
def test_load_track(tmp_wav, seconds, whole):
    m = Music.load(str(tmp_wav(seconds)))
    assert m.valid
    assert m.length == pytest.approx(seconds)
    assert len(m) == whole and bool(m) is (whole != 0)
    assert (m.volume, m.pitch, m.pan) == (1.0, 1.0, 0.0)
    assert m.looping is True  # raylib's default for a music stream
    assert type(m.stream) is AudioStream
    assert (m.stream.sample_rate, m.stream.sample_size, m.stream.channels) == (22050, 16, 1)
    assert not m.stream.is_owner
    m.unload()


def test_load_compressed_track(tmp_qoa):
    m = Music.load(str(tmp_qoa(1.5)))
    assert m.valid and type(m) is Music
    assert m.length == pytest.approx(1.5, abs=0.01) and len(m) == 2
    assert m.stream.sample_size == 32  # raylib decodes QOA to float
    m.play()
    m.update()
    m.seek(1.0)
    m.stop()
    m.unload()
    assert not m.valid


def test_load_missing_file(tmp_path, recorder):
    path = str(tmp_path / "missing.wav")
    m = Music.load(path)
    assert type(m) is Music and not m.valid
    assert type(m.stream) is AudioStream and not m.stream.valid
    assert (m.volume, m.pitch, m.pan) == (1.0, 1.0, 0.0)
    assert (m.length, len(m)) == (0.0, 0)
    assert recorder.calls == [("LoadMusicStream", (path,))]


def test_load_by_keyword_and_through_an_instance(track):
    m = Music.load(filename=str(track))
    other = m.load(str(track))
    assert other is not m and other.valid and m.valid


class PathStr(str):
    pass


@pytest.mark.parametrize(
    "filename, error, message, where",
    [
        (b"track.wav", TypeError,
         "Argument 'filename' has incorrect type (expected str, got bytes)", []),
        (PathStr("track.wav"), TypeError,
         "Argument 'filename' has incorrect type (expected str, got PathStr)", []),
        (pathlib.Path("track.wav"), TypeError,
         "Argument 'filename' has incorrect type (expected str, got PosixPath)", []),
        (None, AttributeError, "'NoneType' object has no attribute 'encode'",
         ["lumabo.music.music.Music.load", "lumabo.music.music.Music.c_load"]),
        ("\udcff.wav", UnicodeEncodeError, None,
         ["lumabo.music.music.Music.load", "lumabo.music.music.Music.c_load"]),
        # raylib would see the name only up to the NUL: another file.
        ("track.wav\0junk", ValueError, "embedded null character in path",
         ["lumabo.music.music.Music.load", "lumabo.music.music.Music.c_load"]),
        ("\0", ValueError, "embedded null character in path",
         ["lumabo.music.music.Music.load", "lumabo.music.music.Music.c_load"]),
    ],
)
def test_load_refuses(filename, error, message, where, recorder):
    with pytest.raises(error) as info:
        Music.load(filename)
    if message:
        assert str(info.value) == message
    assert entries(info.value) == where
    assert recorder.calls == []


def test_load_through_subclass_makes_music(track):
    class S(Music):
        pass

    s = S()
    m = S.load(str(track))
    assert type(m) is Music and m.valid
    assert type(s.load(str(track))) is Music
    assert s.stream is None and not s.valid and s.volume == 0.0


# -- properties -------------------------------------------------------------


@pytest.mark.parametrize(
    "name, raylib_name",
    [("volume", "SetMusicVolume"), ("pitch", "SetMusicPitch"), ("pan", "SetMusicPan")],
)
def test_cached_float(loaded, recorder, name, raylib_name):
    m, buffer = loaded
    setattr(m, name, 0.1)
    assert getattr(m, name) == support.f32(0.1) != 0.1
    setattr(m, name, 3)  # no clamping, ints convert
    assert getattr(m, name) == 3.0
    assert recorder.calls == [(raylib_name, (buffer, support.f32(0.1))), (raylib_name, (buffer, 3.0))]

    with pytest.raises(TypeError) as info:
        setattr(m, name, "loud")
    assert entries(info.value) == [f"lumabo.music.music.Music.{name}.__set__"]
    with pytest.raises(NotImplementedError, match="^__del__$") as info:
        delattr(m, name)
    assert entries(info.value) == []
    assert getattr(m, name) == 3.0
    assert len(recorder.calls) == 2


def test_looping(loaded, recorder):
    m, _ = loaded
    m.looping = False
    assert m.looping is False
    m.looping = True
    m.looping = None
    assert m.looping is False
    with pytest.raises(TypeError) as info:
        m.looping = 1
    assert str(info.value) == "Argument 'value' has incorrect type (expected bool, got int)"
    assert entries(info.value) == []
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del m.looping
    assert recorder.calls == []


@pytest.mark.parametrize("name", ["valid", "length", "time_played"])
def test_read_only_properties(loaded, name):
    m, _ = loaded
    with pytest.raises(AttributeError):
        setattr(m, name, 1.0)
    with pytest.raises(AttributeError):
        delattr(m, name)


def test_stream_property(loaded, recorder):
    m, buffer = loaded
    wrapper = m.stream
    other = AudioStream()
    m.stream = other
    assert m.stream is other
    m.stream = None
    assert m.stream is None
    m.stream = wrapper
    del m.stream
    assert m.stream is None
    m.stream = wrapper

    with pytest.raises(TypeError) as info:
        m.stream = 5
    assert str(info.value) == "Cannot convert int to lumabo.audio_stream.audio_stream.AudioStream"
    assert entries(info.value) == ["lumabo.music.music.Music.stream.__set__"]
    assert m.stream is wrapper

    # The record is not the wrapper's: what raylib plays stays.
    m.stream = None
    assert m.valid
    m.play()
    assert recorder.calls[-1] == ("PlayMusicStream", (buffer,))


def test_stream_accepts_audio_stream_subclass(loaded):
    class Wrapped(AudioStream):
        pass

    m, _ = loaded
    m.stream = w = Wrapped()
    assert m.stream is w


@pytest.mark.parametrize(
    "length, error, message",
    [
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
        # A negative size is refused as for a __len__ written in Python.
        (-1.0, ValueError, "__len__() should return >= 0"),
        (-3.0, ValueError, "__len__() should return >= 0"),
        (-0.7, ValueError, "__len__() should return >= 0"),
        (-2.0**80, OverflowError, "Python int too large to convert to C ssize_t"),
        (2.0**80, OverflowError, "Python int too large to convert to C ssize_t"),
    ],
)
def test_len_errors(length, error, message):
    class S(Music):
        pass

    S.length = length  # len() reads length by attribute lookup
    for size in (len, bool):
        with pytest.raises(error) as info:
            size(S())
        assert str(info.value) == message
        assert entries(info.value) == ["lumabo.music.music.Music.__len__"]


def test_len_of_a_negative_round_replaced_before_import():
    proc = support.run_python(
        "import builtins\n"
        "builtins.round = lambda x: -5\n"
        "from lumabo.music.music import Music\n"
        "try:\n"
        "    len(Music())\n"
        "except ValueError as e:\n"
        "    print(e)\n"
    )
    assert (proc.returncode, proc.stdout) == (0, "__len__() should return >= 0\n"), proc.stderr


def test_len_calls_a_round_replaced_before_import():
    proc = support.run_python(
        "import builtins\n"
        "builtins.round = lambda x: 7\n"
        "from lumabo.music.music import Music\n"
        "print(len(Music()))\n"
    )
    assert (proc.returncode, proc.stdout) == (0, "7\n"), proc.stderr


# -- playback ---------------------------------------------------------------


@pytest.mark.parametrize(
    "call, raylib_call",
    [
        (lambda m: m.play(), ("PlayMusicStream", ())),
        (lambda m: m.stop(), ("StopMusicStream", ())),
        (lambda m: m.pause(), ("PauseMusicStream", ())),
        (lambda m: m.resume(), ("ResumeMusicStream", ())),
        (lambda m: m.update(), ("UpdateMusicStream", ())),
        (lambda m: m.seek(0.1), ("SeekMusicStream", (support.f32(0.1),))),
        (lambda m: m.seek(position=True), ("SeekMusicStream", (1.0,))),
        (lambda m: m.valid, ("IsMusicValid", ())),
        (lambda m: m.length, ("GetMusicTimeLength", ())),
        (lambda m: m.time_played, ("GetMusicTimePlayed", ())),
    ],
)
def test_calls_reach_raylib(loaded, recorder, call, raylib_call):
    m, buffer = loaded
    result = call(m)
    name, args = raylib_call
    (made,) = recorder.calls
    assert made == (name, (buffer, *args))
    if made.result is not None:
        assert result == made.result


@pytest.mark.parametrize(
    "call, message, where",
    [
        (lambda m: m.play(1), "play() takes exactly 0 positional arguments (1 given)", []),
        (lambda m: m.unload(x=1), "unload() got an unexpected keyword argument 'x'", []),
        (lambda m: Music.play(), "play() needs an argument", []),  # type: ignore[call-arg]
        (lambda m: m.seek(), "seek() takes exactly 1 positional argument (0 given)",
         ["lumabo.music.music.Music.seek"]),
        (lambda m: m.seek(1.0, 2.0), "seek() takes exactly 1 positional argument (2 given)",
         ["lumabo.music.music.Music.seek"]),
        (lambda m: m.seek(pos=1.0), "seek() got an unexpected keyword argument 'pos'",
         ["lumabo.music.music.Music.seek"]),
        (lambda m: m.seek(1.0, position=2.0),
         "seek() got multiple values for keyword argument 'position'",
         ["lumabo.music.music.Music.seek"]),
        (lambda m: m.seek("x"), None, ["lumabo.music.music.Music.seek"]),
        (lambda m: Music.play(5), None, []),  # type: ignore[arg-type]
    ],
)
def test_argument_errors(loaded, recorder, call, message, where):
    m, _ = loaded
    with pytest.raises(TypeError) as info:
        call(m)
    if message:
        assert str(info.value) == message
    assert entries(info.value) == where
    assert recorder.calls == []


def test_keyword_names_seen_before_still_counted(loaded, recorder):
    """A call site's keyword names, once found to name the parameters in
    order, are known again by identity; with another positional count the
    same names are still refused."""
    m, buffer = loaded

    def calls(m):  # one code object: both calls pass its one ('position',)
        m.seek(position=0.5)
        Music.seek(m, position=0.5)
        m.seek(1.0, position=0.5)

    assert calls.__code__.co_consts.count(("position",)) == 1
    with pytest.raises(TypeError, match="multiple values for keyword argument 'position'"):
        calls(m)
    assert recorder.args_of("SeekMusicStream") == [(buffer, 0.5), (buffer, 0.5)]


def poll(m: Music, done, limit: int = 5000) -> list[float]:
    """Update M and read time_played until DONE(values so far) holds."""
    seen: list[float] = []
    for _ in range(limit):
        m.update()
        seen.append(m.time_played)
        if done(seen):
            return seen
        time.sleep(0.002)
    pytest.fail(f"no end in {limit} updates (last {seen[-3:]})")


def test_plays_to_the_end(tmp_wav):
    m = Music.load(str(tmp_wav(1.5)))
    m.looping = False
    m.play()
    # raylib stops the stream at the end of the track: time_played reads 0
    # again. (On the way it may step back once, when the last, partial
    # buffer is queued, so a step back alone is no end.)
    seen = poll(m, lambda seen: seen[-1] == 0.0 and max(seen) > 0)
    assert max(seen) > m.length * 0.75 and max(seen) <= m.length
    m.update()
    assert m.time_played == 0.0
    m.unload()


def test_looping_track_starts_again(tmp_wav):
    m = Music.load(str(tmp_wav(0.3)))
    assert m.looping
    m.play()
    seen = poll(m, lambda seen: len(seen) > 1 and seen[-1] < seen[-2])
    wrapped = seen[-1]
    assert max(seen) > m.length / 2
    poll(m, lambda seen: seen[-1] > wrapped)  # still playing
    m.unload()


# -- releasing --------------------------------------------------------------


@pytest.mark.parametrize("unloads", [0, 1, 2])
def test_released_exactly_once(track, recorder, unloads):
    m = Music.load(str(track))
    buffer = recorder.calls[0].result
    wrapper = m.stream
    for _ in range(unloads):
        m.unload()
    if unloads:
        # The wrapper and the caches stay; only the record's buffer goes.
        assert m.stream is wrapper and (m.volume, m.pitch, m.pan) == (1.0, 1.0, 0.0)
        assert not m.valid
    del m
    gc.collect()
    assert recorder.args_of("UnloadMusicStream") == [(buffer,)]


def test_destruction_of_subclass_releases_nothing(recorder):
    class S(Music):
        valid = True  # read by attribute lookup: an override counts

    s = S()
    del s
    assert recorder.calls == []


NO_STREAM = {
    "never loaded": lambda path, capi: Music(),
    "never loaded, made from C": lambda path, capi: capi.music_new_zero(),
    "failed load": lambda path, capi: Music.load(str(path) + ".missing.wav"),
    "released": lambda path, capi: _released(Music.load(str(path))),
}


def _released(m: Music) -> Music:
    m.unload()
    return m


@pytest.mark.parametrize("state", NO_STREAM)
def test_no_stream_never_reaches_raylib(track, recorder, capi, state):
    # A released record still points at the decoder context raylib freed,
    # and raylib's seek dereferences the buffer of an all-zero record: no
    # such record may reach raylib. (Run under ASan or valgrind, this is
    # where a use after free would show.)
    m = NO_STREAM[state](track, capi)
    stream = m.stream
    recorder.clear()
    for method in ("play", "update", "pause", "resume", "stop", "unload"):
        getattr(m, method)()
    m.seek(0.25)
    for slot in ("play", "update", "pause", "resume", "stop"):
        capi.music_slot(m, slot, 0)
    capi.music_slot(m, "seek", 0, 0.25)
    capi.music_c_unload(m)
    m.volume, m.pitch, m.pan = 0.5, 2.0, -1.0
    assert (m.volume, m.pitch, m.pan) == (0.5, 2.0, -1.0)
    assert (m.valid, m.length, m.time_played, len(m)) == (False, 0.0, 0.0, 0)
    assert m.stream is stream
    del m
    gc.collect()
    assert recorder.calls == []


# -- pickling ---------------------------------------------------------------


@pytest.mark.parametrize(
    "refuse, where",
    [
        (pickle.dumps, "lumabo.music.music.Music.__reduce__"),
        (copy.copy, "lumabo.music.music.Music.__reduce__"),
        (copy.deepcopy, "lumabo.music.music.Music.__reduce__"),
        (lambda m: m.__setstate__(None), "lumabo.music.music.Music.__setstate__"),
        (lambda m: m.__setstate__(__pyx_state=()), "lumabo.music.music.Music.__setstate__"),
    ],
)
def test_pickling_refused(loaded, refuse, where):
    m, _ = loaded
    with pytest.raises(TypeError) as info:
        refuse(m)
    assert str(info.value) == NO_PICKLING
    assert entries(info.value) == [where]


# -- the C-level method table -----------------------------------------------


def test_c_level_new_and_load(track, recorder, capi):
    made = capi.music_new_from_file(str(track))
    buffer = capi.last_buffer()
    loaded = capi.music_c_load(str(track))
    for m in (made, loaded):
        assert type(m) is Music and m.valid and m.length == pytest.approx(1.0)
        assert (m.volume, m.pitch, m.pan) == (1.0, 1.0, 0.0)
        assert type(m.stream) is AudioStream
    recorder.clear()
    del made
    assert recorder.args_of("UnloadMusicStream") == [(buffer,)]


def test_a_failed_allocation_releases_what_raylib_opened(track, recorder):
    """The stream raylib loaded is released exactly once, whether the object
    was made or not."""
    pytest.importorskip("_testcapi")
    failed_in_new = 0
    for error in support.failing_each_allocation(lambda: Music.load(str(track)), recorder):
        loaded = [c.result for c in recorder.calls if c.name == "LoadMusicStream" and c.result]
        assert recorder.args_of("UnloadMusicStream") == [(b,) for b in loaded]
        if error is not None and loaded:
            assert "lumabo.music.music.Music.new" in entries(error)
            failed_in_new += 1
    assert failed_in_new >= 2  # the instance and its stream wrapper


def test_c_level_load_refuses_embedded_nul(track, recorder, capi):
    with pytest.raises(ValueError, match="embedded null character in path"):
        capi.music_c_load(str(track) + "\0junk")
    assert recorder.calls == []


SLOTS = [
    ("play", (), "PlayMusicStream", ()),
    ("stop", (), "StopMusicStream", ()),
    ("pause", (), "PauseMusicStream", ()),
    ("resume", (), "ResumeMusicStream", ()),
    ("update", (), "UpdateMusicStream", ()),
    ("seek", (0.75,), "SeekMusicStream", (0.75,)),
]


@pytest.mark.parametrize("skip_dispatch", [0, 1])
@pytest.mark.parametrize("slot, args, raylib_name, raylib_args", SLOTS)
def test_slot_on_music_reaches_raylib(loaded, recorder, capi, slot, args, raylib_name,
                                      raylib_args, skip_dispatch):
    m, buffer = loaded
    capi.music_slot(m, slot, skip_dispatch, *args)
    assert recorder.calls == [(raylib_name, (buffer, *raylib_args))]


class Overriding(Music):
    def __init__(self):
        self.calls = []

    def play(self):
        self.calls.append(("play",))

    def stop(self):
        self.calls.append(("stop",))

    def pause(self):
        self.calls.append(("pause",))

    def resume(self):
        self.calls.append(("resume",))

    def update(self):
        self.calls.append(("update",))
        super().update()  # the base body, once: no recursion

    def seek(self, position):
        self.calls.append(("seek", position))


@pytest.mark.parametrize("slot, args, raylib_name, raylib_args", SLOTS)
def test_slot_reaches_override_only_without_skip(recorder, capi, slot, args, raylib_name,
                                                 raylib_args):
    s = Overriding()
    capi.music_slot(s, slot, 1, *args)
    assert s.calls == []
    capi.music_slot(s, slot, 0, *args)
    assert s.calls == [(slot, *args)]
    if args:
        assert type(s.calls[0][1]) is float
    # The subclass holds no stream, so nothing reaches raylib either way.
    assert recorder.calls == []


def test_failing_override_adds_entry(capi):
    class Failing(Music):
        def seek(self, position):
            raise LookupError(position)

    with pytest.raises(LookupError) as info:
        capi.music_slot(Failing(), "seek", 0, 0.5)
    assert info.value.args == (0.5,)
    assert entries(info.value) == ["lumabo.music.music.Music.seek"]


# -- destruction ------------------------------------------------------------


def raise_key_error():
    raise KeyError("in flight")


# The kept report resurrects the dying object through its traceback, and
# CPython 3.14 then keeps memory (a pure-Python class whose __del__ raises
# does the same), so the refleak hunt cannot judge this one.
@pytest.mark.no_refleak
def test_error_during_destruction_is_reported(monkeypatch, capsys):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)

    class S(Music):
        @property
        def valid(self):
            raise ValueError("from valid")

    # The temporary S dies while the KeyError unwinds.
    with pytest.raises(KeyError) as info:
        (S(), raise_key_error())
    assert info.value.args == ("in flight",)
    (report,) = reports
    assert report.object == "lumabo.music.music.Music.__dealloc__"
    assert type(report.exc_value) is ValueError and str(report.exc_value) == "from valid"
    # Printed with its traceback first, through the excepthook.
    err = capsys.readouterr().err
    assert "Traceback (most recent call last):" in err and "ValueError: from valid" in err


# Each case keeps a reference to a dying subclass instance past its
# destruction: on the exception the error report keeps (AttributeError.obj,
# the traceback's frame), or in the subclass's own `valid`. If destruction
# freed the object anyway, touching it later reads freed memory, which the
# debug allocator (PYTHONMALLOC=debug) has overwritten: a crash.
KEEPERS = {
    "AttributeError.obj": "raise AttributeError('valid', name='valid', obj=self)",
    "traceback frame": "raise ValueError('from valid')",
    "valid keeps self": "kept.append(self); return True",
}

DESTRUCTION = """
import gc, sys
from lumabo.music.music import Music

reports, kept = [], []
sys.unraisablehook = reports.append  # keeps the exceptions, as pytest's hook does

def dies():
    class S(Music):
        {del_method}
        @property
        def valid(self):
            {valid_body}
    s = S()
    s.volume = 0.25
    {make_garbage}

dies()
gc.collect()
junk = [Music() for _ in range(1000)]  # reuse freed memory
del junk
if kept:
    alive = kept[0]
else:
    exc = reports[0].exc_value
    if isinstance(exc, AttributeError) and exc.obj is not None:
        alive = exc.obj
    else:
        tb = exc.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        alive = tb.tb_frame.f_locals["self"]
print(type(alive).__name__, alive.volume, len(reports),
      reports[0].object if reports else None)
reports.clear(); kept.clear(); alive = exc = tb = None
gc.collect()
print("freed")
"""


@pytest.mark.parametrize("with_del", [False, True], ids=["finaliser", "subclass __del__"])
@pytest.mark.parametrize("keeper", KEEPERS)
def test_destruction_survives_kept_references(keeper, with_del):
    code = textwrap.dedent(DESTRUCTION).format(
        del_method="def __del__(self): pass" if with_del else "",
        valid_body=KEEPERS[keeper],
        make_garbage="del s",
    )
    proc = support.run_python(code, env=_debug_malloc())
    assert proc.returncode == 0, proc.stderr
    reported = "None" if keeper == "valid keeps self" else "lumabo.music.music.Music.__dealloc__"
    expected_reports = 0 if keeper == "valid keeps self" else 1
    assert proc.stdout.splitlines() == [f"S 0.25 {expected_reports} {reported}", "freed"]


@pytest.mark.parametrize("with_del", [False, True], ids=["finaliser", "subclass __del__"])
def test_destruction_when_class_dies_in_same_collection(with_del):
    # The instance and its class form one garbage cycle. The lookup of
    # `valid` runs before the collector clears the class, except when a
    # __del__ took the finaliser's place: then the lookup fails on the
    # cleared class and the AttributeError that is reported holds the object.
    code = textwrap.dedent(DESTRUCTION).format(
        del_method="def __del__(self): pass" if with_del else "",
        valid_body="return True",
        make_garbage="s.me = s; S.instance = s; del s",
    )
    code = code[: code.index("if kept:")] + textwrap.dedent("""
        for r in reports:
            obj = getattr(r.exc_value, "obj", None)
            print(type(r.exc_value).__name__, type(obj).__name__)
        reports.clear(); obj = r = None
        gc.collect()
        print("freed")
    """)
    proc = support.run_python(code, env=_debug_malloc())
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    if with_del:
        assert lines == ["AttributeError S", "freed"]
    else:
        assert lines == ["freed"]


def _debug_malloc() -> dict:
    return {**os.environ, "PYTHONMALLOC": "debug"}


def test_gc_traverses_stream():
    m = Music()
    w = AudioStream()
    m.stream = w
    assert gc.get_referents(m) == [w]

    class Holder(AudioStream):
        pass

    # A cycle through `stream` is found and collected.
    h = Holder()
    m.stream = h
    h.music = m
    gone = weakref.ref(h)
    del m, h
    gc.collect()
    assert gone() is None


# -- import of the sibling AudioStream --------------------------------------

SIBLING = "lumabo.audio_stream.audio_stream"

IMPORT = """
import json, sys, traceback, types, warnings
import lumabo.audio_stream.audio_stream as real
capsule = real.AudioStream.__dict__["__pyx_vtable__"]

def stand_in(size, vtable=True):
    body = {{"__slots__": tuple(f"s{{i}}" for i in range((size - 16) // 8))}}
    if vtable is True:
        body["__pyx_vtable__"] = capsule
    elif vtable is not None:
        body["__pyx_vtable__"] = vtable
    cls = type("AudioStream", (), body)
    assert cls.__basicsize__ == size
    return cls

def sibling(value):
    mod = types.ModuleType("{sibling}")
    mod.AudioStream = value
    return mod

sys.modules["{sibling}"] = {stand_in}
result = {{}}
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("{warnings}")
    try:
        import lumabo.music.music
    except BaseException as e:
        result["error"] = [type(e).__name__, str(e)]
        result["entries"] = [f.name for f in traceback.extract_tb(e.__traceback__)
                             if f.filename.startswith("src/lumabo/")]
result["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]

# Once the sibling is right, a failed import succeeds; either way Music
# then wraps its stream through the sibling's table.
if "error" in result:
    sys.modules["{sibling}"] = real
from lumabo.music.music import Music
result["stream"] = type(Music.load("missing.wav").stream) is real.AudioStream
print(json.dumps(result))
"""

SIZE_CHANGED = (
    "lumabo.audio_stream.audio_stream.AudioStream size changed, may indicate binary "
    "incompatibility. Expected 72 from C header, got {} from PyObject"
)


@pytest.mark.parametrize(
    "stand_in, error",
    [
        ("None", ["ModuleNotFoundError",
                  f"import of {SIBLING} halted; None in sys.modules"]),
        ("sibling(stand_in(64))", ["ValueError", SIZE_CHANGED.format(64)]),
        ("sibling(5)", ["TypeError", f"{SIBLING}.AudioStream is not a type object"]),
        ("types.ModuleType('x')", ["AttributeError", None]),
        ("sibling(stand_in(72, vtable=None))", ["KeyError", "'__pyx_vtable__'"]),
        ("sibling(stand_in(72, vtable=5))", ["ValueError", None]),
    ],
    ids=["missing", "size 64", "not a type", "no AudioStream", "no capsule", "not a capsule"],
)
def test_import_fails_for_wrong_sibling(stand_in, error):
    code = IMPORT.format(sibling=SIBLING, stand_in=stand_in, warnings="error")
    proc = support.run_python(code)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.splitlines()[-1])
    kind, message = error
    assert result["error"][0] == kind
    if message is not None:
        assert result["error"][1] == message
    assert result["entries"] == ["init lumabo.music.music"]
    assert result["stream"] is True


@pytest.mark.parametrize("as_error", [False, True])
def test_import_warns_for_larger_sibling(as_error):
    code = IMPORT.format(sibling=SIBLING, stand_in="sibling(stand_in(80))",
                         warnings="error" if as_error else "always")
    proc = support.run_python(code)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout.splitlines()[-1])
    if as_error:
        assert result["error"] == ["RuntimeWarning", SIZE_CHANGED.format(80)]
        assert result["entries"] == ["init lumabo.music.music"]
    else:
        assert "error" not in result
        assert result["warnings"] == [["RuntimeWarning", SIZE_CHANGED.format(80)]]
    assert result["stream"] is True
