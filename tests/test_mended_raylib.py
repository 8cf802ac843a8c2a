"""What only the bundled raylib, with lumabo's patches (distrib/patches), mends.

No look at a file before raylib sees these: the data changes under a Music
that is already playing (a file truncated while it streams, a buffer the
program overwrites under a Music loaded from memory), or the file is good
and raylib's own stream gets its layout wrong (WAV music of 64-bit or 8-bit
samples). On Debian's raylib the first hang in Music.update(), whose refill
loop rewinds and rereads an empty decoder forever; the second overflow the
stream's buffer or play silence. Those tests are skipped there.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import json
import math
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import support

pytestmark = pytest.mark.no_refleak


def mended(*values: object, id: str) -> object:
    """A case that hangs, overflows or plays wrong on a raylib without
    lumabo's patches: skipped there."""
    skip = pytest.mark.skipif(not support.raylib_mended(), reason="needs the bundled raylib with lumabo's patches")
    return pytest.param(*values, id=id, marks=skip)

# Loads argv[3] into a Music (from the file, or from a bytearray of its
# bytes), plays it a moment, then truncates the file to argv[4] bytes or
# zeroes the bytearray, and keeps updating; then plays it again. Prints what
# it saw as one JSON line. A hang shows as the caller's timeout.
CHILD = """
import json, os, sys, time
from lumabo import device
from lumabo.music.music import Music

how, ext, path, keep = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
device.set_log_level(device.LOG_NONE)
device.open_audio()
if how == "file":
    music = Music.load(path)
else:
    with open(path, "rb") as f:
        data = bytearray(f.read())
    music = Music.load_from_memory(ext, data)
assert music.valid

def spin(seconds):
    # The longest single update() is what a hang would stretch.
    longest, end = 0.0, time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.monotonic()
        music.update()
        longest = max(longest, time.monotonic() - start)
        time.sleep(0.005)
    return longest

music.play()
spin(0.2)
if how == "file":
    os.truncate(path, keep)
else:
    data[:] = bytes(len(data))
longest = spin(0.6)
# A stopped Music's time stays at 0; a playing one's goes on as it mixes.
after = [music.time_played]
time.sleep(0.1)
after.append(music.time_played)
music.play()
longest = max(longest, spin(0.3))
print(json.dumps({"longest": longest, "after": after, "replayed": music.time_played, "length": music.length}))
music.unload()
device.close_audio()
"""


# -- files of the formats raylib streams ---------------------------------------

def _sndfile() -> ctypes.CDLL | None:
    name = ctypes.util.find_library("sndfile")
    return ctypes.CDLL(name) if name else None


class _SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


# libsndfile's major formats and their codecs.
SF_FORMATS = {".ogg": 0x200000 | 0x0060, ".mp3": 0x230000 | 0x0082}


def write_encoded(path: Path, seconds: float, rate: int = 44100) -> Path:
    """A sine tone encoded by libsndfile (Vorbis in Ogg, or MPEG layer III) as
    real encoders write them; skips the test where libsndfile is missing."""
    lib = _sndfile()
    if lib is None:
        pytest.skip("libsndfile is not installed")
    lib.sf_open.restype = ctypes.c_void_p
    lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(_SfInfo)]
    lib.sf_writef_short.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    lib.sf_writef_short.restype = ctypes.c_int64
    lib.sf_close.argtypes = [ctypes.c_void_p]
    info = _SfInfo(samplerate=rate, channels=1, format=SF_FORMATS[path.suffix])
    handle = lib.sf_open(os.fsencode(path), 0x20, ctypes.byref(info))  # SFM_WRITE
    if not handle:
        pytest.skip(f"libsndfile cannot write {path.suffix}")
    frames = round(seconds * rate)
    tone = (ctypes.c_short * frames)(*(int(16000 * math.sin(2 * math.pi * 440 * i / rate)) for i in range(frames)))
    assert lib.sf_writef_short(handle, tone, frames) == frames
    assert lib.sf_close(handle) == 0
    return path


def write_track(path: Path, seconds: float) -> Path:
    if path.suffix == ".wav":
        return support.write_wav(path, seconds)
    return write_encoded(path, seconds)


