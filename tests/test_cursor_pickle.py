"""The pickled form of a Cursor: __reduce__, __setstate__ and the
reconstructor __pyx_unpickle_Cursor.

The pickled form is persisted: tests/golden/ holds streams written once by
``pickle.dumps(obj, protocol)`` for a plain Cursor and for ``pointer()``
below, at protocols 0, 2 and 5. They must keep loading, and pickling today
must still write them byte for byte. If one of those tests fails, the format
changed: old pickles may no longer load. Never rewrite the files to make the
tests pass.
"""

from __future__ import annotations

import builtins
import copy
import json
import pickle
import pickletools
import sys
import textwrap
import types
import warnings
from pathlib import Path

import pytest

import lumabo.cursor.cursor as module
import support
from lumabo.cursor.cursor import Cursor, cursor
from lumabo.cursor.cursor import __pyx_unpickle_Cursor as unpickle

FILE = "src/lumabo/cursor/cursor.cpp"
GOLDEN = Path(__file__).parent / "golden"
CHECKSUM = 238750788  # the one written
CHECKSUMS = [0xE3B0C44, 0xDA39A3E, 0xD41D8CD]  # the ones read

REDUCE = ["lumabo.cursor.cursor.Cursor.__reduce__"]
SETSTATE = ["lumabo.cursor.cursor.Cursor.__setstate__"]
UNPICKLE = ["lumabo.cursor.cursor.__pyx_unpickle_Cursor"]
SET_STATE = ["lumabo.cursor.cursor.__pyx_unpickle_Cursor__set_state"]


def entries(exc: BaseException) -> list[str]:
    found = support.native_entries(exc)
    assert {file for _, file in found} <= {FILE}
    return [name for name, _ in found]


def host_error(call) -> str:
    """The message the interpreter itself gives for CALL."""
    try:
        call()
    except Exception as e:
        return str(e)
    raise AssertionError("no error")


class Pointer(Cursor):
    """A subclass of this module, pickled by reference to it."""

    shape: str
    hotspot: list[int]


def pointer() -> Pointer:
    made = Pointer()
    made.shape = "arrow"
    made.hotspot = [3, 4]
    return made


def attributes(obj) -> dict | None:
    return getattr(obj, "__dict__", None)


class IntSub(int):
    pass


class TupleSub(tuple):
    def __repr__(self) -> str:
        return f"TupleSub({tuple(self)!r})"


class HasInt:
    """An object converted through __int__, which returns (or raises) VALUE."""

    def __init__(self, value) -> None:
        self.value = value

    def __int__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value

    def __repr__(self) -> str:
        return f"HasInt({self.value!r})"


class Truth:
    """An object whose truth is VALUE (or whose truth test raises it)."""

    def __init__(self, value) -> None:
        self.value = value

    def __bool__(self) -> bool:
        if isinstance(self.value, Exception):
            raise self.value
        return self.value

    def __repr__(self) -> str:
        return f"Truth({self.value!r})"


def show(value) -> str:
    """A short readable test id for an argument list or a value."""
    if isinstance(value, type):
        return value.__name__
    if type(value) is tuple:
        return "(" + ", ".join(map(show, value)) + ("," if len(value) == 1 else "") + ")"
    return repr(value)


# -- the golden pickles -----------------------------------------------------

GOLDEN_OBJECTS = {"cursor": Cursor, "pointer": pointer}
GOLDEN_CASES = [(subject, protocol) for subject in GOLDEN_OBJECTS for protocol in (0, 2, 5)]


def golden(subject: str, protocol: int) -> bytes:
    return (GOLDEN / f"{subject}-p{protocol}.pickle").read_bytes()


def test_golden_subclass_is_named_after_this_module():
    assert (Pointer.__module__, Pointer.__qualname__) == ("test_cursor_pickle", "Pointer")


@pytest.mark.parametrize("subject, protocol", GOLDEN_CASES)
def test_golden_pickle_loads(subject, protocol):
    loaded = pickle.loads(golden(subject, protocol))
    expected = GOLDEN_OBJECTS[subject]()
    assert type(loaded) is type(expected)
    assert attributes(loaded) == attributes(expected)


@pytest.mark.parametrize("subject, protocol", GOLDEN_CASES)
def test_pickling_writes_the_golden_stream(subject, protocol):
    assert pickle.dumps(GOLDEN_OBJECTS[subject](), protocol) == golden(subject, protocol)


