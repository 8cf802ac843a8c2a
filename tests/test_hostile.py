"""Hostile files with the real raylib: no crash, no hang, no leaked descriptor.

Each case loads one file of hostile.py many times in a child interpreter
with a timeout, plays, refills, seeks and reads every object, unloads half
of them and drops the rest: the child must end cleanly, hold no more file
descriptors than before, and (with the call recorder) release every record
raylib handed back exactly once. The audio device is open, or closed.
"""

from __future__ import annotations

import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import hostile
import support

SCRIPT = Path(hostile.__file__)
LOADS = 20

# Faults inside raylib that no wrapper can reach: each is reproduced here so
# that a raylib that mends it shows (the strict xfail then fails). The
# bundled raylib's patches mend them.
RAYLIB_FAULTS = {} if support.raylib_mended() else hostile.RAYLIB_KILLS


# Faults met only in playback, which a stream without a buffer (the device
# closed) never reaches.
NEEDS_PLAYBACK: set[tuple[str, str]] = set()


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    return hostile.write_files(tmp_path_factory.mktemp("hostile"))


def run_child(cls: str, path: Path, device: str, timeout: float = 60, env: dict | None = None) -> dict:
    try:
        done = subprocess.run(
            [sys.executable, "-X", "faulthandler", os.fspath(SCRIPT), cls, os.fspath(path), "all", str(LOADS), device],
            capture_output=True, text=True, timeout=timeout, cwd=support.REPO, env=env,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"{cls}.load({path.name}) hung (device {device})")
    how = f"signal {-done.returncode}" if done.returncode < 0 else f"exit {done.returncode}"
    assert done.returncode == 0, f"{how}\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.splitlines()[-1])


def _marks(cls: str, name: str, device: str) -> list:
    if (cls, name) in RAYLIB_FAULTS and not (device == "closed" and (cls, name) in NEEDS_PLAYBACK):
        return [pytest.mark.xfail(strict=True, reason=RAYLIB_FAULTS[cls, name])]
    if (cls, name) in hostile.NEEDS_MENDED_RAYLIB and not support.raylib_mended():
        return [pytest.mark.skip(reason=hostile.NEEDS_MENDED_RAYLIB[cls, name])]
    return []


CASES = [
    pytest.param(cls, name, device, marks=_marks(cls, name, device), id=f"{cls}-{name}-{device}")
    for cls in ("Music", "Sound")
    for name in ["tone_wav", *hostile.CASES]
    for device in ("open", "closed")
]


@pytest.mark.no_refleak
@pytest.mark.parametrize("cls, name, device", CASES)
def test_hostile_file(files, tmp_path, cls, name, device):
    path = files[name] if name != "tone_wav" else support.write_wav(tmp_path / "tone.wav", 0.2)
    env = None
    if (cls, name) in RAYLIB_FAULTS and "ASAN_OPTIONS" in os.environ:
        # A sanitizer's report of raylib's own fault, expected here, goes
        # beside the test rather than among the findings of the run.
        options = [o for o in os.environ["ASAN_OPTIONS"].split(":") if not o.startswith("log_path=")]
        env = dict(os.environ, ASAN_OPTIONS=":".join([*options, f"log_path={tmp_path / 'asan'}"]))
    # A hang shows in seconds: these files are tiny.
    result = run_child(cls, path, device, timeout=20, env=env)
    assert result["fd_after"] == result["fd_before"], result
    if result["loads"] is not None:
        # A file raylib cannot read safely never reaches it.
        assert result["loads"] == (0 if (cls, name) in hostile.REFUSED else LOADS), result
        if result["returned"]:
            # Every record with a stream buffer is released, and once.
            assert result["unloads"] == result["returned"], result
        assert result["unloads"] in (0, LOADS), result
    if (cls, name) in hostile.REFUSED:
        assert result["valid"] is False
    if name == "tone_wav" or name in hostile.GOOD:
        # The controls: good files, and their decoders released with the device closed too.
        assert result["valid"] is (device == "open")
        if result["loads"] is not None and cls == "Music":
            assert result["unloads"] == LOADS


@pytest.mark.usefixtures("audio_device")
@pytest.mark.parametrize(
    "frames, channels, suffix",
    [(1, 1, ".qoa"), (19, 2, ".qoa"), (5120, 1, ".QOA"), (5121, 2, ".qoa"), (10240, 8, ".qoa"), (22050, 3, ".qoa")],
)
def test_good_qoa_reaches_raylib(tmp_path, frames, channels, suffix):
    """Every file raylib's own encoder writes passes the look before raylib:
    lengths at slice and frame boundaries, one to eight channels."""
    from lumabo.music.music import Music
    from lumabo.sound.sound import Sound

    path = support.write_qoa(tmp_path / f"good{suffix}", frames / 48000, rate=48000, channels=channels)
    sound = Sound.load(str(path))
    # Decoded whole, then converted to the device's rate.
    assert sound.valid
    assert sound.frame_count == pytest.approx(frames * sound.stream.sample_rate / 48000, abs=1)
    music = Music.load(str(path))
    assert (music.valid, music.stream.channels) == (True, channels)
    assert music.length == pytest.approx(frames / 48000)


