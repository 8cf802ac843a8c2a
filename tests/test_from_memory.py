"""Music.load_from_memory and Sound.load_from_memory: encoded files handed
over as any object that exports a buffer."""

from __future__ import annotations

import array
import gc
import sys
import weakref

import pytest

import support
from lumabo.music.music import Music
from lumabo.sound.sound import Sound

SECONDS = 0.5
RATE = 22050


@pytest.fixture(scope="module")
def encoded(tmp_path_factory) -> dict[str, bytes]:
    """The same tone as the bytes of a .wav and of a .qoa file."""
    folder = tmp_path_factory.mktemp("memory")
    return {
        ".wav": support.write_wav(folder / "tone.wav", SECONDS, rate=RATE).read_bytes(),
        ".qoa": support.write_qoa(folder / "tone.qoa", SECONDS, rate=RATE).read_bytes(),
    }


def empty_wav() -> bytes:
    """A well-formed WAV file that holds no frames."""
    import io
    import wave

    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
    return out.getvalue()


class Sub(Music):
    pass


class Name(str):
    pass


# -- Music ---------------------------------------------------------------------------


@pytest.mark.parametrize("file_type, given", [(".wav", ".wav"), (".wav", ".WAV"), (".wav", ".Wav"), (".qoa", ".qoa")])
def test_music_decodes_the_callers_memory(audio_device, recorder, encoded, file_type, given):
    data = bytearray(encoded[file_type])
    m = Sub.load_from_memory(given, data=data)
    assert type(m) is Music and m.valid
    assert m.length == pytest.approx(SECONDS, abs=0.01)
    # raylib gets its own spelling of the type and the memory itself.
    ((name, args),) = [c for c in recorder.calls if c.name == "LoadMusicStreamFromMemory"]
    assert args[:3] == (file_type, support.address(data), len(data))
    m.unload()


def test_music_holds_the_data_until_it_releases_the_stream(audio_device, recorder, encoded):
    data = bytearray(encoded[".wav"])
    before = sys.getrefcount(data)
    m = Music.load_from_memory(".wav", data)
    assert sys.getrefcount(data) == before + 1
    with pytest.raises(BufferError):
        data.extend(b"more")  # raylib reads it as it plays
    m.play()
    m.update()
    m.unload()
    assert sys.getrefcount(data) == before
    data.extend(b"more")
    assert recorder.count("UnloadMusicStream") == 1


def test_music_lets_go_of_the_data_when_it_dies(audio_device, recorder, encoded):
    data = bytearray(encoded[".wav"])
    m = Music.load_from_memory(".wav", data)
    del m
    data.extend(b"more")
    assert recorder.count("UnloadMusicStream") == 1


def test_music_plays_on_after_the_caller_drops_its_bytes(audio_device, encoded):
    # The only reference to the data is the Music's own (bytes() of a bytes
    # object would be that very object, which the fixture keeps).
    m = Music.load_from_memory(".wav", bytes(bytearray(encoded[".wav"])))
    m.play()
    for _ in range(20):
        m.update()
    assert m.valid and m.time_played >= 0.0
    m.unload()


def test_music_held_in_a_cycle_through_its_data_is_collected(audio_device, recorder, encoded):
    class Data(bytearray):
        pass

    data = Data(encoded[".wav"])
    data.music = Music.load_from_memory(".wav", data)
    gone = weakref.ref(data)
    del data
    gc.collect()
    assert gone() is None
    assert recorder.count("UnloadMusicStream") == 1


def test_music_of_data_raylib_cannot_open_is_invalid_and_holds_nothing(audio_device, recorder):
    data = bytearray(b"RIFF\x10\x00\x00\x00WAVEjunkjunkjunk")
    m = Music.load_from_memory(".wav", data)
    assert (m.valid, m.length) == (False, 0.0)
    data.extend(b"more")  # nothing held
    m.unload()
    del m
    assert recorder.count("UnloadMusicStream") == 0


def test_music_of_data_without_frames_is_invalid_and_released_once(audio_device, recorder):
    # raylib opens it, decoder, stream and all, but it holds nothing to play:
    # held and released like any record raylib opened.
    data = bytearray(empty_wav())
    m = Music.load_from_memory(".wav", data)
    assert (m.valid, m.length) == (False, 0.0)
    m.play()
    m.update()
    m.unload()
    data.extend(b"more")
    del m
    assert recorder.count("UnloadMusicStream") == 1


# -- hostile QOA data --------------------------------------------------------------------


@pytest.fixture(scope="module")
def hostile_files(tmp_path_factory):
    import hostile

    return hostile.write_files(tmp_path_factory.mktemp("hostile"))


def loads_of(recorder) -> list[str]:
    return [n for n in recorder.names() if n in ("LoadMusicStreamFromMemory", "LoadWaveFromMemory")]


# raylib decodes QOA data from memory as it does a file's, past its buffers
# for these: refused before raylib sees them, as the files are.
@pytest.mark.parametrize("name", ["small_frame_qoa", "late_small_frame_qoa", "many_channels_qoa", "cut_qoa"])
@pytest.mark.parametrize("cls", [Music, Sound])
def test_hostile_qoa_data_never_reaches_raylib(audio_device, recorder, hostile_files, cls, name):
    obj = cls.load_from_memory(".qoa", hostile_files[name].read_bytes())
    assert not obj.valid
    assert loads_of(recorder) == []