def opcodes(stream: bytes) -> list[tuple[str, object]]:
    """The stream's opcodes and arguments, without framing and memo work."""
    skip = {"PROTO", "FRAME", "PUT", "BINPUT", "LONG_BINPUT", "MEMOIZE", "GET", "BINGET", "LONG_BINGET"}
    return [(op.name, arg) for op, arg, _ in pickletools.genops(stream) if op.name not in skip]


def test_stream_names_the_reconstructor_and_class_by_reference():
    reconstructor = ("GLOBAL", "lumabo.cursor.cursor __pyx_unpickle_Cursor")
    assert opcodes(golden("cursor", 2)) == [
        reconstructor,
        ("GLOBAL", "lumabo.cursor.cursor Cursor"),
        ("BININT", CHECKSUM),
        ("EMPTY_TUPLE", None),
        ("TUPLE3", None),
        ("REDUCE", None),
        ("STOP", None),
    ]
    assert opcodes(golden("pointer", 2)) == [
        reconstructor,
        ("GLOBAL", "test_cursor_pickle Pointer"),
        ("BININT", CHECKSUM),
        ("NONE", None),
        ("TUPLE3", None),
        ("REDUCE", None),
        ("EMPTY_DICT", None),
        ("MARK", None),
        ("BINUNICODE", "shape"),
        ("BINUNICODE", "arrow"),
        ("BINUNICODE", "hotspot"),
        ("EMPTY_LIST", None),
        ("MARK", None),
        ("BININT1", 3),
        ("BININT1", 4),
        ("APPENDS", None),
        ("SETITEMS", None),
        ("TUPLE1", None),
        ("BUILD", None),
        ("STOP", None),
    ]


# -- round trips ------------------------------------------------------------

OBJECTS = {
    "cursor": lambda: cursor,
    "Cursor()": Cursor,
    "subclass, no attributes": Pointer,
    "subclass with attributes": pointer,
}


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", OBJECTS.values(), ids=OBJECTS)
def test_pickle_round_trip(make, protocol):
    obj = make()
    loaded = pickle.loads(pickle.dumps(obj, protocol))
    assert type(loaded) is type(obj) and loaded is not obj
    assert attributes(loaded) == attributes(obj)


@pytest.mark.parametrize("deep", [False, True], ids=["copy", "deepcopy"])
@pytest.mark.parametrize("make", OBJECTS.values(), ids=OBJECTS)
def test_copy(make, deep):
    obj = make()
    copied = (copy.deepcopy if deep else copy.copy)(obj)
    assert type(copied) is type(obj) and copied is not obj
    assert attributes(copied) == attributes(obj)
    if attributes(obj):
        assert attributes(copied) is not attributes(obj)
        assert (copied.hotspot is obj.hotspot) is not deep


def test_round_trip_leaves_the_cursor_alone(window, recorder):
    cursor.disable()
    cursor.hide()
    recorder.clear()
    try:
        for make in OBJECTS.values():
            obj = make()
            pickle.loads(pickle.dumps(obj))
            copy.copy(obj)
            copy.deepcopy(obj)
        assert recorder.calls == []
        assert cursor.enabled is False
        assert cursor.hidden is True
    finally:
        cursor.show()
        cursor.enable()


def test_unpickling_runs_no_initialiser():
    class Initialised(Cursor):
        def __init__(self):
            raise AssertionError("an initialiser ran")

    made = unpickle(Initialised, CHECKSUM, ({"shape": "cross"},))
    assert type(made) is Initialised and vars(made) == {"shape": "cross"}


# -- __reduce__ -------------------------------------------------------------


def test_reduce_of_a_plain_cursor():
    assert Cursor().__reduce__() == (unpickle, (Cursor, CHECKSUM, ()))
    assert cursor.__reduce__()[0] is unpickle


def test_reduce_of_a_subclass_instance():
    assert Pointer().__reduce__() == (unpickle, (Pointer, CHECKSUM, ()))
    obj = pointer()
    function, args, state = obj.__reduce__()
    assert (function, args) == (unpickle, (Pointer, CHECKSUM, None))
    assert type(state) is tuple and len(state) == 1 and state[0] is vars(obj)


def with_dict(value):
    """An instance whose __dict__ attribute is VALUE (raised if an exception)."""

    class Odd(Cursor):
        @property
        def __dict__(self):
            if isinstance(value, Exception):
                raise value
            return value

    return Odd()


