"""Lifetime torture: random lives of many objects at once, judged by the
raylib calls they cause.

Each sequence makes a pool of objects and, step by step, loads tracks and
sounds (hostile files among them, see hostile.py, and files from bytes
that the caller drops at once), makes streams of their own, makes aliases
(also of unloaded or empty sources), plays, pauses,
updates, seeks and stops them, sets their properties, unloads them, keeps
their stream wrappers past their death and uses them, refills the streams,
drops them in random order, puts
them in reference cycles, lets subclass finalisers run (and resurrect) and
collects garbage. The call recorder's log, read after every step, must show:

* every stream or sound that raylib loaded is released exactly once, with
  the release function of its kind, by the end of the sequence;
* no call reaches raylib with a buffer that was already released, and an
  object that was released hands raylib nothing it could dereference;
* an alias never plays or updates data whose source was released;
* no AudioStream wrapper releases or reaches a stream it was not given;
* the cursor flag follows the last enable or disable.

``--cycles N`` then loads and releases each class N times, and loads and
drops the hostile files N times, and reports resident memory, which may
grow by no more than the same loads and releases straight through raylib
make it grow, and the file descriptors gained, which must be none.

    python -m reliability.torture [--sequences N] [--steps K] [--seed S] [--cycles N]
"""

from __future__ import annotations

import argparse
import gc
import itertools
import pathlib
import random
import sys
import tempfile
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field

from .common import (
    HARMLESS_WITHOUT_BUFFER,
    Call,
    Media,
    Recorder,
    load_classes,
    make_media,
    peak_rss_kib,
    raylib_devices,
    open_descriptors,
    rss_kib,
    sanitized,
    say,
)

# What the modules may raise for an operation the object does not support in
# its state (an empty alias source, a count that does not fit, a stream
# that is full or a wrapper's): the same types the fuzzer allows, minus
# those of its planted arguments.
EXPECTED = (TypeError, ValueError, AttributeError, OverflowError, NotImplementedError, RuntimeError)

LOADS = {
    "LoadMusicStream": "music",
    "LoadMusicStreamFromMemory": "music",
    "LoadSound": "sound",
    "LoadSoundFromWave": "sound",
    "LoadSoundAlias": "alias",
    "LoadAudioStream": "stream",
}
RELEASES = {
    "UnloadMusicStream": "music",
    "UnloadSound": "sound",
    "UnloadSoundAlias": "alias",
    "UnloadAudioStream": "stream",
}
# Calls through which an alias reads or writes its source's samples.
ALIAS_USES_SOURCE = frozenset({"PlaySound", "ResumeSound", "UpdateSound"})


class Violation(AssertionError):
    pass


# -- what the log says ---------------------------------------------------------------


@dataclass
class Ledger:
    """raylib's resources as the log shows them."""

    live: dict[int, str] = field(default_factory=dict)  # buffer -> kind
    alias_source: dict[int, int] = field(default_factory=dict)  # alias buffer -> source buffer
    released: set[int] = field(default_factory=set)  # released and not reused since
    loads: int = 0
    releases: int = 0
    bufferless_releases: int = 0

    def read(self, calls: list[Call], step: str, released_targets: set[int]) -> None:
        """Takes in the calls of one step; RELEASED_TARGETS are the buffers
        of the step's objects that were released before it."""
        for call in calls:
            if call.name in LOADS:
                if call.result:
                    if call.result in self.live:
                        raise Violation(f"{step}: {call.line}: raylib handed out a live buffer twice")
                    self.live[call.result] = LOADS[call.name]
                    self.released.discard(call.result)
                    self.loads += 1
                    if call.name == "LoadSoundAlias":
                        # An alias of an alias shares the first source's samples.
                        source = call.buffer or 0
                        self.alias_source[call.result] = self.alias_source.get(source, source)
                if call.name == "LoadSoundAlias" and call.buffer and call.buffer not in self.live:
                    raise Violation(f"{step}: {call.line}: alias of a released sound")
                continue
            if call.name == "UnloadMusicStream" and call.buffer == 0:
                # A decoder raylib opened without giving it a stream buffer
                # (a hostile file): its release shows no buffer to match.
                self.bufferless_releases += 1
                continue
            if call.name in RELEASES:
                kind = self.live.get(call.buffer or 0)
                if kind is None:
                    raise Violation(f"{step}: {call.line}: release of a buffer that is not loaded")
                if kind != RELEASES[call.name]:
                    raise Violation(f"{step}: {call.line}: a {kind} released with {call.name}")
                del self.live[call.buffer]
                self.alias_source.pop(call.buffer, None)
                self.released.add(call.buffer)
                self.releases += 1
                continue
            if call.buffer is None:
                continue
            if call.buffer == 0:
                if released_targets and call.name not in HARMLESS_WITHOUT_BUFFER:
                    raise Violation(f"{step}: {call.line}: a released object reached raylib")
                continue
            if call.buffer not in self.live:
                raise Violation(f"{step}: {call.line}: call with a released buffer")
            if released_targets & {call.buffer}:
                raise Violation(f"{step}: {call.line}: a released object reached raylib")
            source = self.alias_source.get(call.buffer)
            if source and source not in self.live and call.name in ALIAS_USES_SOURCE:
                raise Violation(f"{step}: {call.line}: an alias used the samples of a released source")


