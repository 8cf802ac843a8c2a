"""What a listener hears: tones played through a real sound server, recorded.

Each case plays a generated tone in a child process whose audio device is a
private PulseAudio server's null sink (the ``pulse_server`` fixture), while
the sink's monitor is recorded; the recording must hold that tone, at its
frequency, for its length, with silence around it, on the channels its pan
asks for.
"""

from __future__ import annotations

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
pytest.importorskip("numpy")

# Plays argv[2] (a file) the way argv[1] says, then waits for the sound
# server to have played it out before the device closes.
PLAYER = """
import sys, time
from lumabo import device
from lumabo.music.music import Music
from lumabo.sound.sound import Sound

how, path = sys.argv[1], sys.argv[2]
device.set_log_level(device.LOG_WARNING)
with device.audio():
    print(device.audio_backend(), flush=True)
    if how == "music":
        music = Music.load(path)
        music.looping = False
        music.play()
        furthest, deadline = 0.0, time.monotonic() + music.length + 3
        while time.monotonic() < deadline:
            music.update()
            played = music.time_played
            if played == 0.0 and furthest > 0.0:
                break
            furthest = max(furthest, played)
            time.sleep(0.01)
        music.unload()
    else:
        sound = Sound.load(path)
        played = sound
        if how == "alias, panned left":
            played = Sound.load_alias(sound)
            played.pan = -1.0
        played.play()
        deadline = time.monotonic() + 5
        while played.playing and time.monotonic() < deadline:
            time.sleep(0.01)
        if played is not sound:
            played.unload()
        sound.unload()
    time.sleep(0.6)
"""

# (how it is played, tone frequency in Hz, seconds, channels that sound)
CASES = [
    ("music", 440.0, 2.0, "both"),
    ("sound", 660.0, 1.0, "both"),
    ("alias, panned left", 550.0, 1.0, "left"),
]


def play(server: pulse.PulseServer, how: str, path: Path) -> str:
    """Play PATH through SERVER in a child process; returns the backend it used."""
    # A quarter of a second queued at the server, where raylib would keep a
    # few hundredths: a player held up by a busy machine would leave a gap.
    env = server.client_env()
    env["PULSE_LATENCY_MSEC"] = "250"
    done = subprocess.run(
        [sys.executable, "-c", PLAYER, how, str(path)],
        env=env, capture_output=True, text=True, timeout=60, cwd=support.REPO,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout.strip()


@pytest.mark.parametrize(("how", "freq", "seconds", "channels"), CASES, ids=[c[0] for c in CASES])
def test_tone_is_heard(pulse_server: pulse.PulseServer, tmp_path: Path, how: str, freq: float,
                       seconds: float, channels: str) -> None:
    path = support.write_wav(tmp_path / "tone.wav", seconds, rate=44100, freq=freq)
    with pulse_server.record() as rec:
        backend = play(pulse_server, how, path)
    assert backend == "PulseAudio"
    samples, rate = rec.samples, rec.rate

    runs = pulse.sounding(samples, rate)
    assert len(runs) == 1, f"expected one stretch of sound, heard {runs}"
    start, end = runs[0]
    assert end - start == pytest.approx(seconds, rel=0.03)
    # Silence before and after: the stretch does not touch either end.
    assert start > 0.1 and rec.seconds - end > 0.1, (start, end, rec.seconds)

    tone = samples[int(start * rate) : int(end * rate)]
    left, right = tone[:, 0], tone[:, 1]
    assert pulse.frequency(left, rate) == pytest.approx(freq, rel=0.01)
    if channels == "left":
        assert pulse.level(right) < 0.01 * pulse.level(left)
    else:
        assert pulse.level(right) == pytest.approx(pulse.level(left), rel=0.05)
        assert pulse.frequency(right, rate) == pytest.approx(freq, rel=0.01)


def holders_of(path: Path) -> list[str]:
    """Command lines of the processes that name PATH in their arguments."""
    found = []
    for proc in Path("/proc").iterdir():
        try:
            args = (proc / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if any(str(path).encode() in a for a in args):
            found.append(b" ".join(args).decode(errors="replace"))
    return found


def test_server_leaves_nothing_behind(tmp_path: Path) -> None:
    server = pulse.PulseServer(tmp_path)
    try:
        server.start()
    except pulse.PulseUnavailable as e:
        pytest.skip(str(e))
    try:
        with server.record() as rec:
            assert len(holders_of(server.socket)) == 2  # the daemon and parec
    finally:
        server.stop()
    assert holders_of(server.socket) == []
    assert rec.seconds > 0 and pulse.sounding(rec.samples, rec.rate) == []
