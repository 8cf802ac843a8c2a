"""What a listener hears of audio computed by code: the melody that
examples/synth.py refills note by note, played through a private PulseAudio
server's null sink (the ``pulse_server`` fixture) and recorded from its
monitor. (A Music decoded from memory is heard in test_heard.py.)"""

from __future__ import annotations

import importlib.util
import subprocess
import sys

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
