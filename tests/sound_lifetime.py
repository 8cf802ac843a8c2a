"""Torture of the lifetime of Sound aliases, meant to run under a memory checker.

raylib frees an alias's samples together with its source, so a source that
went first would leave its aliases reading (mixer thread), writing (update)
and freeing freed memory. This script releases sources and aliases in every
order, by unload() and by destruction, before, during and after the aliases
play, while the survivors keep playing and updating. A memory checker
(valgrind, or AddressSanitizer with the sanitized build) watches the real
raylib; the call recorder's log, when it is preloaded, is audited at the end:
every raylib sound is released exactly once, with the matching function, and
no sample owner is freed while an alias of it is still loaded.

    python tests/sound_lifetime.py             the torture (exit 0: clean)
    python tests/sound_lifetime.py unguarded   the same misuse straight through
                                               raylib, which the checker must
                                               report (a check of the checker)
"""

from __future__ import annotations

import ctypes
import gc
import itertools
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.fspath(Path(__file__).resolve().parent))

import support  # noqa: E402
from lumabo import device  # noqa: E402

# Long enough for the null backend's mixer thread (10 ms periods) to read
# the samples of every playing sound a few times.
MIX = 0.03
SECONDS = 0.2


def settle() -> None:
    time.sleep(MIX)


def silence(sound) -> bytes:
    frame = sound.stream.channels * sound.stream.sample_size // 8
    return bytes(frame * sound.frame_count)


def exercise(sounds, *, leave_playing: bool) -> None:
    """Touch the samples every way a program can: the mixer reads them while
    the sounds play, update() writes them. Released sounds are touched too:
    raylib must see nothing of them but a null buffer."""
    for sound in sounds:
        sound.play()
    settle()
    for sound in sounds:
        sound.update(silence(sound), sound.frame_count)
        sound.play()
        sound.volume = 0.5
        sound.pitch = 1.5
        sound.pan = 0.25
        _ = sound.valid, sound.playing
        if not leave_playing:
            sound.stop()


def release(holders: dict, name: str, how: str) -> None:
    if how == "unload":
        holders[name].unload()
    else:
        del holders[name]


def torture(wav: Path) -> int:
    from lumabo.sound.sound import Sound

    rounds = 0
    # source, an alias, an alias of that alias: every order of release,
    # each released by unload() or by destruction, the survivors played
    # (left playing, or stopped) between releases.
    for order in itertools.permutations(["source", "alias", "alias_of_alias"]):
        for ways in itertools.product(["unload", "del"], repeat=3):
            for leave_playing in (True, False):
                source = Sound.load(os.fspath(wav))
                alias = Sound.load_alias(source)
                holders = {
                    "source": source,
                    "alias": alias,
                    "alias_of_alias": Sound.load_alias(alias),
                }
                del source, alias
                for name, how in zip(order, ways):
                    release(holders, name, how)
                    exercise(list(holders.values()), leave_playing=leave_playing)
                holders.clear()
                rounds += 1

    # Aliases of sources that hold nothing: never loaded, failed, released,
    # released while shared.
    shared = Sound.load(os.fspath(wav))
    keeper = Sound.load_alias(shared)
    shared.unload()
    failed = Sound.load(os.fspath(wav.with_name("missing.wav")))
    released = Sound.load(os.fspath(wav))
    released.unload()
    aliases = [Sound.load_alias(empty) for empty in (Sound(), failed, released, shared)]
    assert not any(alias.valid for alias in aliases)
    exercise([keeper, *aliases], leave_playing=True)
    del keeper, shared
    gc.collect()
    return rounds


# -- audit of the recorder's log ------------------------------------------------


def audit(calls) -> list[str]:
    """What in the log breaks "released exactly once, samples outlive aliases"."""
    problems = []
    live: dict[int, str] = {}  # buffer -> "sound" | "alias"
    owner_of: dict[int, int] = {}  # alias buffer -> buffer of the sound owning its samples
    for i, call in enumerate(calls):
        name, args = call.name, call.args
        if name in ("LoadSound", "LoadSoundAlias"):
            made = call.result
            if not made:
                continue
            if made in live:
                problems.append(f"#{i} {name} returned a live buffer {made:#x}")
            live[made] = "sound" if name == "LoadSound" else "alias"
            if name == "LoadSoundAlias":
                source = args[0]
                owner_of[made] = owner_of.get(source, source)
        elif name in ("UnloadSound", "UnloadSoundAlias"):
            gone = args[0]
            kind = "sound" if name == "UnloadSound" else "alias"
            if not gone:
                continue
            if live.get(gone) != kind:
                problems.append(f"#{i} {name} of {gone:#x}, which is {live.get(gone, 'not live')}")
            if kind == "sound":
                sharing = [a for a, o in owner_of.items() if o == gone and a in live]
                if sharing:
                    sharers = ", ".join(f"{a:#x}" for a in sharing)
                    problems.append(f"#{i} UnloadSound of {gone:#x} while aliases {sharers} share it")
            live.pop(gone, None)
            owner_of.pop(gone, None)
        elif args and isinstance(args[0], int) and args[0] and args[0] not in live:
            problems.append(f"#{i} {name} of {args[0]:#x}, which is not live")
    problems += [f"never released: {kind} {buf:#x}" for buf, kind in live.items()]
    return problems


# -- the same misuse without lumabo ----------------------------------------------


def unguarded(wav: Path) -> None:
    """Free the source under a playing alias: raylib's mixer reads freed
    samples, and UpdateSound writes them."""
    lib = support.raylib()
    Raw = support.SoundStruct
    for name, restype, argtypes in [
        ("LoadSound", Raw, [ctypes.c_char_p]),
        ("LoadSoundAlias", Raw, [Raw]),
        ("UnloadSound", None, [Raw]),
        ("UnloadSoundAlias", None, [Raw]),
        ("PlaySound", None, [Raw]),
        ("UpdateSound", None, [Raw, ctypes.c_void_p, ctypes.c_int]),
    ]:
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    source = lib.LoadSound(os.fsencode(wav))
    alias = lib.LoadSoundAlias(source)
    lib.UnloadSound(source)
    lib.PlaySound(alias)
    time.sleep(SECONDS)
    silence = ctypes.create_string_buffer(8 * alias.frameCount)
    lib.UpdateSound(alias, silence, alias.frameCount)
    lib.UnloadSoundAlias(alias)


def main(argv: list[str]) -> int:
    device.set_log_level(device.LOG_ERROR)
    device.open_audio()
    with tempfile.TemporaryDirectory() as tmp:
        wav = support.write_wav(Path(tmp) / "tone.wav", SECONDS, rate=48000, channels=2)
        if argv[1:] == ["unguarded"]:
            unguarded(wav)
            return 0
        if support.Recorder.available():
            support.Recorder().clear()
        rounds = torture(wav)
        if support.Recorder.available():
            problems = audit(support.Recorder().calls)
            if problems:
                print("\n".join(problems), file=sys.stderr)
                return 1
            print(f"audit: clean ({rounds} orders)")
        else:
            print(f"audit: skipped, no call recorder ({rounds} orders)")
    device.close_audio()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