@pytest.mark.usefixtures("audio_device")
@pytest.mark.parametrize("name", sorted(hostile.good_wavs()))
def test_good_wav_reaches_raylib(recorder, tmp_path, name):
    """Every container and codec dr_wav reads, as encoders write them, passes
    the look before raylib, from a file and from memory, and plays: only
    samples wider than a stream's 32-bit buffer are kept from a Music, where
    raylib (without lumabo's mends) would copy them past it."""
    from lumabo.music.music import Music
    from lumabo.sound.sound import Sound

    data = hostile.good_wavs()[name]
    path = tmp_path / f"{name}.wav"
    path.write_bytes(data)
    streams = name != "float64" or support.raylib_mended()
    for music in (Music.load(str(path)), Music.load_from_memory(".wav", data)):
        assert music.valid is streams
        music.play()
        for _ in range(3):
            music.update()
        music.unload()
    for sound in (Sound.load(str(path)), Sound.load_from_memory(".wav", data)):
        assert sound.valid and sound.frame_count > 0
    assert recorder.count("LoadMusicStream") + recorder.count("LoadMusicStreamFromMemory") == (2 if streams else 0)
    assert recorder.count("LoadSound") + recorder.count("LoadWaveFromMemory") == 2


# Loads each hostile WAV from memory, as both classes, plays and refills it;
# prints which of raylib's loaders each reached (with the call recorder).
FROM_MEMORY = """
import json, sys
sys.path.insert(0, "tests")
import hostile, support
from lumabo import device
from lumabo.music.music import Music
from lumabo.sound.sound import Sound

device.set_log_level(device.LOG_NONE)
device.open_audio()
recorder = support.Recorder() if support.Recorder.available() else None
reached = {}
for name, (data, classes) in hostile.hostile_wavs().items():
    if recorder:
        recorder.clear()
    music = Music.load_from_memory(".wav", data)
    music.play()
    for _ in range(3):
        music.update()
    sound = Sound.load_from_memory(".wav", bytearray(data))
    sound.play()
    if recorder:
        reached[name] = [recorder.count("LoadMusicStreamFromMemory"), recorder.count("LoadWaveFromMemory")]
    assert not music.valid or "Music" not in classes or name in hostile.ON_DISK_ONLY_WAV, name
    assert not sound.valid or "Sound" not in classes, name
    del music, sound
print(json.dumps(reached))
"""


def test_hostile_wav_from_memory():
    """The hostile WAV shapes handed over as bytes end as cleanly as from a
    file, and what a class refuses from a file never reaches raylib from
    memory either (but for the walk that only a file on disk sends astray)."""
    try:
        done = subprocess.run([sys.executable, "-X", "faulthandler", "-c", FROM_MEMORY],
                              capture_output=True, text=True, timeout=60, cwd=support.REPO)
    except subprocess.TimeoutExpired:
        pytest.fail("a hostile WAV from memory hung")
    assert done.returncode == 0, done.stderr[-3000:]
    reached = json.loads(done.stdout.splitlines()[-1])
    if not reached:
        return  # no call recorder: the clean end is what shows
    expected = {
        name: [int("Music" not in classes or name in hostile.ON_DISK_ONLY_WAV), int("Sound" not in classes)]
        for name, (_, classes) in hostile.hostile_wavs().items()
    }
    assert reached == expected


def test_wav_data_past_2_gib_is_refused_for_a_stream(tmp_path):
    """A stream rewinds to the first frame by an int offset: a (sparse) file
    whose data starts past 2 GiB would refill from nothing at its first loop,
    forever. A sound reads the file whole, which raylib refuses at that size."""
    path = tmp_path / "far.wav"
    junk = 1 << 31
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + hostile._chunk(b"fmt ", hostile._fmt(1, 1, 22050, 16))
                + b"junk" + struct.pack("<I", junk))
        f.seek(junk, os.SEEK_CUR)
        f.write(hostile._chunk(b"data", hostile._tone(200)))
    result = run_child("Music", path, "open", timeout=20)
    assert result["valid"] is False
    assert result["loads"] in (None, 0), result
