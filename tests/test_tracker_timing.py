"""Tracker modules (XM, MOD) in time with other players.

Each module is made here: one instrument of a plain square wave, notes at
known rows, silence between them, so each note's onset is a row's start.
libopenmpt's player (openmpt123, rendering to a file) is the reference: raylib
must start each note on the same frame, give the song the same length and
report as played the frames the stream has delivered.

raylib's frames are taken as the stream delivers them to the mixer (a stream
processor written in C, TAP below, attached to the Music's stream in a child
process), on the silent null device at 48000 Hz and on a private PulseAudio
server's sink at 44100 Hz.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import pulse
import support

pytestmark = [
    pytest.mark.no_refleak,
    # numpy does the listening.
    pytest.mark.refleak_blocks_only,
]
np = pytest.importorskip("numpy")

needs_mended = pytest.mark.skipif(not support.raylib_mended(), reason="needs lumabo's mends of raylib")

# -- modules ----------------------------------------------------------------

XM_KEY_OFF = 97


def square_wave(period: int = 32, amplitude: int = 100) -> bytes:
    """One period of a signed 8-bit square wave, looped by the instrument."""
    return bytes((amplitude if i < period // 2 else -amplitude) & 0xFF for i in range(period))


def xm_file(patterns: list[dict[int, tuple]], order: list[int], rows: int = 16, speed: int = 6,
            bpm: int = 125, channels: int = 2) -> bytes:
    """An XM module as FastTracker 2 writes it, with one looped square-wave instrument.

    PATTERNS maps each row to (note, instrument, volume, effect, parameter)
    of the first channel, or to a list of those for the first channels; the
    other channels stay empty.
    """
    out = bytearray(b"Extended Module: " + b"lumabo timing".ljust(20) + b"\x1a" + b"FastTracker v2.00".ljust(20))
    out += struct.pack("<HIHHHHHHHH", 0x0104, 276, len(order), 0, channels, len(patterns), 1, 1, speed, bpm)
    out += bytes(order).ljust(256, b"\0")
    for pattern in patterns:
        data = bytearray()
        for row in range(rows):
            slots = pattern.get(row, [])
            slots = [slots] if isinstance(slots, tuple) else slots
            for slot in slots + [()] * (channels - len(slots)):
                data += bytes(slot) if slot else b"\x80"
        out += struct.pack("<IBHH", 9, 0, rows, len(data)) + data
    wave = square_wave()
    # Instrument header (263 bytes): one sample, no envelopes.
    out += struct.pack("<I22sBHI", 263, b"square", 0, 1, 40) + bytes(96 + 48 + 48 + 14 + 2 + 22)
    # Sample header: forward loop over the whole wave, full volume, centred.
    out += struct.pack("<IIIBbBBbB22s", len(wave), 0, len(wave), 64, 0, 1, 128, 0, 0, b"square")
    previous = 0
    for byte in wave:  # XM stores 8-bit samples as deltas
        value = byte - 256 if byte > 127 else byte
        out.append((value - previous) & 0xFF)
        previous = value
    return bytes(out)


def mod_file(patterns: list[dict[int, tuple]], order: list[int]) -> bytes:
    """A 4-channel ProTracker module (M.K.) with one looped square-wave sample.

    PATTERNS maps each row (of 64) to (sample, period, effect, parameter) of
    the first channel.
    """
    wave = square_wave()
    out = b"lumabo timing".ljust(20, b"\0")
    out += struct.pack(">22sHBBHH", b"square", len(wave) // 2, 0, 64, 0, len(wave) // 2)
    out += struct.pack(">22sHBBHH", b"", 0, 0, 0, 0, 1) * 30
    out += bytes([len(order), 127]) + bytes(order).ljust(128, b"\0") + b"M.K."
    for pattern in patterns:
        for row in range(64):
            if row in pattern:
                sample, period, effect, param = pattern[row]
                out += bytes([(sample & 0xF0) | (period >> 8), period & 0xFF, ((sample & 0x0F) << 4) | effect, param])
            else:
                out += bytes(4)
            out += bytes(4 * 3)
    return out + wave


C4, C5 = 49, 61  # XM notes
MOD_C2, MOD_C3 = 428, 214  # ProTracker periods

# name: (file suffix, module bytes); the notes start on rows 2 and 8 and on
# the second pattern's first row, and sound to the end of the song, so that a
# note left over from raylib's length scan would be heard at the start.
MODULES = {
    "xm": (".xm", xm_file(
        [{2: (C4, 1, 0, 0, 0), 5: (XM_KEY_OFF, 0, 0, 0, 0), 8: (C5, 1, 0, 0, 0), 11: (XM_KEY_OFF, 0, 0, 0, 0)},
         {0: (C4, 1, 0, 0, 0)}],
        [0, 1])),
    # The song sets its own speed and BPM on its first row, over the file's
    # defaults; its last row is played at the song's.
    "xm, tempo of its own": (".xm", xm_file(
        [{0: [(0, 0, 0, 0xF, 8), (0, 0, 0, 0xF, 100)], 1: (C4, 1, 0, 0, 0), 3: (XM_KEY_OFF, 0, 0, 0, 0)},
         {0: (C5, 1, 0, 0, 0)}],
        [0, 1], rows=8, speed=3, bpm=150)),
    # BPM 255 at one tick a row: 470.59 frames a tick at 48000 Hz, a length
    # that is not whole, over 192 rows: the last note starts 1.6 ms late when
    # the fraction is carried from tick to tick.
    "xm, fast ticks of a fractional length": (".xm", xm_file(
        [{0: (0, 0, 0, 0xF, 1), 8: (C4, 1, 0, 0, 0), 40: (XM_KEY_OFF, 0, 0, 0, 0)},
         {0: (C5, 1, 0, 0, 0)}],
        [0, 0, 1], rows=64, bpm=255)),
    "mod": (".mod", mod_file(
        [{4: (1, MOD_C2, 0, 0), 12: (1, MOD_C2, 0xC, 0)},
         {0: (1, MOD_C3, 0, 0), 8: (1, MOD_C3, 0xC, 0), 16: (1, MOD_C2, 0, 0)}],
        [0, 1])),
}


@pytest.fixture(scope="module")
def modules(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("modules")
    paths = {}
    for i, (name, (suffix, data)) in enumerate(MODULES.items()):
        paths[name] = folder / f"module{i}{suffix}"
        paths[name].write_bytes(data)
    return paths


# -- libopenmpt's rendering --------------------------------------------------


def _openmpt_env() -> dict[str, str]:
    env = dict(os.environ)
    # ./dev hides the ALSA library from raylib; openmpt123 is linked to it.
    alsa = os.environ.get("LUMABO_ALSA_LIBRARY")
    if alsa:
        env["LD_LIBRARY_PATH"] = os.pathsep.join(filter(None, [os.path.dirname(alsa), env.get("LD_LIBRARY_PATH")]))
    env.pop("LD_PRELOAD", None)
    return env


def openmpt(args: list[str]) -> str:
    if shutil.which("openmpt123") is None:
        pytest.skip("openmpt123 is not installed")
    done = subprocess.run(["openmpt123", *args], capture_output=True, text=True, env=_openmpt_env(), timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def openmpt_length(path: Path) -> float:
    """The song's length in seconds as libopenmpt gives it (to the millisecond)."""
    found = re.search(r"Duration\.*: (\d+):(\d+\.\d+)", openmpt(["--info", os.fspath(path)]))
    assert found, f"no duration for {path}"
    return int(found[1]) * 60 + float(found[2])