@pytest.mark.parametrize(
    "value, state",
    [
        (AttributeError("none"), ()),
        (None, ()),
        (False, ()),
        (0, ()),
        ({}, ()),
        (Truth(False), ()),
        (True, (True,)),
        ([1], ([1],)),
    ],
    ids=show,
)
def test_reduce_tests_the_truth_of_dict(value, state):
    obj = with_dict(value)
    function, args, *rest = obj.__reduce__()
    if state:
        assert args == (type(obj), CHECKSUM, None) and rest == [state]
        assert rest[0][0] is value
    else:
        assert args == (type(obj), CHECKSUM, ()) and rest == []


@pytest.mark.parametrize("value", [LookupError("dict"), Truth(LookupError("truth"))], ids=show)
def test_reduce_failure(value):
    with pytest.raises(LookupError) as e:
        with_dict(value).__reduce__()
    assert entries(e.value) == REDUCE


def test_reduce_needs_the_reconstructor_in_the_module(monkeypatch):
    monkeypatch.delattr(module, "__pyx_unpickle_Cursor")
    with pytest.raises(NameError) as e:
        Cursor().__reduce__()
    assert str(e.value) == "name '__pyx_unpickle_Cursor' is not defined"
    assert entries(e.value) == REDUCE
    # ... or among the builtins.
    stand_in = object()
    monkeypatch.setattr(builtins, "__pyx_unpickle_Cursor", stand_in, raising=False)
    assert Cursor().__reduce__() == (stand_in, (Cursor, CHECKSUM, ()))


# -- __pyx_unpickle_Cursor --------------------------------------------------


@pytest.mark.parametrize("state", [None, (), ({},), (None,), (0, "ignored")], ids=show)
@pytest.mark.parametrize("checksum", CHECKSUMS, ids=hex)
def test_unpickle_accepts_each_checksum(checksum, state):
    assert type(unpickle(Cursor, checksum, state)) is Cursor


@pytest.mark.parametrize(
    "checksum",
    [IntSub(CHECKSUM), float(CHECKSUM) + 0.9, HasInt(CHECKSUM), CHECKSUM],
    ids=["int subclass", "float", "__int__", "int"],
)
def test_unpickle_converts_the_checksum(checksum):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert type(unpickle(Cursor, checksum, None)) is Cursor


def test_unpickle_checksum_from_int_subclass_is_deprecated():
    message = (
        "__int__ returned non-int (type IntSub).  The ability to return an instance of a "
        "strict subclass of int is deprecated, and may be removed in a future version of Python."
    )
    with pytest.warns(DeprecationWarning) as caught:
        made = unpickle(Cursor, HasInt(IntSub(CHECKSUM)), None)
    assert type(made) is Cursor
    assert [str(w.message) for w in caught] == [message]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as e:
            unpickle(Cursor, HasInt(IntSub(CHECKSUM)), None)
    assert str(e.value) == message
    assert entries(e.value) == UNPICKLE


def mismatch(received: str) -> str:
    return f"Incompatible checksums ({received} vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"


def case(args, error, message, found):
    return pytest.param(args, error, message, found, id=show(args))


UNPICKLE_ERRORS = [
    # arguments, exception, message (None: the host's own text), entries
    case((Cursor, 0, None), pickle.PickleError, mismatch("0x0"), UNPICKLE),
    case((Cursor, 1, ()), pickle.PickleError, mismatch("0x1"), UNPICKLE),
    case((Cursor, 0xFFFFFFFF, None), pickle.PickleError, mismatch("0xffffffff"), UNPICKLE),
    case((Cursor, -1, None), pickle.PickleError, mismatch("0xffffffffffffffff"), UNPICKLE),
    case((Cursor, 0, ({},)), pickle.PickleError, mismatch("0x0"), UNPICKLE),
    # The state's type is tested before the checksum, without an entry ...
    case((Cursor, 0, []), TypeError,
        "Argument '__pyx_state' has incorrect type (expected tuple, got list)", []),
    case((Cursor, CHECKSUM, TupleSub()), TypeError,
        "Argument '__pyx_state' has incorrect type (expected tuple, got TupleSub)", []),
    # ... and after the checksum's conversion.
    case((Cursor, "x", []), TypeError, "an integer is required", UNPICKLE),
    case((Cursor, HasInt("x"), None), TypeError, "__int__ returned non-int (type str)", UNPICKLE),
    case((Cursor, HasInt(LookupError("no int")), None), LookupError, "no int", UNPICKLE),
    case((Cursor, 2**63, None), OverflowError, None, UNPICKLE),
    case((int, CHECKSUM, None), TypeError, host_error(lambda: Cursor.__new__(int)), UNPICKLE),  # type: ignore[type-var]
    case(((1, 2), CHECKSUM, None), TypeError, host_error(lambda: Cursor.__new__((1, 2))), UNPICKLE),  # type: ignore[arg-type]
    case((Cursor, CHECKSUM, ({"a": 1},)), AttributeError, "This object has no __dict__", UNPICKLE + SET_STATE),
    case((Pointer, CHECKSUM, (Truth(LookupError("truth")),)), LookupError, "truth", UNPICKLE + SET_STATE),
    case((Pointer, CHECKSUM, ([("a", 1)],)), AttributeError,
        "'list' object has no attribute 'keys'", UNPICKLE + SET_STATE),
]  # fmt: skip


