"""What the rows run on: the loaded track and sound, the cursor and its
window, the probe, the alternatives' views of the same records, and the
plain builtin objects of the floors. `prepare` makes them, `close` lets go."""

from __future__ import annotations

import ctypes
import os
import sys
import wave
from pathlib import Path
from types import SimpleNamespace

import harness
import natives
import rows as R
import with_cffi
import with_ctypes


class Environment(SimpleNamespace):
    """Everything the rows use; `ns` holds the names their statements see."""


def write_silence(path: Path, seconds: float, rate: int = 44100, channels: int = 2) -> Path:
    with wave.open(os.fspath(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(2 * channels * int(seconds * rate)))
    return path


def prepare(out: Path, native: Path | None, needs: set[str], window: bool) -> Environment:
    from lumabo import device

    out.mkdir(parents=True, exist_ok=True)
    device.set_log_level(device.LOG_WARNING)
    raylib = device.library_path()
    env = Environment(missing={}, xvfb=None, device=device, out=out)

    sys.path.insert(0, str(natives.build_native(out, native)))
    import lumabo_capi_test

    env.capi = lumabo_capi_test
    env.base = natives.build_baseline(out, raylib)
    ffi, cf = with_cffi.open_cffi(raylib)
    env.ffi = ffi
    data = {f"data_{suffix}": bytes(size) for suffix, size in R.UPDATE_SIZES}
    env.ns = dict(
        cf=cf, ffi=ffi, ct=with_ctypes.open_ctypes(raylib), p=lumabo_capi_test.ProbeHost(),
        i=1, f=1.0, z=1j, e="", b=b"", mv=memoryview(b""), lst=[],
        fn=write_silence, name="write_silence",
        **data,
    )

    if {"music", "sound", "stream"} & needs:
        device.open_audio()
    if "music" in needs:
        prepare_music(env)
    if "sound" in needs:
        prepare_sound(env)
    if "stream" in needs:
        prepare_stream(env)
    if "cursor" in needs:
        from lumabo.cursor.cursor import cursor

        env.c = env.ns["c"] = cursor
        if window:
            open_window(env)
    return env


def prepare_music(env: Environment) -> None:
    from lumabo.music.music import Music

    track = write_silence(env.out / "track.wav", 20)
    m = Music.load(str(track))
    if not m.valid:
        raise SystemExit(f"raylib could not load {track}")
    m.looping = True
    m.play()
    address = harness.record_address(m)
    tm = harness.Music.from_address(address)
    ct = env.ns["ct"]
    # The views must show the object's own record before anything is timed.
    if not (ct.IsMusicValid(tm) and ct.GetMusicTimeLength(tm) == m.length
            and tm.stream.sampleRate == m.stream.sample_rate
            and tm.stream.channels == m.stream.channels and tm.looping):
        raise SystemExit("the Music record is not where the benchmark expects it")
    env.m = m
    env.m_ptr = ctypes.c_void_p(address)
    env.ns.update(m=m, tm=tm, cm=env.ffi.cast("Music *", address)[0], empty_music=Music(), Music=Music,
                  track_bytes=write_silence(env.out / "short.wav", 0.1).read_bytes())


def prepare_sound(env: Environment) -> None:
    from lumabo.sound.sound import Sound

    s = Sound.load(str(write_silence(env.out / "sound.wav", 4)))
    if not s.valid:
        raise SystemExit("raylib could not load the benchmark's sound")
    address = harness.record_address(s)
    ts = harness.Sound.from_address(address)
    if not (ts.frameCount == s.frame_count and ts.stream.channels == s.stream.channels
            and ts.stream.sampleSize == s.stream.sample_size):
        raise SystemExit("the Sound record is not where the benchmark expects it")
    frame_bytes = s.stream.sample_size // 8 * s.stream.channels
    for suffix, size in R.UPDATE_SIZES:
        frames = size // frame_bytes
        if frames > s.frame_count:
            raise SystemExit(f"the benchmark's sound is too short for {size} bytes")
        env.ns[f"frames_{suffix}"] = frames
    env.s = s
    env.s_ptr = ctypes.c_void_p(address)
    env.empty_sound = Sound()
    env.ns.update(s=s, ts=ts, cs=env.ffi.cast("Sound *", address)[0])


def prepare_stream(env: Environment) -> None:
    from lumabo.audio_stream.audio_stream import AudioStream

    st = AudioStream.create(22050, 16, 2)
    if not st.valid:
        raise SystemExit("raylib could not make the benchmark's audio stream")
    address = harness.record_address(st)
    tst = with_ctypes.AudioStream.from_address(address)
    if not (tst.sampleRate == st.sample_rate and tst.channels == st.channels):
        raise SystemExit("the AudioStream record is not where the benchmark expects it")
    env.st = st
    env.st_ptr = ctypes.c_void_p(address)
    env.ns.update(st=st, tst=tst, cst=env.ffi.cast("AudioStream *", address)[0],
                  frames_refill=st.buffer_frames)


def open_window(env: Environment) -> None:
    if not os.environ.get("DISPLAY"):
        try:
            env.xvfb, os.environ["DISPLAY"] = harness.start_xvfb()
        except (FileNotFoundError, RuntimeError) as e:
            env.missing["window"] = f"no display: {e}"
            return
    try:
        env.device.open_window(320, 240, "lumabo bench")
    except RuntimeError as e:
        env.missing["window"] = str(e)


def close(env: Environment) -> None:
    for name in ("m", "s", "st"):
        obj = getattr(env, name, None)
        if obj is not None:
            obj.unload()
    env.device.close_window()
    env.device.close_audio()
    if env.xvfb is not None:
        harness.stop_process(env.xvfb)


def skip_reason(env: Environment, row) -> str | None:
    """Why ROW cannot run here (no window), or None."""
    if row.window and "window" in env.missing:
        return env.missing["window"]
    return None
