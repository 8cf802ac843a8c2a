"""What a listener hears of audio from code and from memory: a melody that
examples/synth.py computes and refills, and a Music decoded from bytes that
its caller dropped, each played through a private PulseAudio server's null
sink (the ``pulse_server`` fixture) and recorded from its monitor."""

from __future__ import annotations

import importlib.util
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

SYNTH = support.REPO / "examples" / "synth.py"


def synth_module():
    spec = importlib.util.spec_from_file_location("synth", SYNTH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run(server: pulse.PulseServer, *argv: str) -> str:
    done = subprocess.run(
        [sys.executable, *argv], env=server.client_env(), capture_output=True, text=True, timeout=60,
        cwd=support.REPO,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.mark.parametrize("how", ["numpy", "--array"])
def test_the_synth_plays_its_melody_without_gaps(pulse_server: pulse.PulseServer, how: str) -> None:
    synth = synth_module()
    with pulse_server.record() as rec:
        out = run(pulse_server, str(SYNTH), *([how] if how != "numpy" else []))
    assert out.startswith(f"played {len(synth.MELODY)} notes")
    samples, rate = rec.samples, rec.rate
    buffer = 0.1  # one refill, in seconds

    # One stretch of sound: no silent hole as long as a refill. (A program
    # that the machine keeps from running for longer than a refill leaves
    # raylib nothing to play for a moment: a scheduler's gap, not a hole in
    # the stream.)
    runs = pulse.sounding(samples, rate, bridge=buffer)
    assert len(runs) == 1, f"holes in the melody: {runs}"
    start, end = runs[0]
    total = sum(seconds for _, seconds in synth.MELODY)
    assert end - start == pytest.approx(total, abs=buffer)

    # Each note at its frequency, where the melody puts it (the middle of
    # each note, clear of its neighbours).
    at = start
    left = samples[:, 0]
    for freq, seconds in synth.MELODY:
        middle = left[int((at + 0.25 * seconds) * rate) : int((at + 0.75 * seconds) * rate)]
        assert pulse.frequency(middle, rate) == pytest.approx(freq, rel=0.01), (freq, at)
        at += seconds


# Plays a WAV file's bytes as a Music whose data only the Music holds.
FROM_MEMORY = """
import sys, time
from lumabo import device
from lumabo.music.music import Music

device.set_log_level(device.LOG_WARNING)
with device.audio():
    with open(sys.argv[1], "rb") as f:
        music = Music.load_from_memory(".wav", f.read())
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
    time.sleep(0.4)
"""


def test_music_from_memory_is_heard(pulse_server: pulse.PulseServer, tmp_path: Path) -> None:
    freq, seconds = 587.33, 1.5
    path = support.write_wav(tmp_path / "tone.wav", seconds, rate=44100, freq=freq)
    with pulse_server.record() as rec:
        run(pulse_server, "-c", FROM_MEMORY, str(path))
    samples, rate = rec.samples, rec.rate
    runs = pulse.sounding(samples, rate)
    assert len(runs) == 1, runs
    start, end = runs[0]
    assert end - start == pytest.approx(seconds, rel=0.03)
    assert pulse.frequency(samples[int(start * rate) : int(end * rate), 0], rate) == pytest.approx(freq, rel=0.01)