# -- the objects -----------------------------------------------------------------------


def stream_actions(obj, rng: random.Random) -> list[tuple[str, Callable[[], object]]]:
    """What a program does with an AudioStream, made or wrapped."""

    def refill() -> None:
        frames = rng.choice([0, 1, 64, obj.buffer_frames or 64])
        obj.update(bytes(frames * 8), frames)

    return [
        ("play", lambda: obj.play()),
        ("pause", lambda: obj.pause()),
        ("resume", lambda: obj.resume()),
        ("stop", lambda: obj.stop()),
        ("update", refill),
        ("unload", lambda: obj.unload()),
        ("set", lambda: setattr(obj, rng.choice(["volume", "pitch", "pan"]), rng.uniform(-1, 2))),
        ("read", lambda: (obj.valid, obj.channels, obj.is_owner, obj.buffer_frames, obj.volume)),
        ("state", lambda: (obj.playing, obj.processed)),
    ]


graveyard: list[object] = []


def _finaliser(self: object) -> None:
    # Looks at the dying object as user code would.
    for name in ("valid", "volume", "enabled"):
        try:
            getattr(self, name)
        except Exception:
            pass


def _resurrecting_finaliser(self: object) -> None:
    # Brings the object back once; it dies for good when the graveyard is
    # emptied (a finaliser runs only once per object).
    graveyard.append(self)


@dataclass
class Thing:
    obj: object
    kind: str  # music, sound, alias, stream, plain, cursor
    buffer: int = 0  # stream buffer of the record raylib returned, if any
    released: bool = False  # the log showed that buffer released