def openmpt_render(path: Path, rate: int) -> np.ndarray:
    """libopenmpt's frames of the song at RATE, float stereo."""
    out = path.with_name(f"{path.name}.{rate}.wav")
    openmpt(["--render", "--force", "--samplerate", str(rate), "--float", "--channels", "2", os.fspath(path)])
    os.replace(path.with_name(path.name + ".wav"), out)
    data = out.read_bytes()
    at = 12
    while at < len(data):  # the data chunk of a RIFF file
        chunk, size = data[at : at + 4], int.from_bytes(data[at + 4 : at + 8], "little")
        if chunk == b"data":
            return np.frombuffer(data[at + 8 : at + 8 + size], dtype="<f4").reshape(-1, 2)
        at += 8 + size + (size & 1)
    raise AssertionError(f"no data chunk in {out}")


# -- raylib's frames ---------------------------------------------------------

# A stream processor that keeps the frames the mixer reads from the stream.
# It runs on the audio thread under raylib's lock, so it is C, not a Python
# callback, which would wait for the interpreter's lock.
TAP = r"""
#include <string.h>

#define TAP_FRAMES (48000*30)

static float tapped[TAP_FRAMES*2];
static volatile unsigned int count;

__attribute__((visibility("default"))) void tap(void *buffer, unsigned int frames)
{
    unsigned int room = TAP_FRAMES - count;
    memcpy(tapped + 2*count, buffer, 2*sizeof(float)*((frames < room)? frames : room));
    count += (frames < room)? frames : room;
}

__attribute__((visibility("default"))) unsigned int tap_count(void) { return count; }
__attribute__((visibility("default"))) float *tap_frames(void) { return tapped; }
"""

