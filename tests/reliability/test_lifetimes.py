"""Lifetime torture (a short run; ./dev check runs thousands of sequences
and 100 000 load/release cycles per class)."""

from __future__ import annotations

import re

import pytest

from reliability import torture
from reliability.common import Call, explain, run_script


@pytest.mark.no_refleak
def test_random_lifetimes_release_everything_once():
    done = run_script("reliability.torture", "--sequences", "150", "--seed", "11", "--cycles", "3000")
    assert done.returncode == 0, explain(done)
    assert re.search(r"torture: 150 sequences", done.stderr), done.stderr
    assert "RSS" in done.stderr


# The ledger's judgement of logs that show the faults it exists to find.

MUSIC = 0x1000
SOUND = 0x2000
ALIAS = 0x3000
STREAM = 0x5000


def call(name: str, buffer: int | None = None, result: int | None = None) -> Call:
    return Call(name, buffer, result, f"{name} {buffer} -> {result}")


LOADED = [
    call("LoadMusicStream", None, MUSIC),
    call("LoadSound", None, SOUND),
    call("LoadSoundAlias", SOUND, ALIAS),
    call("LoadAudioStream", None, STREAM),
]


@pytest.mark.parametrize(
    "calls, released, fault",
    [
        ([call("UnloadMusicStream", MUSIC), call("UnloadMusicStream", MUSIC)], set(), "not loaded"),
        ([call("UnloadSound", ALIAS)], set(), "alias released with UnloadSound"),
        ([call("UnloadSoundAlias", SOUND)], set(), "sound released with UnloadSoundAlias"),
        ([call("UnloadMusicStream", MUSIC), call("PlayMusicStream", MUSIC)], set(), "released buffer"),
        ([call("UnloadSound", SOUND), call("PlaySound", ALIAS)], set(), "samples of a released source"),
        (
            [call("LoadSoundAlias", ALIAS, 0x4000), call("UnloadSound", SOUND), call("ResumeSound", 0x4000)],
            set(),
            "samples of a released source",
        ),
        ([call("UnloadSound", SOUND), call("LoadSoundAlias", SOUND, 0x4000)], set(), "alias of a released"),
        ([call("StopMusicStream", 0)], {MUSIC}, "released object reached raylib"),
        ([call("SeekMusicStream", 0)], {MUSIC}, "released object reached raylib"),
        # A wrapper that released its Music's stream.
        ([call("UnloadAudioStream", MUSIC)], set(), "music released with UnloadAudioStream"),
        ([call("UnloadAudioStream", STREAM), call("UpdateAudioStream", STREAM)], set(), "released buffer"),
        ([call("LoadSound", None, SOUND)], set(), "handed out a live buffer twice"),
    ],
)
def test_ledger_finds(calls, released, fault):
    ledger = torture.Ledger()
    ledger.read(LOADED, "load", set())
    with pytest.raises(torture.Violation, match=fault):
        ledger.read(calls, "step", released)


@pytest.mark.parametrize(
    "calls, released",
    [
        # A released object may still hand raylib a null buffer where raylib
        # tests it first.
        ([call("UnloadMusicStream", MUSIC), call("PlayMusicStream", 0), call("IsMusicValid", 0)], {MUSIC}),
        # Buffers come back from the allocator after a release.
        ([call("UnloadSound", SOUND), call("LoadSound", None, SOUND), call("PlaySound", SOUND)], set()),
        ([call("UnloadSoundAlias", ALIAS), call("UnloadSound", SOUND)], set()),
        # An alias of an alias plays its first source's samples, which its
        # direct source's release leaves alone.
        ([call("LoadSoundAlias", ALIAS, 0x4000), call("UnloadSoundAlias", ALIAS), call("PlaySound", 0x4000)],
         set()),
    ],
)
def test_ledger_accepts(calls, released):
    ledger = torture.Ledger()
    ledger.read(LOADED, "load", set())
    ledger.read(calls, "step", released)
