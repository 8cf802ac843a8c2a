"""A melody computed by the program, played through an AudioStream.

    python examples/synth.py [--array]

Each refill is computed when raylib asks for it (`processed`): the notes
come out gap-free, one buffer at a time. NumPy computes the samples when it
is installed; without it (or with --array) the standard `array` module does.
Without a sound card raylib plays through its null backend: silent, but the
stream still advances in real time.
"""

from __future__ import annotations

import array
import math
import sys
import time
from collections.abc import Iterator

from lumabo import device
from lumabo.audio_stream.audio_stream import AudioStream

RATE = 44100
AMPLITUDE = 0.3
# (frequency in Hz, seconds): C5 E5 G5 C6 G5 E5 C5.
MELODY = [(523.25, 0.25), (659.25, 0.25), (783.99, 0.25), (1046.50, 0.5), (783.99, 0.25), (659.25, 0.25), (523.25, 0.5)]


def note_frames(rate: int = RATE) -> list[tuple[float, int]]:
    """The melody as (frequency, frames) pairs."""
    return [(freq, round(seconds * rate)) for freq, seconds in MELODY]


def samples_array(rate: int, frames: int) -> Iterator[array.array[float]]:
    """The melody as 32-bit float blocks of FRAMES frames (the last one
    shorter), computed with the standard library."""
    block: array.array[float] = array.array("f")
    phase = 0.0
    for freq, count in note_frames(rate):
        step = 2 * math.pi * freq / rate
        for _ in range(count):
            block.append(AMPLITUDE * math.sin(phase))
            phase += step
            if len(block) == frames:
                yield block
                block = array.array("f")
        phase %= 2 * math.pi
    if block:
        yield block


def samples_numpy(rate: int, frames: int) -> Iterator[object]:
    """The same blocks, computed with NumPy."""
    import numpy as np

    parts = []
    phase = 0.0
    for freq, count in note_frames(rate):
        step = 2 * np.pi * freq / rate
        parts.append(AMPLITUDE * np.sin(phase + step * np.arange(count)))
        phase = (phase + step * count) % (2 * np.pi)
    melody = np.concatenate(parts).astype(np.float32)
    for start in range(0, len(melody), frames):
        yield melody[start : start + frames]


def blocks(rate: int, frames: int, use_numpy: bool) -> Iterator[object]:
    if use_numpy:
        try:
            return samples_numpy(rate, frames)
        except ImportError:
            pass
    return samples_array(rate, frames)


def play(use_numpy: bool = True, rate: int = RATE) -> int:
    """Plays the melody to its end; returns the number of refills."""
    stream = AudioStream.create(rate, 32, 1)
    if not stream.valid:
        raise SystemExit("raylib could not make an audio stream (is the audio device open?)")
    frames = stream.buffer_frames
    assert frames is not None
    refills = 0
    stream.play()  # raylib starts from empty buffers and asks for the first at once
    for block in blocks(rate, frames, use_numpy):
        while not stream.processed:
            time.sleep(0.002)
        stream.update(block, len(block))  # type: ignore[arg-type]
        refills += 1
    # Let the last two buffers play out.
    for _ in range(2):
        while not stream.processed:
            time.sleep(0.002)
        stream.update(b"", 0)
    stream.stop()
    stream.unload()
    return refills


def main(argv: list[str]) -> int:
    device.set_log_level(device.LOG_WARNING)
    with device.audio():
        refills = play(use_numpy="--array" not in argv)
    print(f"played {len(MELODY)} notes in {refills} refills")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