# (how the Music is loaded, extension, bytes the file keeps; whether it must
# have stopped, where the decoder has nothing left to read even from the start)
CHANGED = [
    mended("file", ".wav", 44, True, id="file.wav-cut44"),  # truncated to its header
    mended("file", ".wav", 0, True, id="file.wav-cut0"),
    mended("memory", ".mp3", None, True, id="memory.mp3-zeroed"),  # no frame header left
    mended("memory", ".ogg", None, True, id="memory.ogg-zeroed"),
    # The decoders keep what they buffered, or read zeroed samples as
    # silence: these play on, on any raylib.
    pytest.param("file", ".mp3", 0, None, id="file.mp3-cut0"),
    pytest.param("file", ".ogg", 0, None, id="file.ogg-cut0"),
    pytest.param("memory", ".wav", None, None, id="memory.wav-zeroed"),
]


@pytest.mark.parametrize("how, ext, keep, stops", CHANGED)
def test_data_changed_under_playing_music(tmp_path, how, ext, keep, stops):
    """update() returns when the data under a playing Music goes away; the
    Music stops there (or plays what is left) and a later play() ends too."""
    path = write_track(tmp_path / f"track{ext}", 3.0)
    try:
        done = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", CHILD, how, ext, os.fspath(path), str(keep or 0)],
            capture_output=True, text=True, timeout=20, cwd=support.REPO,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"Music.update() hung after the {how} under it changed")
    how_ended = f"signal {-done.returncode}" if done.returncode < 0 else f"exit {done.returncode}"
    assert done.returncode == 0, f"{how_ended}\n{done.stderr[-3000:]}"
    result = json.loads(done.stdout.splitlines()[-1])
    assert result["longest"] < 1.0, result
    for played in (*result["after"], result["replayed"]):
        assert 0.0 <= played <= result["length"], result
    if stops:
        assert result["after"] == [0.0, 0.0], result


# -- WAV music of every sample size ---------------------------------------------

def write_wav_samples(path: Path, seconds: float, *, tag: int, bits: int, rate: int = 44100,
                      freq: float = 440.0) -> Path:
    """A mono WAV of a sine at half of full scale: TAG 1 (PCM) or 3 (IEEE
    float), BITS per sample, in the layout real encoders write (extensible
    above 16 bits, as WAVE_FORMAT_EXTENSIBLE asks)."""
    frames = round(seconds * rate)
    width = bits // 8
    values = [0.5 * math.sin(2 * math.pi * freq * i / rate) for i in range(frames)]
    if tag == 3:
        data = struct.pack(f"<{frames}{'d' if bits == 64 else 'f'}", *values)
    elif bits == 8:
        data = bytes(128 + round(127 * v) for v in values)
    else:
        full = (1 << (bits - 1)) - 1
        data = b"".join(round(full * v).to_bytes(width, "little", signed=True) for v in values)
    fmt = struct.pack("<HHIIHH", tag, 1, rate, rate * width, width, bits)
    if bits > 16:
        guid = struct.pack("<H", tag) + bytes.fromhex("000000001000800000aa00389b71")
        fmt = struct.pack("<HHIIHHHHI", 0xFFFE, 1, rate, rate * width, width, bits, 22, bits, 0x4) + guid
    chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    path.write_bytes(b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks)
    return path


SAMPLES = [
    # (format tag, bits per sample): the sizes raylib's stream got wrong
    # (64 bits overflowed its buffer, 8 bits were never read), and a control.
    mended(3, 64, id="float64"),
    mended(1, 48, id="pcm48"),
    mended(1, 8, id="pcm8"),
    pytest.param(1, 24, id="pcm24"),
]


@pytest.mark.parametrize("how", ["music", "music from memory"])
@pytest.mark.parametrize("tag, bits", SAMPLES)
def test_wav_music_of_any_sample_size_is_heard(pulse_server, tmp_path, how, tag, bits):
    """A WAV track plays as the tone it holds whatever its sample size: its
    stream holds s16 or f32 frames, which raylib's refill loop reads."""
    pytest.importorskip("numpy")
    import pulse
    import test_heard

    seconds = 1.0
    path = write_wav_samples(tmp_path / "tone.wav", seconds, tag=tag, bits=bits)
    with pulse_server.record() as rec:
        test_heard.play(pulse_server, how, path)
    runs = pulse.sounding(rec.samples, rec.rate)
    assert len(runs) == 1, f"expected one stretch of sound, heard {runs}"
    start, end = runs[0]
    assert end - start == pytest.approx(seconds, rel=0.03)
    tone = rec.samples[int(start * rec.rate):int(end * rec.rate), 0]
    assert pulse.frequency(tone, rec.rate) == pytest.approx(440.0, rel=0.01)
    # A clean sine: its root mean square is its peak over the square root of
    # two, which samples read at the wrong size or stride are not.
    assert pulse.level(tone) == pytest.approx(float(abs(tone).max()) / math.sqrt(2), rel=0.03)


