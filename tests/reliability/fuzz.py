"""Fuzzed calls into every Python-level entry point of lumabo's classes.

Every method, static method, property (get, set, delete, and through the
class's descriptor), length slot and module function of every class is
called with generated positional and keyword arguments of many types, on
plain instances, subclass instances, loaded and released objects, and with
the class itself or a stranger as the receiver. A call may only succeed or
raise one of the exception types the modules document; when it raises, the
object (and the module's cursor flag) reads exactly as before, and raylib
was asked to change nothing. Crashes end this process, which is why it runs
as a script:

    python -m reliability.fuzz [--examples N] [--seed S]
    python -m reliability.fuzz --corpus-rounds R   # fixed cases, for refleak

Entry points are found by looking at the classes, so a class that gains a
method is fuzzed without a change here.
"""

from __future__ import annotations

import argparse
import array
import gc
import math
import pathlib
import pickle
import struct
import sys
import tempfile
import warnings
from collections.abc import Iterator
from dataclasses import dataclass, field

from .common import (
    HARMLESS_WITHOUT_BUFFER,
    Media,
    Recorder,
    load_classes,
    make_media,
    module_functions,
    raylib_devices,
    say,
)


class Planted(Exception):
    """Raised by the dunder methods of generated arguments: the modules must
    let it through unchanged."""


# What a failing call may raise: the types the modules document (the
# interpreter's conversion errors among them), warnings turned into errors,
# and whatever an argument's own dunder raises.
ALLOWED = (
    TypeError,
    AttributeError,
    ValueError,  # UnicodeEncodeError, round() of a NaN length, released memoryview
    OverflowError,
    NotImplementedError,
    pickle.PickleError,
    DeprecationWarning,
    RuntimeWarning,
    Planted,
)

# Read at any moment they may differ without anyone calling: raylib's mixer
# runs on its own thread.
VOLATILE = frozenset({"time_played", "playing", "on_screen"})


# -- arguments ---------------------------------------------------------------


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class TupleSub(tuple):
    pass


class Dunder:
    """An object that converts through __float__, __index__ or __int__ to
    whatever it was given, or raises."""

    def __init__(self, kind: str, value: object) -> None:
        self.kind = kind
        self.value = value

    def _give(self, kind: str) -> object:
        if self.kind != kind:
            raise Planted(f"no {kind}")
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __float__(self) -> object:
        return self._give("float")

    def __index__(self) -> object:
        return self._give("index")

    def __int__(self) -> object:
        return self._give("int")

    def __repr__(self) -> str:
        return f"Dunder({self.kind!r}, {self.value!r})"


class Falsy:
    def __bool__(self) -> bool:
        raise Planted("truth")


class OddMapping(dict):
    def keys(self):  # type: ignore[override]
        raise Planted("keys")


def released_view() -> memoryview:
    view = memoryview(b"abcd")
    view.release()
    return view


