"""lumabo.audio_stream.audio_stream.AudioStream: streams made by code, and
the wrappers of the streams that a Music or a Sound plays."""

from __future__ import annotations

import array
import gc
import os

import pytest

import support
from lumabo.audio_stream.audio_stream import AudioStream
from lumabo.music.music import Music
from lumabo.sound.sound import Sound

RATE = 22050
WHERE = "lumabo.audio_stream.audio_stream.AudioStream"


class Sub(AudioStream):
    pass


@pytest.fixture
def stream(audio_device):
    s = AudioStream.create(RATE, 16, 2)
    yield s
    s.unload()


def created(recorder) -> int:
    """The buffer that raylib's LoadAudioStream returned last."""
    return [c.result for c in recorder.calls if c.name == "LoadAudioStream"][-1]


# -- making one ---------------------------------------------------------------------


@pytest.mark.parametrize("through", [AudioStream, Sub, AudioStream()])
def test_create_makes_an_owning_stream(audio_device, recorder, through):
    s = through.create(sample_rate=RATE, sample_size=32, channels=1)
    assert type(s) is AudioStream
    assert (s.valid, s.is_owner, s.sample_rate, s.sample_size, s.channels) == (True, True, RATE, 32, 1)
    assert (s.volume, s.pitch, s.pan) == (1.0, 1.0, 0.0)
    assert (s.playing, s.processed) == (False, True)
    # raylib sizes the stream for exactly one refill of buffer_frames, and
    # its default size is raylib's own again afterwards.
    names = recorder.names()
    assert names[:3] == ["SetAudioStreamBufferSizeDefault", "LoadAudioStream", "SetAudioStreamBufferSizeDefault"]
    calls = recorder.calls
    assert (calls[0].args, calls[1].args, calls[2].args) == ((s.buffer_frames,), (RATE, 32, 1), (0,))
    s.unload()


@pytest.mark.parametrize("rate, frames", [(8000, 2048), (44100, 4410), (48000, 4800), (384000, 38400)])
def test_buffer_frames_is_100_ms_and_no_less_than_2048(audio_device, rate, frames):
    s = AudioStream.create(rate, 16, 1)
    assert s.buffer_frames == frames
    s.unload()


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((0, 16, 1), ValueError, "sample_rate 0 is not between 1 and 384000"),
        ((384001, 16, 1), ValueError, "sample_rate 384001 is not between 1 and 384000"),
        ((-44100, 16, 1), ValueError, "sample_rate -44100 is not between 1 and 384000"),
        # Past raylib's unsigned int, it would wrap to a rate that plays.
        ((2**32 + 44100, 16, 1), ValueError, "sample_rate 4295011396 is not between 1 and 384000"),
        ((RATE, 24, 1), ValueError, "sample_size 24 is not 8, 16 or 32 (bits)"),
        ((RATE, 0, 1), ValueError, "sample_size 0 is not 8, 16 or 32 (bits)"),
        ((RATE, 16, 0), ValueError, "channels 0 is not 1 or 2"),
        ((RATE, 16, 6), ValueError, "channels 6 is not 1 or 2"),
        (("44100", 16, 1), TypeError, "an integer is required"),
        ((RATE, 16, 2**64), OverflowError, None),
    ],
)
def test_create_refuses_what_raylib_cannot_play(recorder, args, error, message):
    with pytest.raises(error) as caught:
        AudioStream.create(*args)
    if message:
        assert str(caught.value) == message
    assert support.entry_names(caught.value) == [f"{WHERE}.create"]
    assert recorder.calls == []


def test_without_an_audio_device_the_stream_is_invalid(recorder):
    # raylib cannot convert to a device that is not open: it loads nothing.
    code = (
        "from lumabo.audio_stream.audio_stream import AudioStream\n"
        "from lumabo import device\n"
        "device.set_log_level(device.LOG_NONE)\n"
        "s = AudioStream.create(22050, 16, 1)\n"
        "print(s.valid, s.processed, s.playing)\n"
        "s.play(); s.unload()\n"
    )
    done = support.run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["False", "False", "False"]


# -- playback and refills ---------------------------------------------------------------


def test_playback_reaches_raylib(recorder, stream):
    buffer = created(recorder)
    stream.play()
    assert stream.playing
    stream.pause()
    assert not stream.playing
    stream.resume()
    stream.stop()
    assert not stream.playing
    assert [(c.name, c.args[0]) for c in recorder.calls if c.name.endswith("AudioStream")][1:] == [
        ("PlayAudioStream", buffer),
        ("PauseAudioStream", buffer),
        ("ResumeAudioStream", buffer),
        ("StopAudioStream", buffer),
    ]


@pytest.mark.parametrize("make", [bytes, support.BytesSubclass, bytearray, lambda b: array.array("h", b)])
def test_update_hands_the_exporters_memory_to_raylib(recorder, stream, make):
    data = make(bytes(4 * stream.buffer_frames))
    buffer = created(recorder)
    stream.update(data, frame_count=stream.buffer_frames)
    assert recorder.args_of("UpdateAudioStream") == [(buffer, support.address(data), stream.buffer_frames)]