def test_a_music_refuses_qoa_data_whose_last_frame_claims_more_than_is_left(audio_device, recorder):
    # From memory raylib hands every frame a full frame's bytes, whatever the
    # data holds: a last frame that claims them is decoded past the copy
    # raylib made. From a file, the short read stops it.
    import hostile

    full = len(hostile._qoa_frame(1, 5120))
    data = hostile._qoa(5220, hostile._qoa_frame(1, 5120), hostile._qoa_frame(1, 100, size=full))
    assert not Music.load_from_memory(".qoa", data).valid
    assert loads_of(recorder) == []


@pytest.mark.parametrize("cls", [Music, Sound])
def test_good_qoa_data_reaches_raylib(audio_device, recorder, hostile_files, cls):
    obj = cls.load_from_memory(".qoa", hostile_files["long_qoa"].read_bytes())
    assert obj.valid
    assert len(loads_of(recorder)) == 1
    obj.unload()


# -- refusals, the same for both classes ---------------------------------------------------


MUSIC_TYPES = ".wav, .ogg, .mp3, .qoa, .xm, .mod"
SOUND_TYPES = ".wav, .ogg, .mp3, .qoa"


@pytest.mark.parametrize(
    "file_type, data, error, message",
    [
        (b".wav", b"RIFF", TypeError, "Argument 'file_type' has incorrect type (expected str, got bytes)"),
        (None, b"RIFF", TypeError, "Argument 'file_type' has incorrect type (expected str, got NoneType)"),
        (Name(".wav"), b"RIFF", TypeError, "Argument 'file_type' has incorrect type (expected str, got Name)"),
        ("", b"RIFF", ValueError, "file_type is empty: give the extension of the data's format, one of {types}"),
        (".flac", b"RIFF", ValueError, "file_type '.flac' is not a format raylib decodes for {what} (one of {types})"),
        ("wav", b"RIFF", ValueError, "file_type 'wav' is not a format raylib decodes for {what} (one of {types})"),
        (".wav\0", b"RIFF", ValueError, "file_type '.wav\\x00' is not a format raylib decodes for {what} (one of {types})"),
        (".wav", b"", ValueError, "data is empty: it must hold the whole encoded file"),
        (".wav", bytearray(), ValueError, "data is empty: it must hold the whole encoded file"),
        (".wav", "RIFF", TypeError, None),
        (".wav", None, TypeError, None),
        (".wav", memoryview(b"RIFFRIFF")[::2], BufferError, None),
    ],
)
@pytest.mark.parametrize("cls, what, types", [(Music, "music", MUSIC_TYPES), (Sound, "sounds", SOUND_TYPES)])
def test_bad_input_is_refused_before_raylib_sees_it(recorder, cls, what, types, file_type, data, error, message):
    with pytest.raises(error) as caught:
        cls.load_from_memory(file_type, data)
    if message:
        assert str(caught.value) == message.format(what=what, types=types)
    # A type the binding refuses carries no entry; None, refused by the
    # body, and every other refusal carry the method's.
    quiet = error is TypeError and message and file_type is not None
    where = [] if quiet else [f"lumabo.{what.rstrip('s')}.{what.rstrip('s')}.{cls.__name__}.load_from_memory"]
    assert support.entry_names(caught.value) == where
    assert recorder.calls == []


def test_a_sound_refuses_the_music_only_formats(recorder):
    with pytest.raises(ValueError, match="'.xm' is not a format raylib decodes for sounds"):
        Sound.load_from_memory(".xm", b"Extended Module: ")
    assert recorder.calls == []


# -- Sound -------------------------------------------------------------------------------


@pytest.mark.parametrize("file_type", [".wav", ".qoa"])
@pytest.mark.parametrize("make", [bytes, bytearray, lambda b: array.array("B", b)])
def test_sound_decodes_and_keeps_nothing(audio_device, recorder, encoded, file_type, make):
    data = make(encoded[file_type])
    before = sys.getrefcount(data)
    s = Sound.load_from_memory(file_type.upper(), data)
    assert type(s) is Sound and s.valid and not s.is_alias
    assert s.frame_count > 0
    assert sys.getrefcount(data) == before
    assert recorder.names()[:3] == ["LoadWaveFromMemory", "LoadSoundFromWave", "UnloadWave"]
    start = data.buffer_info()[0] if isinstance(data, array.array) else support.address(data)
    assert recorder.calls[0].args[:3] == (file_type, start, len(encoded[file_type]))
    buffer = recorder.calls[1].result
    s.unload()
    assert recorder.args_of("UnloadSound") == [(buffer,)]


@pytest.mark.parametrize("data", [b"RIFF\x10\x00\x00\x00WAVEjunkjunkjunk", empty_wav()])
def test_sound_of_data_that_decodes_to_nothing_holds_nothing(audio_device, recorder, data):
    s = Sound.load_from_memory(".wav", data)
    assert (s.valid, s.frame_count) == (False, 0)
    assert "LoadSoundFromWave" not in recorder.names()
    del s
    assert recorder.count("UnloadSound") == 0