def fixed_values(media: Media) -> list[object]:
    """Arguments that reach the edges: range limits, odd floats, odd text,
    buffers of every kind, conversions that misbehave."""
    nan, inf = math.nan, math.inf
    return [
        None, True, False, 0, 1, -1, 2, 3, 7, 100, 2**31 - 1, 2**31, -(2**31) - 1, 2**32,
        2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 10**100,
        0.0, -0.0, 0.5, 1.0, -1.0, 2.5, 1e39, -1e39, 5e-324, nan, inf, -inf,
        "", "x", "\x00", "a\x00b", "\ud800", "é" * 3, "x" * 300, media.wav, media.missing, media.junk,
        "/", ".", StrSub(media.wav), b"", b"\x00" * 64, media.wav.encode(), bytearray(256),
        memoryview(b"\x01\x02" * 128), memoryview(bytearray(64))[::2], released_view(),
        array.array("h", range(64)), array.array("d", [0.5] * 8),
        IntSub(5), IntSub(2**40), FloatSub(0.25), TupleSub(()), pathlib.Path(media.wav),
        # Hostile files (hostile.py) that every loader survives, and a name cut short by a NUL.
        *sorted(set(media.hostile["Music"]) & set(media.hostile["Sound"])), media.wav + "\x00junk",
        (), (None,), ({},), ({"a": 1},), ({"a": 1}, 2), ([],), (OddMapping(a=1),), (Falsy(),),
        [], [1], {}, {"a": 1}, object(), object, int, float, str, type, Ellipsis, NotImplemented,
        0xE3B0C44, 0xDA39A3E, 0xD41D8CD, IntSub(0xE3B0C44), Falsy(),
        Dunder("float", 1.5), Dunder("float", "x"), Dunder("float", FloatSub(2.0)),
        Dunder("float", Planted("float")), Dunder("index", 4), Dunder("index", IntSub(4)),
        Dunder("index", 2**70), Dunder("index", "4"), Dunder("index", Planted("index")),
        Dunder("int", 3), Dunder("int", IntSub(3)), Dunder("int", 3.5), Dunder("int", "3"),
        Dunder("int", 2**40), Dunder("int", Planted("int")),
    ]


# -- receivers -----------------------------------------------------------------


@dataclass
class World:
    """Classes under test, their subclasses and how to make each kind of
    receiver."""

    media: Media
    classes: dict[str, type]
    functions: dict[str, object]
    subclasses: dict[str, list[type]] = field(default_factory=dict)
    capi: object | None = None
    recorder: Recorder = field(default_factory=Recorder)
    keep: list[object] = field(default_factory=list)

    def __post_init__(self) -> None:
        def finaliser(self: object) -> None:
            # A finaliser that looks at the dying object, as user code does.
            for name in ("valid", "enabled", "volume"):
                try:
                    getattr(self, name)
                except Exception:
                    pass

        for name, cls in self.classes.items():
            self.subclasses[name] = [
                type(f"Plain{name}", (cls,), {}),
                type(f"Finalised{name}", (cls,), {"__del__": finaliser}),
            ]
        try:
            import lumabo_capi_test

            self.capi = lumabo_capi_test
        except ImportError:
            self.capi = None

    def instances(self) -> list[tuple[str, str]]:
        """(class, kind) of every object that can stand as an argument."""
        return [(c, k) for c in sorted(self.classes) for k in self.kinds(c) if k not in ("class", "via_class")]

    def argument(self, which: tuple[str, str]) -> object:
        """An object of a class under test, made for one case; what it
        depends on lives until the case ends."""
        return self.make(*which, self.keep)

    def kinds(self, cls_name: str) -> list[str]:
        kinds = ["plain", "subclass", "finalised", "class", "via_class"]
        if cls_name in ("Music", "Sound"):
            kinds += ["loaded", "released", "missing"]
        if cls_name == "Sound":
            kinds += ["alias", "orphan_alias", "released_alias"]
        if cls_name == "Cursor":
            kinds += ["module_instance"]
        if cls_name == "AudioStream" and self.capi is not None:
            kinds += ["loaded", "released"]
        return kinds

    def make(self, cls_name: str, kind: str, keep: list[object]) -> object:
        """A receiver of KIND; objects it depends on go into KEEP so they
        live as long as the receiver is used."""
        cls = self.classes[cls_name]
        if kind in ("plain", "class", "via_class"):
            return cls()
        if kind == "subclass":
            return self.subclasses[cls_name][0]()
        if kind == "finalised":
            return self.subclasses[cls_name][1]()
        if kind == "module_instance":
            import lumabo.cursor.cursor as module

            return module.cursor
        if cls_name == "AudioStream":
            made = self.capi.audio_stream_make("cfrom_struct", (22050, 16, 1), is_owner=1)
            if kind == "released":
                made.unload()
            return made
        if kind == "missing":
            return cls.load(self.media.missing)
        loaded = cls.load(self.media.wav)
        if kind == "loaded":
            return loaded
        if kind == "released":
            loaded.unload()
            return loaded
        keep.append(loaded)
        alias = cls.load_alias(loaded)
        if kind == "orphan_alias":
            loaded.unload()
        elif kind == "released_alias":
            alias.unload()
        return alias