# Seconds of the song played again after a stop.
AGAIN = 0.6

# Plays argv[1], looping, until a little more than the song has been
# delivered, then stops it and plays AGAIN seconds of it again, its frames
# tapped, and prints what it measured as JSON; the frames go to argv[3] as
# raw float stereo.
PLAYER = f"AGAIN = {AGAIN}\n" + r"""
import ctypes, json, sys, time
from lumabo import device
from lumabo.music.music import Music
import harness

path, tap_path, out = sys.argv[1:4]
# The copy of raylib lumabo's modules loaded (LD_LIBRARY_PATH may pick another
# than lumabo.libs), by its soname.
lib = ctypes.CDLL("libraylib.so.600")
tap = ctypes.CDLL(tap_path)
tap.tap_count.restype = ctypes.c_uint
tap.tap_frames.restype = ctypes.POINTER(ctypes.c_float)
lib.AttachAudioStreamProcessor.argtypes = [harness.AudioStream, ctypes.c_void_p]
lib.SetTraceLogLevel(device.LOG_WARNING)
lib.InitAudioDevice()
music = Music.load(path)
record = harness.Music.from_address(harness.record_address(music))
lib.AttachAudioStreamProcessor(record.stream, ctypes.cast(tap.tap, ctypes.c_void_p))
music.play()
# (frames delivered, time played) pairs while it plays, frames delivered read on
# both sides of time_played.
played = []
rate = int(sys.argv[4])
wanted = int((music.length + 0.5) * rate)
deadline = time.monotonic() + music.length + 10
while tap.tap_count() < wanted and time.monotonic() < deadline:
    music.update()
    before = tap.tap_count()
    seconds = music.time_played
    after = tap.tap_count()
    played.append((before, after, seconds))
    time.sleep(0.005)
# Stopped in the middle of a note and played again: the song starts over.
music.stop()
first = tap.tap_count()
music.play()
while tap.tap_count() < first + int(AGAIN * rate) and time.monotonic() < deadline:
    music.update()
    time.sleep(0.005)
frames = tap.tap_count()
with open(out, "wb") as f:
    f.write(ctypes.string_at(tap.tap_frames(), frames * 8))
print(json.dumps({"length": music.length, "played": played, "again": first}))
music.unload()
lib.CloseAudioDevice()
"""


@pytest.fixture(scope="module")
def tap_library(tmp_path_factory: pytest.TempPathFactory) -> Path:
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the stream processor")
    folder = tmp_path_factory.mktemp("tap")
    (folder / "tap.c").write_text(TAP)
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-fvisibility=hidden", "-o", folder / "libtap.so", folder / "tap.c"],
                   check=True)
    return folder / "libtap.so"


class Played:
    """What raylib delivered of one module: its frames, from the first, at the
    device's RATE, and after it was stopped and played again; the length it
    gave; (frames delivered before, after, time played) as it played."""

    def __init__(self, report: dict, frames: np.ndarray, rate: int) -> None:
        self.length = report["length"]
        self.played = report["played"]
        # Those of the song played again after a stop.
        self.again = frames[report["again"] :]
        frames = frames[: report["again"]]
        self.frames = frames
        self.rate = rate


