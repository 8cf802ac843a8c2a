"""A small program written against lumabo's stubs; mypy --strict must accept it."""

from __future__ import annotations

import array

from lumabo import device
from lumabo.audio_stream.audio_stream import AudioStream
from lumabo.cursor.cursor import Cursor, cursor
from lumabo.music.music import Music
from lumabo.sound.sound import Sound


def describe(stream: AudioStream | None) -> str:
    if stream is None:
        return "no stream"
    return f"{stream.sample_rate} Hz, {stream.sample_size} bit, {stream.channels} ch"


def play_all(track: str, effect: str) -> float:
    with device.audio():
        music: Music = Music.load(track)
        music.looping = False
        music.volume = 0.5
        music.seek(position=0.0)
        seconds: int = len(music)
        sound: Sound = Sound.load(file_name=effect)
        alias: Sound = Sound.load_alias(sound)
        alias.pan = -1.0
        frames: int = sound.frame_count
        sound.update(array.array("f", [0.0] * frames * 2), frames)
        sound.update(memoryview(bytes(8)), 1)
        print(describe(music.stream), describe(sound.stream), seconds, alias.playing)
        for s in (alias, sound):
            s.unload()
        music.unload()
        return music.length + music.time_played


def from_memory(encoded: bytes) -> bool:
    with device.audio():
        music: Music = Music.load_from_memory(".ogg", encoded)
        sound: Sound = Sound.load_from_memory(file_type=".wav", data=bytearray(encoded))
        stream: AudioStream = AudioStream.create(44100, 16, channels=2)
        frames: int | None = stream.buffer_frames
        stream.play()
        if stream.processed and frames is not None:
            stream.update(array.array("h", [0] * frames * 2), frames)
        stream.volume = 0.5
        stream.unload()
        ok = music.valid and sound.valid and not stream.playing
        music.unload()
        sound.unload()
        return ok


class Pointer(Cursor):
    def enable(self) -> None:
        super().enable()


def toggle(c: Cursor = cursor) -> bool:
    c.hide()
    c.show()
    return c.enabled and not c.hidden and c.on_screen
