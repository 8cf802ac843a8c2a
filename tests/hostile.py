"""Hostile audio files, and a child-side runner that loads them.

The files are what a user's folder or an attacker may hand a game: an empty
recording, a header that promises data the file does not hold, a bad magic,
a truncated file, enormous declared sizes, a directory, random bytes. The
tests (test_hostile.py) and the fuzzing and torture runs take them from
write_files().

Run as a script, this loads one file many times in a fresh interpreter and
reports, as one JSON line, how many descriptors the process holds before and
after and how many loads and releases reached raylib:

    python tests/hostile.py CLASS PATH ACTION COUNT DEVICE

CLASS is Music or Sound, ACTION one of ACTIONS, DEVICE "open" or "closed".
A crash or a hang shows as the child's signal or the caller's timeout.
"""

from __future__ import annotations

import gc
import json
import os
import random
import struct
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import support  # noqa: E402


def _wav_header(data_size: int, *, rate: int = 22050, channels: int = 1, bits: int = 16,
                riff_size: int | None = None) -> bytes:
    block = channels * bits // 8
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * block, block, bits)
    if riff_size is None:
        riff_size = 4 + 8 + len(fmt) + 8 + data_size
    return (b"RIFF" + struct.pack("<I", riff_size) + b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
            + b"data" + struct.pack("<I", data_size))


def _aiff(frames: int, sound_bytes: bytes = b"", *, channels: int = 1, rate: int = 22050) -> bytes:
    """An AIFF whose COMM chunk declares FRAMES 16-bit frames; the SSND chunk
    holds SOUND_BYTES. dr_wav trusts the declared count."""
    # The sample rate as an 80-bit extended float.
    exponent = rate.bit_length() - 1
    mantissa = rate << (63 - exponent)
    rate80 = struct.pack(">HQ", 16383 + exponent, mantissa)
    comm = struct.pack(">hIh", channels, frames, 16) + rate80
    ssnd = struct.pack(">II", 0, 0) + sound_bytes
    body = b"AIFF" + b"COMM" + struct.pack(">I", len(comm)) + comm + b"SSND" + struct.pack(">I", len(ssnd)) + ssnd
    return b"FORM" + struct.pack(">I", len(body)) + body


