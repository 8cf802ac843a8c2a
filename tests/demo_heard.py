"""The inside half of tests/demo_heard.sh: a sound server to play the demo
into, and the check of what it heard.

    python tests/demo_heard.py serve DIR   # server at DIR/pulse/native, recording
                                           # DIR/monitor.raw; DIR/ready once it is
                                           # up, stops when DIR/stop appears
    python tests/demo_heard.py check DIR   # exit status 0 if DIR/monitor.raw
                                           # holds the demo's generated track
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Any

import pulse

# What examples/play.py plays without a track: four chords of 0.6 s (both
# channels), a 0.4 s beep of 880 Hz (both channels), then the beep's alias
# at half pitch, panned left: 440 Hz for 0.8 s on the left channel only.
CHORDS = [[261.6, 329.6, 392.0], [220.0, 261.6, 329.6], [174.6, 220.0, 261.6], [196.0, 246.9, 293.7]]
CHORD_SECONDS = 0.6


def serve(folder: Path) -> None:
    server = pulse.PulseServer(folder / "daemon", socket=folder / "pulse" / "native")
    with server, server.record(folder / "monitor.raw"):
        (folder / "ready").touch()
        deadline = time.monotonic() + 600
        while not (folder / "stop").exists() and time.monotonic() < deadline:
            time.sleep(0.1)


def check(folder: Path) -> list[str]:
    """What the recording lacks of the demo's track; empty if it is all there."""
    rec = pulse.Recording(folder / "monitor.raw", 44100, 2)
    samples, rate = rec.samples, rec.rate
    runs = pulse.sounding(samples, rate)
    print(f"recorded {rec.seconds:.2f} s; sound at " + ", ".join(f"{a:.2f}-{b:.2f} s" for a, b in runs))
    if len(runs) != 3:
        return [f"expected three stretches of sound (track, sound, alias), heard {len(runs)}"]
    faults = []

    def part(run: tuple[float, float]) -> Any:
        return samples[int(run[0] * rate) : int(run[1] * rate)]

    def expect(what: str, ok: bool, seen: object) -> None:
        print(f"  {'ok ' if ok else 'BAD'} {what}: {seen}")
        if not ok:
            faults.append(f"{what}: {seen}")

    (track_start, track_end), beep, alias = runs
    expect("track length 2.4 s", abs(track_end - track_start - 2.4) < 0.07, f"{track_end - track_start:.3f} s")
    for i, chord in enumerate(CHORDS):
        # The middle of each chord, clear of the changes.
        a = track_start + i * CHORD_SECONDS + 0.05
        heard = sorted(pulse.peaks(part((a, a + CHORD_SECONDS - 0.1)).mean(axis=1), rate, 3))
        ok = all(abs(h - f) < 0.015 * f for h, f in zip(heard, chord))
        expect(f"chord {i + 1} {chord} Hz", ok, [round(h, 1) for h in heard])
    for name, run, freq, seconds, left_only in (("sound", beep, 880.0, 0.4, False),
                                                ("alias", alias, 440.0, 0.8, True)):
        tone = part(run)
        left, right = tone[:, 0], tone[:, 1]
        expect(f"{name} length {seconds} s", abs(run[1] - run[0] - seconds) < 0.04 * seconds + 0.02,
               f"{run[1] - run[0]:.3f} s")
        pitch = pulse.frequency(left, rate)
        expect(f"{name} at {freq} Hz", abs(pitch - freq) < 0.01 * freq, f"{pitch:.1f} Hz")
        ratio = pulse.level(right) / pulse.level(left)
        if left_only:
            expect(f"{name} on the left only", ratio < 0.01, f"right/left level {ratio:.3f}")
        else:
            expect(f"{name} on both channels", abs(ratio - 1) < 0.05, f"right/left level {ratio:.3f}")
    return faults


def main(argv: list[str]) -> int:
    if len(argv) != 3 or argv[1] not in ("serve", "check"):
        print(__doc__, file=sys.stderr)
        return 2
    folder = Path(argv[2])
    if argv[1] == "serve":
        serve(folder)
        return 0
    faults = check(folder)
    print("the demo's track was heard" if not faults else "NOT HEARD: " + "; ".join(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