# -- entry points ----------------------------------------------------------------


@dataclass(frozen=True)
class Entry:
    owner: str  # class name, or "" for a module function
    name: str
    kind: str  # method, static, property, slot, new, function
    params: tuple[str, ...]
    settable: bool = False

    def __str__(self) -> str:
        return f"{self.owner}.{self.name}" if self.owner else self.name


def entries(world: World) -> list[Entry]:
    found = []
    for cls_name, cls in world.classes.items():
        found.append(Entry(cls_name, "__call__", "new", ()))
        for name, attr in vars(cls).items():
            kind_name = type(attr).__name__
            params: tuple[str, ...] = ()
            if isinstance(attr, staticmethod):
                kind = "static"
                params = tuple(attr.__func__.__code__.co_varnames)
            elif kind_name == "lumabo_function":
                kind = "method"
                params = tuple(attr.__code__.co_varnames[1:])
            elif kind_name == "method_descriptor":
                kind = "method"
                params = ("__pyx_state",) if name == "__setstate__" else ()
            elif kind_name in ("getset_descriptor", "member_descriptor"):
                found.append(Entry(cls_name, name, "property", ("value",), bool(attr.__set__)))
                continue
            elif kind_name == "wrapper_descriptor" and name not in ("__init__",):
                kind = "slot"
            else:
                continue
            found.append(Entry(cls_name, name, kind, params))
    for qualified, function in world.functions.items():
        found.append(Entry("", qualified, "function", tuple(function.__code__.co_varnames)))
    return found


# -- one call ----------------------------------------------------------------------


def snapshot(world: World, obj: object) -> tuple:
    """What the object reports through its properties, and the module's
    cursor flag: a failed call must leave all of it as it was."""
    state = []
    cls = type(obj)
    for name, attr in sorted(vars(world.classes.get(_base(world, cls), object)).items()):
        if not isinstance(attr, property) and type(attr).__name__ != "getset_descriptor":
            continue
        if name in VOLATILE:
            continue
        try:
            value = getattr(obj, name)
        except Exception as e:  # noqa: BLE001 - the failure is part of the state
            state.append((name, "raises", type(e).__name__))
            continue
        if isinstance(value, float):
            state.append((name, struct.pack("<d", value)))
        elif isinstance(value, (bool, int, str, type(None))):
            state.append((name, value))
        else:
            state.append((name, "object", id(value)))
    if "Cursor" in world.classes:
        import lumabo.cursor.cursor as module

        state.append(("cursor_enabled", module.cursor.enabled))
    return tuple(state)


def _base(world: World, cls: type) -> str:
    for name, base in world.classes.items():
        if isinstance(cls, type) and issubclass(cls, base):
            return name
    return ""


@dataclass
class Case:
    entry: Entry
    receiver: str  # the receiver kind
    op: str  # call / get / set / delete / descr_get / descr_set / descr_delete
    args: tuple
    kwargs: dict

    def describe(self) -> str:
        return (
            f"{self.entry} [{self.receiver}] {self.op} args={self.args!r} "
            f"kwargs={self.kwargs!r}"
        )


class Finding(AssertionError):
    pass