@pytest.mark.parametrize("tag, bits", SAMPLES)
def test_wav_music_stream_sample_size(audio_device, tmp_path, tag, bits):
    """The stream of a WAV track is of a sample size its refill loop reads."""
    from lumabo.music.music import Music

    path = write_wav_samples(tmp_path / "tone.wav", 0.5, tag=tag, bits=bits)
    music = Music.load(os.fspath(path))
    assert music.valid
    assert music.stream.sample_size == (16 if tag == 1 and bits <= 24 else 32)
    assert music.length == pytest.approx(0.5, abs=1e-3)


# -- what unloading a WAV track leaves ------------------------------------------

# Loads and unloads a WAV track (argv[2], from the file or from its bytes as
# argv[1] says) many times; prints how many bytes the C library's heap grew.
CYCLES = """
import ctypes, os, sys
from lumabo import device
from lumabo.music.music import Music

class Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                               "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

libc = ctypes.CDLL(None)
libc.mallinfo2.restype = Mallinfo2

def in_use():
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd

source, path = sys.argv[1], sys.argv[2]
with open(path, "rb") as f:
    data = f.read()

def cycle(count):
    for _ in range(count):
        music = Music.load(path) if source == "file" else Music.load_from_memory(".wav", data)
        assert music.valid
        music.unload()

device.set_log_level(device.LOG_NONE)
device.open_audio()
cycle(50)  # raylib's and Python's lasting allocations are made by now
before = in_use()
cycle(2000)
print(in_use() - before)
device.close_audio()
"""


@pytest.mark.parametrize("source", [mended("file", id="file"), mended("memory", id="memory")])
def test_wav_music_unload_frees_its_decoder(tmp_path, source):
    """Loading and unloading a WAV track many times leaves the heap as it was:
    raylib 6.0 kept each track's decoder context (about 400 bytes)."""
    if "ASAN_OPTIONS" in os.environ:
        pytest.skip("the sanitizer's allocator keeps its own heap, which mallinfo does not count")
    path = support.write_wav(tmp_path / "tone.wav", 0.05)
    # Without the call recorder, which keeps a record of every call.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(
        [sys.executable, "-c", CYCLES, source, os.fspath(path)],
        capture_output=True, text=True, timeout=60, env=env, cwd=support.REPO,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    grown = int(done.stdout.split()[-1])
    # A leak of 400 bytes a track would be 800 000.
    assert grown < 100_000, grown


# -- QOA music from memory --------------------------------------------------------

# Plays a QOA track shorter than one refill from memory, so that every
# refill reaches its end and loops, then seeks to its end and refills again.
QOA_LOOPS = """
import sys
from lumabo import device
from lumabo.music.music import Music

device.set_log_level(device.LOG_NONE)
device.open_audio()
with open(sys.argv[1], "rb") as f:
    music = Music.load_from_memory(".qoa", f.read())
assert music.valid
music.play()
for _ in range(20):
    music.update()
music.seek(music.length)
music.update()
music.unload()
device.close_audio()
"""


@pytest.mark.skipif(not support.raylib_mended(), reason="needs the bundled raylib with lumabo's patches")
@pytest.mark.parametrize("channels", [1, 2])
def test_qoa_music_from_memory_loops_within_its_data(tmp_path, channels):
    """A QOA track from memory reads nothing past its data at its loop and at
    a seek to its end: raylib 6.0 read the frame after the last one from past
    the end of its copy (any file). Watched by ASan in the sanitized build,
    else by valgrind."""
    path = support.write_qoa(tmp_path / "short.qoa", 0.05, channels=channels)
    command = [sys.executable, "-c", QOA_LOOPS, os.fspath(path)]
    env = dict(os.environ)
    if "libasan" not in env.get("LD_PRELOAD", ""):
        valgrind = shutil.which("valgrind")
        if valgrind is None:
            pytest.skip("neither valgrind nor the sanitized build")
        # The interpreter's own allocator would hide its blocks from valgrind.
        command = [valgrind, "-q", "--error-exitcode=99", "--leak-check=no", *command]
        env["PYTHONMALLOC"] = "malloc"
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, env=env, cwd=support.REPO)
    assert done.returncode == 0, done.stderr[-3000:]