class Pool:
    def __init__(self, classes: dict[str, type], media: Media, rng: random.Random, recorder: Recorder):
        self.classes = classes
        self.media = media
        self.rng = rng
        self.recorder = recorder
        self.things: list[Thing] = []
        self.kept: list[object] = []  # stream wrappers and cycles kept past their owners
        self.ledger = Ledger()
        self.cursor_enabled: bool | None = None
        self.subclasses = {
            name: [
                type(f"Plain{name}", (cls,), {}),
                type(f"Finalised{name}", (cls,), {"__del__": _finaliser}),
                type(f"Resurrecting{name}", (cls,), {"__del__": _resurrecting_finaliser}),
            ]
            for name, cls in classes.items()
        }
        self.steps = 0

    # Each operation returns a short description and the objects it acted on.

    def op_make(self) -> tuple[str, list[Thing]]:
        name = self.rng.choice(sorted(self.classes))
        cls = self.rng.choice([self.classes[name], *self.subclasses[name]])
        thing = Thing(cls(), "cursor" if name == "Cursor" else "plain")
        self.things.append(thing)
        return f"{cls.__name__}()", [thing]

    def op_load(self) -> tuple[str, list[Thing]]:
        name = self.rng.choice([n for n in ("Music", "Sound") if n in self.classes])
        path = self.rng.choice([self.media.wav, self.media.wav, self.media.missing, self.media.junk])
        if self.rng.random() < 0.2:
            path = self.rng.choice(self.media.hostile[name])
        obj = self.classes[name].load(path)
        thing = Thing(obj, name.lower(), self.loaded_buffer("LoadMusicStream" if name == "Music" else "LoadSound"))
        self.things.append(thing)
        return f"{name}.load({pathlib.Path(path).name})", [thing]

    def op_load_from_memory(self) -> tuple[str, list[Thing]]:
        # The bytes are made here and dropped on return: only the object
        # keeps them, for as long as raylib reads them.
        name = self.rng.choice([n for n in ("Music", "Sound") if n in self.classes])
        source = self.rng.choice(["wav", "wav", "junk"])
        file_type = self.rng.choice([".wav", ".WAV", ".ogg", ".qoa"])
        obj = self.classes[name].load_from_memory(file_type, self.media.encoded(source))
        loads = "LoadMusicStreamFromMemory" if name == "Music" else "LoadSoundFromWave"
        thing = Thing(obj, name.lower(), self.loaded_buffer(loads))
        self.things.append(thing)
        return f"{name}.load_from_memory({file_type}, {source})", [thing]

    def op_create_stream(self) -> tuple[str, list[Thing]]:
        cls = self.classes["AudioStream"]
        args = (self.rng.choice([8000, 22050, 48000]), self.rng.choice([8, 16, 32]), self.rng.choice([1, 2]))
        thing = Thing(cls.create(*args), "stream", self.loaded_buffer("LoadAudioStream"))
        self.things.append(thing)
        return f"AudioStream.create{args}", [thing]

    def op_use_kept_stream(self) -> tuple[str, list[Thing]]:
        # A wrapper whose owner may have been released or freed meanwhile:
        # it must refuse, and reach raylib never.
        if not self.kept:
            return "no kept stream", []
        wrapper = self.rng.choice(self.kept)
        action = self.rng.choice(stream_actions(wrapper, self.rng))[1]
        try:
            action()
        except EXPECTED:
            pass
        return "use kept stream", []

    def op_alias(self) -> tuple[str, list[Thing]]:
        sounds = [t for t in self.things if isinstance(t.obj, self.classes["Sound"])]
        if not sounds:
            return self.op_load()
        source = self.rng.choice(sounds)
        try:
            obj = self.classes["Sound"].load_alias(source.obj)
        except EXPECTED:
            return "Sound.load_alias refused", [source]
        thing = Thing(obj, "alias", self.loaded_buffer("LoadSoundAlias"))
        self.things.append(thing)
        return "Sound.load_alias", [source, thing]

    def op_act(self) -> tuple[str, list[Thing]]:
        if not self.things:
            return self.op_make()
        thing = self.rng.choice(self.things)
        obj = thing.obj
        name = type(obj).__mro__[-2].__name__
        rng = self.rng
        actions: dict[str, list[tuple[str, Callable[[], object]]]] = {
            "Music": [
                ("play", lambda: obj.play()),
                ("pause", lambda: obj.pause()),
                ("resume", lambda: obj.resume()),
                ("stop", lambda: obj.stop()),
                ("update", lambda: obj.update()),
                ("unload", lambda: obj.unload()),
                ("seek", lambda: obj.seek(rng.uniform(-0.1, 0.4))),
                ("set", lambda: setattr(obj, rng.choice(["volume", "pitch", "pan"]), rng.uniform(-1, 2))),
                ("looping", lambda: setattr(obj, "looping", rng.choice([True, False, None]))),
                ("read", lambda: (obj.valid, obj.length, obj.time_played, obj.stream)),
                ("len", lambda: len(obj)),
            ],
            "Sound": [
                ("play", lambda: obj.play()),
                ("pause", lambda: obj.pause()),
                ("resume", lambda: obj.resume()),
                ("stop", lambda: obj.stop()),
                ("unload", lambda: obj.unload()),
                ("update", lambda: obj.update(bytes(4 * rng.randrange(0, 64)), rng.randrange(0, 64))),
                ("set", lambda: setattr(obj, rng.choice(["volume", "pitch", "pan"]), rng.uniform(-1, 2))),
                ("read", lambda: (obj.valid, obj.playing, obj.frame_count, obj.is_alias, obj.stream)),
            ],
            "Cursor": [
                ("enable", lambda: obj.enable()),
                ("disable", lambda: obj.disable()),
                ("show", lambda: obj.show()),
                ("hide", lambda: obj.hide()),
                ("read", lambda: (obj.enabled, obj.hidden)),
            ],
            "AudioStream": stream_actions(obj, rng),
        }.get(name, [])
        if not actions:
            return "nothing", []
        label, action = rng.choice(actions)
        try:
            action()
        except EXPECTED:
            pass
        else:
            if name == "Cursor" and label in ("enable", "disable"):
                self.cursor_enabled = label == "enable"
        return f"{type(obj).__name__}.{label}", [thing]

    def op_keep_stream(self) -> tuple[str, list[Thing]]:
        holders = [t for t in self.things if t.kind in ("music", "sound", "alias")]
        if holders:
            self.kept.append(self.rng.choice(holders).obj.stream)
        return "keep stream", []

    def op_drop(self) -> tuple[str, list[Thing]]:
        if not self.things:
            return "drop nothing", []
        thing = self.things.pop(self.rng.randrange(len(self.things)))
        if self.rng.random() < 0.3:
            # In a cycle: only the collector frees it.
            cycle: list[object] = [thing.obj]
            cycle.append(cycle)
        return f"drop {type(thing.obj).__name__}", []

    def op_collect(self) -> tuple[str, list[Thing]]:
        if self.rng.random() < 0.5:
            graveyard.clear()
        gc.collect()
        return "collect", []

    def op_shuffle_out(self) -> tuple[str, list[Thing]]:
        # Several objects die in one go, in random order.
        self.rng.shuffle(self.things)
        del self.things[: self.rng.randrange(len(self.things) + 1)]
        return "drop several", []

    def operations(self) -> list[Callable[[], tuple[str, list[Thing]]]]:
        ops = [self.op_make, self.op_act, self.op_act, self.op_act, self.op_drop, self.op_collect, self.op_shuffle_out]
        if "Music" in self.classes or "Sound" in self.classes:
            ops += [self.op_load, self.op_load, self.op_keep_stream]
        if "Sound" in self.classes:
            ops += [self.op_alias]
        if hasattr(self.classes.get("Music"), "load_from_memory"):
            ops += [self.op_load_from_memory, self.op_use_kept_stream]
        if hasattr(self.classes.get("AudioStream"), "create"):
            ops += [self.op_create_stream]
        return ops

    def step(self) -> None:
        op = self.rng.choice(self.operations())
        self.recorder.clear()
        label, targets = op()
        self.steps += 1
        self.check(label, targets)

    def check(self, label: str, targets: list[Thing]) -> None:
        calls = self.recorder.calls()
        already_released = {t.buffer for t in targets if t.released}
        self.ledger.read(calls, label, already_released)
        for call in calls:
            if call.name in RELEASES:
                for thing in self.things:
                    if thing.buffer == call.buffer:
                        thing.released = True
        if self.cursor_enabled is not None and "Cursor" in self.classes:
            import lumabo.cursor.cursor as module

            if module.cursor.enabled != self.cursor_enabled:
                raise Violation(f"{label}: cursor.enabled is {module.cursor.enabled}")

    def loaded_buffer(self, name: str) -> int:
        """Buffer of the record that the last LOAD call returned (0: none)."""
        found = [c.result for c in self.recorder.calls() if c.name == name and c.result]
        return found[-1] if found else 0

    def finish(self) -> None:
        """Everything dies; every resource must have been released once."""
        self.recorder.clear()
        self.rng.shuffle(self.things)
        while self.things:
            self.things.pop()
        self.kept.clear()
        graveyard.clear()
        gc.collect()
        graveyard.clear()
        gc.collect()
        self.check("end of sequence", [])
        if self.ledger.live:
            leaked = ", ".join(f"{kind} 0x{buffer:x}" for buffer, kind in self.ledger.live.items())
            raise Violation(f"never released: {leaked}")