def perform(world: World, case: Case) -> None:
    """Runs one case and checks what it left behind."""
    keep: list[object] = []
    entry = case.entry
    target = world.classes[entry.owner] if entry.owner else None
    receiver = None
    if entry.owner and case.receiver not in ("class",):
        receiver = world.make(entry.owner, case.receiver, keep)
    watched = receiver if receiver is not None else target
    # A static method or the class call ignores the receiver it was reached
    # through: what it makes may reach raylib.
    acts_on_receiver = entry.kind not in ("static", "new", "function")
    released = acts_on_receiver and case.receiver in ("released", "released_alias")

    before = snapshot(world, watched) if receiver is not None else None
    world.recorder.clear()
    error: BaseException | None = None
    try:
        _run(world, case, target, receiver)
    except BaseException as e:  # noqa: BLE001 - judged below
        error = e
    calls = world.recorder.calls()
    if error is not None:
        if isinstance(error, SystemError) or not isinstance(error, ALLOWED):
            raise Finding(f"{case.describe()}: raised {type(error).__name__}: {error}") from error
        if receiver is not None:
            after = snapshot(world, watched)
            if after != before:
                raise Finding(f"{case.describe()}: failed with {error!r} but changed {before} -> {after}")
        acting = [c.line for c in calls if not c.name.startswith(("Is", "Get"))]
        if acting:
            raise Finding(f"{case.describe()}: failed with {error!r} after calling raylib: {acting}")
    # (Whether an alias may still play once its source was unloaded depends
    # on whether raylib freed the samples: the torture follows that in the log.)
    if released:
        for c in calls:
            if c.buffer is not None and (c.buffer != 0 or c.name not in HARMLESS_WITHOUT_BUFFER):
                raise Finding(f"{case.describe()}: reached raylib after release: {c.line}")
    del receiver, watched, keep, error
    world.keep.clear()


def _run(world: World, case: Case, target: type | None, receiver: object) -> None:
    entry, args, kwargs = case.entry, case.args, case.kwargs
    if entry.kind == "function":
        world.functions[entry.name](*args, **kwargs)
        return
    if entry.kind == "new":
        (target if case.receiver == "class" else type(receiver))(*args, **kwargs)
        return
    if entry.kind == "property":
        descriptor = vars(target)[entry.name]
        obj = receiver
        if case.op == "get":
            getattr(obj if obj is not None else target, entry.name)
        elif case.op == "set":
            setattr(obj if obj is not None else target, entry.name, args[0])
        elif case.op == "delete":
            delattr(obj if obj is not None else target, entry.name)
        elif case.op == "descr_get":
            descriptor.__get__(args[0] if args else obj, target)
        elif case.op == "descr_set":
            descriptor.__set__(args[0], args[1] if len(args) > 1 else None)
        elif case.op == "descr_delete":
            descriptor.__delete__(args[0])
        return
    if entry.kind == "slot":
        if case.receiver == "class":
            getattr(target, entry.name)(*args, **kwargs)
        else:
            getattr(receiver, entry.name)(*args, **kwargs)
        return
    if case.receiver == "class":
        # Through the class, the first argument (if any) takes the place of
        # the instance: usually a stranger.
        getattr(target, entry.name)(*args, **kwargs)
    elif case.receiver == "via_class":
        getattr(target, entry.name)(receiver, *args, **kwargs)
    else:
        getattr(receiver, entry.name)(*args, **kwargs)


# -- generated cases (Hypothesis) -----------------------------------------------------


def fuzz(world: World, examples: int, seed: int) -> int:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import seed as hseed
    from hypothesis import strategies as st

    base = fixed_values(world.media)
    scalars = st.one_of(
        # By index: sampled_from would hash its elements, and some are not.
        st.integers(0, len(base) - 1).map(base.__getitem__),
        st.integers(),
        st.floats(),
        st.text(max_size=12),
        st.binary(max_size=64),
        st.builds(bytearray, st.binary(max_size=64)),
        st.sampled_from(list(world.classes.values()) + [s for v in world.subclasses.values() for s in v]),
        st.sampled_from(world.instances()).map(world.argument),
    )
    value = st.one_of(scalars, st.tuples(scalars), st.tuples(st.dictionaries(st.text(max_size=3), scalars, max_size=2)))
    executed = 0

    def receivers(entry: Entry) -> list[str]:
        return world.kinds(entry.owner) if entry.owner else ["none"]

    def fuzz_entry(entry: Entry) -> None:
        names = list(entry.params) + ["x", "value", "self", "__pyx_state", "position"]
        ops = ["call"]
        if entry.kind == "property":
            ops = ["get", "set", "delete", "descr_get", "descr_set", "descr_delete"]

        @settings(
            max_examples=examples,
            deadline=None,
            database=None,
            suppress_health_check=list(HealthCheck),
        )
        @hseed(seed)
        @given(
            receiver=st.sampled_from(receivers(entry)),
            op=st.sampled_from(ops),
            args=st.lists(value, max_size=4).map(tuple),
            kwargs=st.dictionaries(st.sampled_from(names) | st.text(max_size=4), value, max_size=2),
        )
        def run(receiver: str, op: str, args: tuple, kwargs: dict) -> None:
            nonlocal executed
            if op in ("set", "descr_get", "descr_set", "descr_delete") and not args:
                args = (None,)
            perform(world, Case(entry, receiver, op, args, kwargs))
            executed += 1

        run()

    for entry in entries(world):
        fuzz_entry(entry)
        gc.collect()
    return executed