@pytest.fixture(scope="module", params=["null device", "PulseAudio"])
def device_rate(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory):
    """(environment of the player, the device's sample rate)."""
    if request.param == "null device":
        # miniaudio's null backend runs at its default rate.
        env = dict(os.environ)
        env.pop("PULSE_SERVER", None)
        yield env, 48000
        return
    server = pulse.PulseServer(tmp_path_factory.mktemp("pulse"), rate=44100)
    try:
        server.start()
    except pulse.PulseUnavailable as e:
        pytest.skip(str(e))
    try:
        yield server.client_env(), server.rate
    finally:
        server.stop()


@pytest.fixture(scope="module")
def played(modules, tap_library, device_rate, tmp_path_factory) -> dict[str, Played]:
    env, rate = device_rate
    env = dict(env, PYTHONPATH=os.pathsep.join([os.fspath(support.REPO / "tools"), env.get("PYTHONPATH", "")]))
    folder = tmp_path_factory.mktemp("played")
    result = {}
    for name, path in modules.items():
        out = folder / (path.name + ".f32")
        done = subprocess.run([sys.executable, "-c", PLAYER, os.fspath(path), os.fspath(tap_library), os.fspath(out),
                               str(rate)],
                              capture_output=True, text=True, env=env, timeout=90, cwd=support.REPO)
        assert done.returncode == 0, done.stderr[-2000:]
        report = json.loads(done.stdout.strip().splitlines()[-1])
        frames = np.fromfile(out, dtype="<f4").reshape(-1, 2)
        result[name] = Played(report, frames, rate)
    return result


# -- listening ----------------------------------------------------------------


def onsets(frames: np.ndarray, rate: int, threshold: float = 0.02, gap: float = 0.01) -> list[float]:
    """Start of each stretch of sound, in seconds; stretches less than GAP apart
    are one, and a click shorter than a millisecond is none."""
    loud = np.flatnonzero(np.abs(frames).max(axis=1) > threshold)
    if len(loud) == 0:
        return []
    breaks = np.flatnonzero(np.diff(loud) > gap * rate)
    starts = np.concatenate([[loud[0]], loud[breaks + 1]])
    ends = np.concatenate([loud[breaks], [loud[-1]]])
    return [s / rate for s, e in zip(starts, ends) if e - s >= 0.001 * rate]


# -- tests ----------------------------------------------------------------------


@needs_mended
@pytest.mark.parametrize("name", MODULES)
def test_notes_start_where_libopenmpt_starts_them(played, modules, name) -> None:
    """Nothing sounds before the first note, and every note starts on libopenmpt's frame."""
    heard = played[name]
    # The song once: libopenmpt renders a tail past its end, raylib loops.
    song = openmpt_length(modules[name])
    reference = [t for t in onsets(openmpt_render(modules[name], heard.rate), heard.rate) if t < song]
    ours = [t for t in onsets(heard.frames, heard.rate) if t < song]
    assert len(reference) >= 2, reference
    # One millisecond: MOD's rows ran two frames long, 2.7 ms by the second pattern.
    assert ours == pytest.approx(reference, abs=0.001)
    # Played again after a stop, nothing sounds before the first note. (The
    # stream delivers silence from play() to the first update(), which may
    # put the note a little later; and the frame last played before the stop
    # comes once more, a click that is not counted.)
    again = onsets(heard.again, heard.rate)
    assert again and reference[0] - 0.001 <= again[0] <= reference[0] + 0.05, again


@needs_mended
@pytest.mark.parametrize("name", MODULES)
def test_length_is_libopenmpt_length(played, modules, name) -> None:
    heard = played[name]
    expected = openmpt_length(modules[name])
    # libopenmpt gives the length at 48000 Hz, to the millisecond below; at
    # 44100 Hz whole-sample ticks make 192 fast ones 0.8 ms longer.
    assert heard.length == pytest.approx(expected, abs=0.0025)


@needs_mended
@pytest.mark.parametrize("name", MODULES)
def test_time_played_is_what_was_delivered(played, name) -> None:
    heard = played[name]
    checked = 0
    for before, after, seconds in heard.played:
        start, end = before / heard.rate, after / heard.rate
        laps = start // heard.length
        if not 0.05 < start - laps * heard.length < heard.length - 0.05:
            continue  # the song loops about here
        # The mixer may read a period between the two counts.
        assert start - 0.002 <= seconds + laps * heard.length <= end + 0.002, (start, end, seconds)
        checked += 1
    assert checked > 20