def _qoa_frame(channels: int, samples: int, *, rate: int = 22050, size: int | None = None) -> bytes:
    """A QOA frame of SAMPLES silent-ish samples per channel; SIZE, when
    given, is the frame size its header declares."""
    body = bytes(16 * channels + 8 * -(-samples // 20) * channels)
    declared = 8 + len(body) if size is None else size
    return struct.pack(">Q", channels << 56 | rate << 32 | samples << 16 | declared) + body


def _qoa(samples: int, *frames: bytes) -> bytes:
    """A QOA file that declares SAMPLES samples per channel over FRAMES."""
    return b"qoaf" + struct.pack(">I", samples) + b"".join(frames)


# WAV shapes (RIFF, RF64, W64, AIFF) beyond the basic ones above, written
# by _put_wav_cases; the WAV files lumabo refuses before raylib sees them.
WAV_CASES: tuple[str, ...] = ()
REFUSED_WAV: set[tuple[str, str]] = set()


def _put_wav_cases(put) -> None:
    pass


# XM and MOD shapes, written by _put_tracker_cases; those lumabo refuses.
TRACKER_CASES: tuple[str, ...] = ()
REFUSED_TRACKER: set[tuple[str, str]] = set()


def _put_tracker_cases(put) -> None:
    pass


# Files that only a raylib with lumabo's mends (distrib/patches) reads to a
# clean end; with another raylib their tests are skipped, with the reason.
NEEDS_MENDED_RAYLIB: dict[tuple[str, str], str] = {}


CASES = (
    "empty_wav", "header_only_wav", "enormous_wav", "zero_rate_wav", "zero_channels_wav", "odd_bits_wav",
    "aiff_promise_wav", "aiff_short_wav", "long_qoa", "bad_magic_qoa", "truncated_qoa", "header_cut_qoa",
    "zero_samples_qoa", "enormous_qoa", "overfull_qoa", "cut_qoa", "empty_first_frame_qoa",
    "small_frame_qoa", "late_small_frame_qoa", "late_overfull_qoa", "many_channels_qoa", "cased_qoa",
    "random_wav", "random_qoa", "random_ogg",
    "random_mp3", "random_xm", "random_mod", "empty_file_ogg", "folder_wav", "folder_qoa",
) + WAV_CASES + TRACKER_CASES

# Good files among the hostile ones: they load, and play.
GOOD = ("long_qoa",)


# Files that crash or hang raylib itself for one class, whatever the wrapper
# does: the tests reproduce these; the fuzzing and torture corpora leave them
# out for that class.
RAYLIB_KILLS = {
    # An AIFF (read whatever its name) declares frames it does not hold;
    # UpdateMusicStream rereads the empty data forever.
    ("Music", "aiff_promise_wav"): "raylib's WAV refill loops forever on data that is not there",
}


# QOA files that lumabo refuses before raylib sees them (raylib would keep
# the file open, read or write past a buffer, or allocate what the file
# cannot hold): the loaders return an empty object and never call raylib.
# The name decides whether raylib reads a file as QOA: LoadMusicStream
# takes ".QoA" too, LoadSound only ".qoa" and ".QOA".
REFUSED_QOA = {
    (cls, name)
    for name in (
        "bad_magic_qoa", "truncated_qoa", "header_cut_qoa", "zero_samples_qoa", "enormous_qoa",
        "overfull_qoa", "cut_qoa", "empty_first_frame_qoa", "small_frame_qoa", "late_small_frame_qoa",
        "late_overfull_qoa", "many_channels_qoa", "cased_qoa", "random_qoa", "folder_qoa",
    )
    for cls in ("Music", "Sound")
    # A stream decodes one frame at a time into room for one.
    if (cls, name) not in {("Sound", "cased_qoa"), ("Music", "late_overfull_qoa")}
}

# Every file lumabo refuses before raylib sees it.
REFUSED = REFUSED_QOA | REFUSED_WAV | REFUSED_TRACKER


def corpus(files: dict[str, Path], class_name: str) -> list[str]:
    """The hostile files a long run may load into CLASS_NAME many times: those
    that do not kill raylib."""
    return [os.fspath(p) for name, p in files.items() if (class_name, name) not in RAYLIB_KILLS]


def reaching_raylib(files: dict[str, Path], class_name: str) -> list[str]:
    """The files of the long-run corpus that CLASS_NAME hands to raylib's
    loader: all but those it refuses."""
    return [
        os.fspath(p) for name, p in files.items()
        if (class_name, name) not in RAYLIB_KILLS and (class_name, name) not in REFUSED
    ]


def write_files(directory: str | os.PathLike[str]) -> dict[str, Path]:
    """Writes the hostile files into DIRECTORY; returns them by case name."""
    d = Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    files: dict[str, Path] = {}

    def put(name: str, data: bytes) -> None:
        path = d / name
        path.write_bytes(data)
        files[name.replace(".", "_")] = path

    files["empty_wav"] = support.write_wav(d / "empty.wav", 0)
    # The data chunk promises a second of samples; the file ends after the header.
    put("header_only.wav", _wav_header(44100))
    # RIFF and data sizes near 4 GiB over a few real frames.
    put("enormous.wav", _wav_header(0xFFFFFFF0, riff_size=0xFFFFFFF8) + bytes(64))
    put("zero_rate.wav", _wav_header(64, rate=0) + bytes(64))
    put("zero_channels.wav", _wav_header(64, channels=0) + bytes(64))
    put("odd_bits.wav", _wav_header(64, bits=12) + bytes(64))
    # An AIFF (dr_wav reads it whatever the name) that declares frames it does not hold.
    put("aiff_promise.wav", _aiff(1000))
    put("aiff_short.wav", _aiff(100_000, bytes(200)))

    # A good stereo QOA of five frames, the control.
    long = support.write_qoa(d / "long.qoa", 1.0, channels=2).read_bytes()
    files["long_qoa"] = d / "long.qoa"
    tone = support.write_qoa(d / "tone.qoa", 0.2)
    good = tone.read_bytes()
    tone.unlink()
    put("bad_magic.qoa", b"qoax" + good[4:])
    put("truncated.qoa", good[:24])
    put("header_cut.qoa", good[:10])
    put("zero_samples.qoa", good[:4] + bytes(4) + good[8:])
    put("enormous.qoa", good[:4] + b"\xff\xff\xff\xf0" + good[8:])
    # Declares 100 samples over a frame of 4410: LoadSound decodes the frame
    # into room for 100.
    put("overfull.qoa", good[:4] + struct.pack(">I", 100) + good[8:])
    # Cut after its first frame: the declared samples are not there.
    put("cut.qoa", long[: len(long) // 2])
    # A first frame of no samples: the player, rewinding to it, reads on.
    put("empty_first_frame.qoa", _qoa(100, _qoa_frame(1, 0), _qoa_frame(1, 100)))
    # A first frame whose declared size is below its own header: the
    # decoder takes up to 65535 samples from it, into room for 5120.
    put("small_frame.qoa", _qoa(65535, _qoa_frame(1, 65535, size=0)) + bytes(400))
    # The same past a good first frame: the player decodes past its buffer,
    # and so does the loader (past the file and the declared samples).
    put("late_small_frame.qoa", _qoa(5220, _qoa_frame(1, 5120), _qoa_frame(1, 65535, size=0)[:8] + bytes(56)))
    # A second full frame where 100 samples remain: LoadSound decodes all of it.
    put("late_overfull.qoa", _qoa(5220, _qoa_frame(1, 5120), _qoa_frame(1, 5120)))
    # Sixteen channels: raylib's decoder keeps state for eight.
    put("many_channels.qoa", _qoa(100, _qoa_frame(16, 100)))
    # A bad magic under a name only the music loader takes for QOA.
    (d / "cased.QoA").write_bytes(b"qoax" + good[4:])
    files["cased_qoa"] = d / "cased.QoA"

    rng = random.Random(13)
    for ext in ("wav", "qoa", "ogg", "mp3", "xm", "mod"):
        put(f"random.{ext}", rng.randbytes(4096))
    put("empty_file.ogg", b"")

    _put_wav_cases(put)
    _put_tracker_cases(put)

    for ext in ("wav", "qoa"):
        folder = d / f"folder.{ext}"
        folder.mkdir(exist_ok=True)
        files[f"folder_{ext}"] = folder
    assert sorted(files) == sorted(CASES)
    return {name: files[name] for name in CASES}


# -- the child side ---------------------------------------------------------------------

# Seconds the audio thread is given to mix a playing object.
MIXING = 0.1

ACTIONS = ("load", "unload", "play", "update", "seek", "read", "len", "all")


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def _exercise(obj: object, action: str) -> None:
    if action == "all":
        for each in ACTIONS[2:-1]:
            _exercise(obj, each)
    elif action == "unload":
        obj.unload()  # type: ignore[attr-defined]
    elif action == "play":
        obj.play()  # type: ignore[attr-defined]
    elif action == "update":
        obj.play()  # type: ignore[attr-defined]
        if hasattr(obj, "time_played"):
            for _ in range(3):
                obj.update()  # type: ignore[attr-defined]
    elif action == "seek" and hasattr(obj, "seek"):
        obj.play()  # type: ignore[attr-defined]
        obj.seek(0.1)  # type: ignore[attr-defined]
    elif action == "read":
        if hasattr(obj, "time_played"):
            (obj.valid, obj.length, obj.time_played)  # type: ignore[attr-defined]
        else:
            (obj.valid, obj.frame_count, obj.playing)  # type: ignore[attr-defined]
    elif action == "len" and hasattr(obj, "time_played"):
        len(obj)  # type: ignore[arg-type]


def run(class_name: str, path: str, action: str, count: int, device_open: bool) -> dict[str, object]:
    from lumabo import device

    device.set_log_level(device.LOG_NONE)
    if class_name == "Music":
        from lumabo.music.music import Music as cls
    else:
        from lumabo.sound.sound import Sound as cls
    recorder = support.Recorder() if support.Recorder.available() else None
    if device_open:
        device.open_audio()
    load = "LoadMusicStream" if class_name == "Music" else "LoadSound"
    unload = "UnloadMusicStream" if class_name == "Music" else "UnloadSound"
    # One round first: raylib's own lasting descriptors (the device's) are open then.
    for round_count in (1, count):
        if recorder:
            recorder.clear()
        before = open_descriptors()
        valid = []
        for i in range(round_count):
            obj = cls.load(path)
            valid.append(obj.valid)
            _exercise(obj, action)
            if device_open and i == 0:
                # raylib mixes on its own thread: the first object of a
                # round plays there a while, so a fault in mixing shows.
                time.sleep(MIXING)
            del obj
        gc.collect()
        after = open_descriptors()
    result: dict[str, object] = {
        "fd_before": before,
        "fd_after": after,
        "valid": any(valid),
        "loads": recorder.count(load) if recorder else None,
        "unloads": recorder.count(unload) if recorder else None,
        "returned": (
            sum(1 for c in recorder.calls if c.name == load and c.result) if recorder else None
        ),
    }
    if device_open:
        device.close_audio()
    return result


if __name__ == "__main__":
    name, file_path, what, n, dev = sys.argv[1:6]
    print(json.dumps(run(name, file_path, what, int(n), dev == "open")), flush=True)