# -- fixed cases (for the reference-leak rounds) ---------------------------------------


def corpus(world: World) -> Iterator[Case]:
    """The same cases every time: each entry point, each receiver, with no
    argument, with each edge value alone and by keyword."""
    base = fixed_values(world.media)
    for entry in entries(world):
        kinds = world.kinds(entry.owner) if entry.owner else ["none"]
        for receiver in kinds:
            if entry.kind == "property":
                yield Case(entry, receiver, "get", (), {})
                yield Case(entry, receiver, "delete", (), {})
                for v in base[::3]:
                    yield Case(entry, receiver, "set", (v,), {})
                for which in world.instances():
                    yield Case(entry, receiver, "set", (Made(which),), {})
                yield Case(entry, receiver, "descr_set", (object(), 1.0), {})
                continue
            yield Case(entry, receiver, "call", (), {})
            for v in base[::4]:
                yield Case(entry, receiver, "call", (v,), {})
            for which in world.instances()[::2]:
                yield Case(entry, receiver, "call", (Made(which),), {})
            for name in entry.params[:1] + ("x",):
                yield Case(entry, receiver, "call", (), {name: base[len(name) % len(base)]})
            if len(entry.params) > 1:
                yield Case(entry, receiver, "call", tuple(base[6 : 6 + len(entry.params)]), {})
            if entry.name == "__pyx_unpickle_Cursor":
                for checksum in (0xE3B0C44, 0xDA39A3E, 1):
                    for state in (None, (), ({},), ({"a": 1},), [], TupleSub()):
                        for cls in [*world.classes.values(), int]:
                            yield Case(entry, receiver, "call", (cls, checksum, state), {})


@dataclass(frozen=True)
class Made:
    """An object of a class under test, made when its case runs."""

    which: tuple[str, str]


def run_corpus(world: World) -> int:
    count = 0
    for case in corpus(world):
        case.args = tuple(world.argument(a.which) if isinstance(a, Made) else a for a in case.args)
        perform(world, case)
        count += 1
    return count


# -- main --------------------------------------------------------------------------------


def make_world(directory: pathlib.Path) -> World:
    return World(make_media(directory), load_classes(), module_functions())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m reliability.fuzz")
    parser.add_argument("--examples", type=int, default=50, help="generated cases per entry point")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--corpus-rounds", type=int, default=0, help="run the fixed cases instead")
    options = parser.parse_args(argv)

    import faulthandler

    faulthandler.enable()
    warnings.simplefilter("error")
    with tempfile.TemporaryDirectory() as tmp, raylib_devices(window=True):
        world = make_world(pathlib.Path(tmp))
        say(f"fuzz: classes {sorted(world.classes)}; {len(entries(world))} entry points")
        if options.corpus_rounds:
            total = sum(run_corpus(world) for _ in range(options.corpus_rounds))
            say(f"fuzz: {total} fixed cases over {options.corpus_rounds} rounds, no finding")
        else:
            total = fuzz(world, options.examples, options.seed)
            say(f"fuzz: {total} generated cases, no finding")
        del world
        gc.collect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
