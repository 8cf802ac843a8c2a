"""Play a track from start to end, then a sound and an alias of it.

    python examples/play.py [TRACK]

Without TRACK, a short chord progression is generated into a temporary WAV
file. It says first which backend raylib plays through: a sound server
("PulseAudio", which PipeWire also serves) or a card ("ALSA") is heard; the
null backend, raylib's fallback on a machine with neither and without the
ALSA library, is silent, but the track still advances in real time. With the
ALSA library but neither server nor card, no audio device opens, and the
example stops with the error saying so.
"""

from __future__ import annotations

import array
import math
import sys
import tempfile
import time
import wave
from pathlib import Path

from lumabo import device
from lumabo.music.music import Music
from lumabo.sound.sound import Sound

RATE = 22050


def tone(seconds: float, freqs: list[float], rate: int = RATE, volume: float = 0.3) -> array.array[int]:
    """Mono 16-bit samples of the given frequencies played together."""
    n = int(seconds * rate)
    amp = volume * 32767 / len(freqs)
    return array.array(
        "h",
        (int(amp * sum(math.sin(2 * math.pi * f * i / rate) for f in freqs)) for i in range(n)),
    )


def write_wav(path: Path, samples: array.array[int], rate: int = RATE) -> Path:
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples.tobytes())
    return path


def generated_track(folder: Path) -> Path:
    chords = [[261.6, 329.6, 392.0], [220.0, 261.6, 329.6], [174.6, 220.0, 261.6], [196.0, 246.9, 293.7]]
    samples = array.array("h")
    for chord in chords:
        samples.extend(tone(0.6, chord))
    return write_wav(folder / "track.wav", samples)


def clock(seconds: float) -> str:
    return f"{int(seconds) // 60}:{seconds % 60:04.1f}"


def play_music(path: Path) -> None:
    music = Music.load(str(path))
    if not music.valid:
        sys.exit(f"raylib could not load {path}")
    music.looping = False
    total = music.length
    print(f"Music: {path.name}, {clock(total)}")
    music.play()
    width = 30
    shown = 0.0
    started = time.monotonic()
    # raylib stops a track that does not loop at its end, and time_played
    # then reads 0 again; it may also step back briefly while it queues the
    # last partial buffer, so the bar shows the furthest point reached.
    while time.monotonic() - started < total + 2.0:
        music.update()
        played = music.time_played
        if played == 0.0 and shown > 0.0:
            break
        shown = max(shown, played)
        done = int(width * shown / total) if total else width
        print(f"\r  [{'#' * done}{'.' * (width - done)}] {clock(shown)} / {clock(total)}",
              end="", flush=True)
        time.sleep(1 / 60)
    print(f"\r  [{'#' * width}] {clock(total)} / {clock(total)}")
    music.unload()


def play_sound(folder: Path) -> None:
    # A silent sound of the right length, refilled with a tone through
    # update(). raylib keeps a sound in the audio device's own sample format,
    # so the tone is written in that format (the sound's stream tells it).
    seconds = 0.4
    blank = array.array("h", bytes(2 * int(seconds * RATE)))
    sound = Sound.load(str(write_wav(folder / "blank.wav", blank)))
    fmt = sound.stream
    assert fmt is not None
    frames = sound.frame_count
    wave_ = [0.3 * math.sin(2 * math.pi * 880.0 * i / fmt.sample_rate) for i in range(frames)]
    interleaved = [v for v in wave_ for _ in range(fmt.channels)]
    beep: array.array[float] | array.array[int]
    if fmt.sample_size == 32:
        beep = array.array("f", interleaved)
    elif fmt.sample_size == 16:
        beep = array.array("h", (int(32767 * v) for v in interleaved))
    else:
        beep = array.array("B", (128 + int(127 * v) for v in interleaved))
    sound.update(beep, frames)
    alias = Sound.load_alias(sound)
    alias.pitch = 0.5
    alias.pan = -1.0  # raylib: -1 left, 0 centre, 1 right
    for name, s in (("Sound", sound), ("alias (pitch 0.5, pan left)", alias)):
        time.sleep(0.3)  # a pause, to hear each one apart
        s.play()
        print(f"{name}: playing={s.playing}")
        deadline = time.monotonic() + 2.0
        while s.playing and time.monotonic() < deadline:
            time.sleep(0.02)
    alias.unload()
    sound.unload()


def say_backend() -> None:
    backend = device.audio_backend()
    print(f"Audio device: raylib plays through {backend}.")
    if backend == "Null":
        print("  Nothing will be heard: raylib found no sound server (PulseAudio or PipeWire)\n"
              "  and no sound card, and fell back to its silent null backend.")


def main(argv: list[str]) -> int:
    device.set_log_level(device.LOG_WARNING)
    with tempfile.TemporaryDirectory() as tmp, device.audio():
        say_backend()
        folder = Path(tmp)
        track = Path(argv[1]) if len(argv) > 1 else generated_track(folder)
        play_music(track)
        play_sound(folder)
    print("Audio device closed.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