@pytest.mark.parametrize("args, error, message, found", UNPICKLE_ERRORS)
def test_unpickle_error(args, error, message, found):
    with pytest.raises(error) as e:
        unpickle(*args)
    if message is not None:
        assert str(e.value) == message
    assert entries(e.value) == found


def test_pickle_is_imported_only_on_a_mismatch():
    done = support.run_python(textwrap.dedent("""
        import json, sys
        import lumabo.cursor.cursor as m

        seen = ["pickle" in sys.modules]
        m.__pyx_unpickle_Cursor(m.Cursor, 238750788, None)
        m.Cursor().__reduce__()
        try:
            m.__pyx_unpickle_Cursor(m.Cursor, 0, [])
        except TypeError:
            pass
        seen.append("pickle" in sys.modules)
        try:
            m.__pyx_unpickle_Cursor(m.Cursor, 0, None)
        except Exception as e:
            seen.append(type(e) is sys.modules["pickle"].PickleError)
        print(json.dumps(seen))
    """))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [False, False, True]


class StandInError(Exception):
    pass


@pytest.mark.parametrize(
    "stand_in, error",
    [
        (None, ImportError),
        (types.ModuleType("pickle"), AttributeError),
        (types.SimpleNamespace(PickleError=StandInError), StandInError),
    ],
    ids=["no pickle", "no PickleError", "another PickleError"],
)
def test_mismatch_takes_pickle_error_when_it_happens(monkeypatch, stand_in, error):
    monkeypatch.setitem(sys.modules, "pickle", stand_in)
    with pytest.raises(error) as e:
        unpickle(Cursor, 1, None)
    if error is StandInError:
        assert str(e.value) == mismatch("0x1")
    assert entries(e.value) == UNPICKLE


# -- __setstate__ -----------------------------------------------------------


@pytest.mark.parametrize("state", [(), ({},), (None,), (0, {"a": 1})], ids=show)
def test_setstate_without_attributes_changes_nothing(state):
    assert cursor.__setstate__(state) is None
    assert cursor.__setstate__(__pyx_state=state) is None


SETSTATE_ERRORS = [
    case(None, TypeError, "cannot pass None into a C function argument that is declared 'not None'", SETSTATE),
    case([], TypeError, "Expected tuple, got list", SETSTATE),
    case(TupleSub(), TypeError, "Expected tuple, got TupleSub", SETSTATE),
    case(({"a": 1},), AttributeError, "This object has no __dict__", SETSTATE + SET_STATE),
    case((Truth(LookupError("truth")),), LookupError, "truth", SETSTATE + SET_STATE),
]


@pytest.mark.parametrize("state, error, message, found", SETSTATE_ERRORS)
def test_setstate_error(state, error, message, found):
    with pytest.raises(error) as e:
        cursor.__setstate__(state)
    assert str(e.value) == message
    assert entries(e.value) == found


def test_setstate_merges_into_the_instance_dict():
    obj = pointer()
    assert obj.__setstate__(({"shape": "cross", "size": 2}, {"ignored": True})) is None
    assert vars(obj) == {"shape": "cross", "hotspot": [3, 4], "size": 2}


def test_setstate_updates_a_dict_subclass_through_its_update():
    class Updates(dict):
        def update(self, *args):
            self.calls.append(args)
            super().update(*args)

    obj = Pointer()
    obj.__dict__ = Updates()
    obj.__dict__.calls = []
    pairs = (("shape", "cross"),)
    obj.__setstate__((pairs,))
    assert obj.__dict__.calls == [(pairs,)]
    assert obj.shape == "cross"