def test_two_refills_fill_the_stream_and_play_empties_it(stream):
    data = bytes(4 * stream.buffer_frames)
    stream.update(data, stream.buffer_frames)
    assert stream.processed
    stream.update(memoryview(data)[:4], 1)  # a short refill: raylib pads it
    assert not stream.processed
    with pytest.raises(RuntimeError) as caught:
        stream.update(data, stream.buffer_frames)
    assert str(caught.value) == "no buffer of the stream is free for more data: refill it when processed is True"
    # raylib starts a stream from empty buffers: refills come after play().
    stream.play()
    assert stream.processed


@pytest.mark.parametrize(
    "data, count, error, message",
    [
        (bytes(400), -1, ValueError, "frame_count -1 is negative"),
        (bytes(399), 100, ValueError, "frame_count 100 is more than the 99 frames the buffer holds (399 bytes, 4 bytes a frame)"),
        (bytes(4 * 2206), 2206, ValueError, "frame_count 2206 is more than the 2205 frames one refill holds"),
        (bytes(400), 2**31, OverflowError, "value too large to convert to int"),
        (bytes(400), "1", TypeError, "an integer is required"),
        ("abcd", 1, TypeError, None),
        (None, 1, TypeError, None),
        (memoryview(bytes(800))[::2], 1, BufferError, None),
    ],
)
def test_update_refuses(recorder, stream, data, count, error, message):
    with pytest.raises(error) as caught:
        stream.update(data, count)
    if message:
        assert str(caught.value) == message
    assert support.entry_names(caught.value) == [f"{WHERE}.update"]
    assert recorder.count("UpdateAudioStream") == 0


def test_update_of_an_owning_stream_made_in_c_leaves_the_refill_size_to_raylib(audio_device, capi, recorder):
    s = capi.audio_stream_make("cfrom_struct", (RATE, 8, 1), is_owner=1)
    assert s.is_owner and s.buffer_frames is None
    s.update(bytes(3000), 3000)
    assert recorder.args_of("UpdateAudioStream")[0][2] == 3000
    s.unload()


@pytest.mark.parametrize(
    "name, setter, value, stored",
    [
        ("volume", "SetAudioStreamVolume", 0.1, 0.10000000149011612),
        ("pitch", "SetAudioStreamPitch", 2, 2.0),
        ("pan", "SetAudioStreamPan", -1.0, -1.0),
    ],
)
def test_cached_float_is_single_precision_and_reaches_raylib(recorder, stream, name, setter, value, stored):
    buffer = created(recorder)
    setattr(stream, name, value)
    assert getattr(stream, name) == stored
    assert recorder.args_of(setter) == [(buffer, stored)]
    with pytest.raises(TypeError):
        setattr(stream, name, "loud")
    assert getattr(stream, name) == stored
    with pytest.raises(NotImplementedError, match="__del__"):
        delattr(stream, name)


# -- release ---------------------------------------------------------------------


@pytest.mark.parametrize("how", ["unload", "del", "both"])
def test_a_stream_is_released_once(audio_device, recorder, how):
    s = AudioStream.create(RATE, 16, 1)
    buffer = created(recorder)
    if how in ("unload", "both"):
        s.unload()
        s.unload()
    if how in ("del", "both"):
        del s
        gc.collect()
    assert recorder.args_of("UnloadAudioStream") == [(buffer,)]


def test_a_released_stream_reaches_raylib_no_more(stream, recorder):
    stream.unload()
    recorder.clear()
    for action in (stream.play, stream.pause, stream.resume, stream.stop):
        assert action() is None
    assert (stream.playing, stream.processed, stream.valid) == (False, False, False)
    stream.volume = 0.5
    assert stream.volume == 0.5
    with pytest.raises(ValueError, match="^the stream has been unloaded$"):
        stream.update(bytes(4), 1)
    assert recorder.calls == []


# -- wrappers ---------------------------------------------------------------------


def refusals(stream: AudioStream):
    """Every use of a stream that reaches raylib, and its name in the error."""
    return [
        ("play()", stream.play),
        ("pause()", stream.pause),
        ("resume()", stream.resume),
        ("stop()", stream.stop),
        ("update()", lambda: stream.update(bytes(8), 1)),
        ("playing", lambda: stream.playing),
        ("processed", lambda: stream.processed),
        ("volume", lambda: setattr(stream, "volume", 0.5)),
        ("pitch", lambda: setattr(stream, "pitch", 0.5)),
        ("pan", lambda: setattr(stream, "pan", 0.5)),
    ]


@pytest.mark.parametrize("owner", ["music", "sound", "none"])
@pytest.mark.parametrize("owner_released", [False, True])
def test_a_wrapper_refuses_to_reach_the_stream(audio_device, tmp_wav, recorder, owner, owner_released):
    path = os.fspath(tmp_wav(0.2))
    holder = {"music": Music.load, "sound": Sound.load, "none": lambda _: None}[owner](path)
    wrapper = holder.stream if holder is not None else AudioStream()
    if owner_released and holder is not None:
        holder.unload()
    recorder.clear()
    for name, use in refusals(wrapper):
        with pytest.raises(TypeError) as caught:
            use()
        assert str(caught.value) == (
            f"{name} needs an AudioStream that owns its stream (made by AudioStream.create); "
            "this one describes the stream of a Music or Sound, which controls it"
        )
    assert recorder.calls == []
    # Its description and the cache stay readable.
    assert (wrapper.is_owner, wrapper.buffer_frames, wrapper.volume) == (False, None, 1.0 if holder is not None else 0.0)
    wrapper.unload()
    assert recorder.calls == []
    if holder is not None:
        holder.unload()