def torture(classes: dict[str, type], media: Media, sequences: int, steps: int, seed: int) -> tuple[int, int, int]:
    recorder = Recorder()
    if not recorder.available:
        raise SystemExit("the call recorder is not preloaded (LD_PRELOAD=build/tests-native/librecorder.so)")
    rng = random.Random(seed)
    total_steps = loads = 0
    for number in range(sequences):
        pool = Pool(classes, media, rng, recorder)
        try:
            for _ in range(rng.randrange(steps // 2, steps + 1)):
                pool.step()
            pool.finish()
        except Violation as v:
            raise Violation(f"sequence {number} (seed {seed}), step {pool.steps}: {v}") from None
        total_steps += pool.steps
        loads += pool.ledger.loads
    return sequences, total_steps, loads


# -- resident memory over many cycles -------------------------------------------------------


def raylib_direct(media: Media) -> dict[str, Callable[[], None]]:
    """The same loads and releases straight through raylib (ctypes, past the
    modules and the recorder): what raylib itself keeps per cycle."""
    import ctypes

    import support

    lib = support.raylib()
    wave_struct = lib.LoadWave.restype  # typed by support.raylib(), as is UnloadWave
    for name, restype, argtypes in [
        ("LoadMusicStream", support.MusicStruct, [ctypes.c_char_p]),
        ("UnloadMusicStream", None, [support.MusicStruct]),
        ("PlayMusicStream", None, [support.MusicStruct]),
        ("UpdateMusicStream", None, [support.MusicStruct]),
        ("LoadSound", support.SoundStruct, [ctypes.c_char_p]),
        ("LoadSoundAlias", support.SoundStruct, [support.SoundStruct]),
        ("UnloadSound", None, [support.SoundStruct]),
        ("UnloadSoundAlias", None, [support.SoundStruct]),
        ("PlaySound", None, [support.SoundStruct]),
        ("LoadMusicStreamFromMemory", support.MusicStruct, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
        ("LoadWaveFromMemory", wave_struct, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
        ("LoadSoundFromWave", support.SoundStruct, [wave_struct]),
    ]:
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    path = media.wav.encode()

    def music() -> None:
        m = lib.LoadMusicStream(path)
        lib.PlayMusicStream(m)
        lib.UpdateMusicStream(m)
        lib.UnloadMusicStream(m)

    def sound() -> None:
        s = lib.LoadSound(path)
        a = lib.LoadSoundAlias(s)
        lib.PlaySound(a)
        lib.UnloadSoundAlias(a)
        lib.UnloadSound(s)

    encoded = media.encoded()

    def from_memory() -> None:
        m = lib.LoadMusicStreamFromMemory(b".wav", encoded, len(encoded))
        lib.PlayMusicStream(m)
        lib.UpdateMusicStream(m)
        lib.UnloadMusicStream(m)
        wave = lib.LoadWaveFromMemory(b".wav", encoded, len(encoded))
        s = lib.LoadSoundFromWave(wave)
        lib.UnloadWave(wave)
        lib.PlaySound(s)
        lib.UnloadSound(s)

    # The hostile corpus in the order the classes go through it, loaded and
    # released where the class hands the file to raylib (raylib 6.0 keeps
    # the WAV decoder's own record of every Music it unloads, a few hundred
    # bytes, files of no frames included).
    loaders = {
        "Music": (lib.LoadMusicStream, lib.UnloadMusicStream),
        "Sound": (lib.LoadSound, lib.UnloadSound),
    }

    def hostile_load(name: str) -> Callable[[], None]:
        load, unload = loaders[name]
        loaded = set(media.hostile_loaded[name])
        corpus = itertools.cycle([(path.encode(), path in loaded) for path in media.hostile[name]])

        def run() -> None:
            path, reaches_raylib = next(corpus)
            if reaches_raylib:
                unload(load(path))

        return run

    return {
        "Music": music,
        "Sound": sound,
        "Music of hostile files": hostile_load("Music"),
        "Sound of hostile files": hostile_load("Sound"),
        "Music and Sound from memory": from_memory,
    }


def growth(run: Callable[[], None], count: int, recorder: Recorder) -> tuple[int, int, int]:
    """Resident memory (KiB) after the first tenth of COUNT runs (allocator
    pools fill up there) and at the end, and the file descriptors gained."""
    warm = count // 10
    start = 0
    descriptors = open_descriptors()
    for i in range(count):
        run()
        if i % 1000 == 0:
            recorder.clear()  # the log itself would grow
        if i == warm:
            gc.collect()
            start = rss_kib()
    gc.collect()
    recorder.clear()
    return start, rss_kib(), open_descriptors() - descriptors


def cycles(classes: dict[str, type], media: Media, count: int) -> list[str]:
    """Loads and releases each class COUNT times: resident memory must grow
    no more than the same work straight through raylib makes it grow."""
    recorder = Recorder()

    def music() -> None:
        m = classes["Music"].load(media.wav)
        m.play()
        m.update()
        m.unload()

    # Each hostile file the class survives, loaded, played and dropped
    # without unload(): destruction must release what raylib opened.
    hostile = {name: iter(()) for name in media.hostile}

    def hostile_load(name: str) -> None:
        path = next(hostile[name], None)
        if path is None:
            hostile[name] = iter(media.hostile[name])
            path = next(hostile[name])
        obj = classes[name].load(path)
        obj.play()
        if name == "Music":
            obj.update()
            obj.time_played

    def sound() -> None:
        s = classes["Sound"].load(media.wav)
        a = classes["Sound"].load_alias(s)
        a.play()
        del a, s

    def cursor() -> None:
        classes["Cursor"]().show()

    def stream() -> None:
        classes["AudioStream"]()
        made = classes["AudioStream"].create(22050, 16, 1)
        made.play()
        made.update(silence, made.buffer_frames)
        made.unload()

    def from_memory() -> None:
        m = classes["Music"].load_from_memory(".wav", encoded)
        m.play()
        m.update()
        del m
        classes["Sound"].load_from_memory(".wav", encoded).play()

    silence = bytes(2 * 4096)  # more than one refill of a 22050 Hz, 16-bit mono stream
    encoded = media.encoded()

    work = {
        "Music": music,
        "Sound": sound,
        "Cursor": cursor,
        "AudioStream": stream,
        "Music of hostile files": lambda: hostile_load("Music"),
        "Sound of hostile files": lambda: hostile_load("Sound"),
        "Music and Sound from memory": from_memory,
    }
    direct = raylib_direct(media)
    report = []
    for name, run in work.items():
        if name.split()[0] not in classes:
            continue
        start, end, descriptors = growth(run, count, recorder)
        line = f"{name}: {count} cycles, RSS {start} -> {end} KiB, {descriptors} descriptors gained"
        allowed = 1024
        if name in direct:
            raw_start, raw_end, _ = growth(direct[name], count, recorder)
            allowed += raw_end - raw_start
            line += f"; the same through raylib alone {raw_start} -> {raw_end} KiB"
        if descriptors:
            raise Violation(f"{line}: descriptors left open")
        if sanitized():
            report.append(f"{line} (not judged: AddressSanitizer holds freed memory)")
            continue
        report.append(line)
        if end - start > allowed:
            raise Violation(f"{line}: lumabo's objects keep memory")
    return report


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m reliability.torture")
    parser.add_argument("--sequences", type=int, default=200)
    parser.add_argument("--steps", type=int, default=40, help="most steps of one sequence")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--cycles", type=int, default=0, help="load/release cycles per class for RSS")
    options = parser.parse_args(argv)

    import faulthandler

    faulthandler.enable()
    warnings.simplefilter("error")
    with tempfile.TemporaryDirectory() as tmp, raylib_devices(window=True):
        classes = load_classes()
        media = make_media(pathlib.Path(tmp))
        if options.sequences:
            done, steps, loads = torture(classes, media, options.sequences, options.steps, options.seed)
            say(
                f"torture: {done} sequences, {steps} steps, {loads} raylib loads, each released "
                f"once; classes {sorted(classes)}"
            )
        if options.cycles:
            for line in cycles(classes, media, options.cycles):
                say(f"torture: {line}")
        say(f"torture: peak RSS {peak_rss_kib()} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
