"""Cursor: its actions on raylib's cursor, its properties, the shared
cursor_enabled flag, and the C-level method table with its overridable slots.

Tests that act on the cursor run with the session's window open (raylib's
cursor functions act on it) and the call recorder between the module and
raylib.
"""

from __future__ import annotations

import abc
import ctypes
import gc
import json
import textwrap
import weakref

import pytest

import support
from lumabo.cursor.cursor import Cursor, cursor

NAME = "lumabo.cursor.cursor"
FILE = "src/lumabo/cursor/cursor.cpp"

ACTIONS = [
    # method, raylib function, cursor_enabled afterwards (None: unchanged)
    ("enable", "EnableCursor", True),
    ("disable", "DisableCursor", False),
    ("show", "ShowCursor", None),
    ("hide", "HideCursor", None),
]


def entries(exc: BaseException) -> list[str]:
    found = support.native_entries(exc)
    assert {file for _, file in found} <= {FILE}
    return [name for name, _ in found]


@pytest.fixture
def screen(window, recorder):
    """The recorder, cleared, with the window open; the cursor is shown and
    enabled again afterwards."""
    recorder.clear()
    yield recorder
    cursor.show()
    cursor.enable()


def set_flag(enabled: bool, recorder) -> None:
    (cursor.enable if enabled else cursor.disable)()
    recorder.clear()


# -- import -----------------------------------------------------------------


def test_import_enables_the_flag_without_calling_raylib(recorder):
    done = support.run_python(textwrap.dedent("""
        import json, sys
        sys.path.insert(0, "tests")
        import support
        log = support.Recorder()
        import lumabo.cursor.cursor as m
        print(json.dumps([m.cursor.enabled, log.text]))
    """))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [True, ""]


# -- the actions ------------------------------------------------------------

WAYS = {
    "method": lambda capi, obj, name: getattr(obj, name)(),
    "through the class": lambda capi, obj, name: getattr(Cursor, name)(obj),
    "plain slot": lambda capi, obj, name: capi.cursor_slot(obj, "c_" + name),
    "slot, dispatching": lambda capi, obj, name: capi.cursor_slot(obj, name, skip_dispatch=0),
    "slot, skipping dispatch": lambda capi, obj, name: capi.cursor_slot(obj, name, skip_dispatch=7),
}


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("start", [True, False], ids=["from enabled", "from disabled"])
@pytest.mark.parametrize("method, raylib_name, enabled", ACTIONS)
def test_action(screen, capi, way, start, method, raylib_name, enabled):
    set_flag(start, screen)
    assert WAYS[way](capi, Cursor(), method) is None
    assert cursor.enabled is (start if enabled is None else enabled)
    # One raylib call: the flag is read without one.
    assert screen.calls == [(raylib_name, ())]


def test_flag_is_shared_by_all_instances(screen):
    class Sub(Cursor):
        pass

    Cursor().disable()
    assert (cursor.enabled, Cursor().enabled, Sub().enabled) == (False, False, False)
    Sub().enable()
    assert (cursor.enabled, Cursor().enabled) == (True, True)


@pytest.mark.parametrize("start", [True, False], ids=["enabled", "disabled"])
def test_hidden_follows_hide_and_show(screen, start):
    set_flag(start, screen)
    cursor.hide()
    assert cursor.hidden is True
    assert Cursor().hidden is True
    cursor.show()
    assert cursor.hidden is False
    assert cursor.enabled is start
    calls = screen.calls
    assert calls == [("HideCursor", ()), ("IsCursorHidden", ()), ("IsCursorHidden", ()),
                     ("ShowCursor", ()), ("IsCursorHidden", ())]  # fmt: skip
    assert [c.result for c in calls if c.name == "IsCursorHidden"] == [1, 1, 0]


def test_on_screen_reports_raylib(screen):
    value = cursor.on_screen
    assert type(value) is bool
    (query,) = screen.calls
    assert query == ("IsCursorOnScreen", ()) and query.result == value


@pytest.mark.parametrize(
    "call",
    [
        lambda: cursor.disable(1),  # type: ignore[call-arg]
        lambda: cursor.disable(x=1),  # type: ignore[call-arg]
        lambda: Cursor.disable(42),  # type: ignore[arg-type]
        lambda: Cursor.disable(),  # type: ignore[call-arg]
    ],
    ids=["disable(1)", "disable(x=1)", "Cursor.disable(42)", "Cursor.disable()"],
)
def test_refused_call_changes_nothing(screen, call):
    set_flag(True, screen)
    with pytest.raises(TypeError):
        call()
    assert cursor.enabled is True
    assert screen.calls == []


# -- properties and the class -----------------------------------------------


@pytest.mark.parametrize("prop", ["on_screen", "enabled", "hidden"])
@pytest.mark.parametrize("change", [setattr, delattr], ids=["set", "delete"])
def test_properties_are_read_only(recorder, prop, change):
    args = (False,) if change is setattr else ()
    with pytest.raises(AttributeError, match=f"^attribute '{prop}' of '{NAME}.Cursor' objects is not writable$"):
        change(cursor, prop, *args)
    assert cursor.enabled is True
    assert recorder.calls == []


def test_class():
    assert (Cursor.__module__, Cursor.__qualname__, Cursor.__name__) == (NAME, "Cursor", "Cursor")
    assert Cursor.__doc__ is None
    heap, base, gc_flag = 1 << 9, 1 << 10, 1 << 14
    assert Cursor.__flags__ & (heap | base | gc_flag) == base
    with pytest.raises(TypeError, match="immutable"):
        Cursor.x = 1
    # The object header and the method-table pointer: no dict, no weak references.
    assert Cursor.__basicsize__ == object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p)
    assert (Cursor.__dictoffset__, Cursor.__weakrefoffset__) == (0, 0)


def test_method_table_capsule_has_no_name():
    capsule = Cursor.__dict__["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    api = ctypes.PyDLL(None)
    api.PyCapsule_IsValid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert api.PyCapsule_IsValid(capsule, None) == 1


def test_instances_take_no_attributes_but_subclass_instances_do():
    plain = Cursor()
    with pytest.raises(AttributeError):
        plain.shape = "arrow"
    with pytest.raises(TypeError):
        weakref.ref(plain)
    assert not hasattr(plain, "__dict__")

    class Sub(Cursor):
        pass

    sub = Sub()
    sub.shape = "arrow"
    assert vars(sub) == {"shape": "arrow"} and weakref.ref(sub)() is sub


def test_construction_ignores_arguments(recorder):
    made = Cursor(1, 2, x=3)
    assert type(made) is Cursor and made is not cursor
    assert type(cursor) is Cursor
    assert recorder.calls == []


def test_abstract_subclass_is_refused():
    class Abstract(Cursor, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def shape(self): ...

    with pytest.raises(TypeError, match="abstract"):
        Abstract()
    with pytest.raises(TypeError, match="abstract"):
        Cursor.__new__(Abstract)


def test_deleting_an_instance_changes_nothing(screen):
    made = Cursor()
    del made
    gc.collect()
    assert screen.calls == []
    assert cursor.enabled is True


def test_subclass_finaliser_runs_once_and_may_resurrect():
    kept = []

    class Phoenix(Cursor):
        def __del__(self):
            kept.append(self)

    bird = Phoenix()
    ref = weakref.ref(bird)
    del bird
    assert len(kept) == 1 and ref() is kept[0]
    kept.clear()
    gc.collect()
    assert kept == [] and ref() is None


# -- overridable slots ------------------------------------------------------


@pytest.fixture
def ran():
    """Names of the overrides that ran."""
    return []


@pytest.fixture
def Override(ran):
    class Override(Cursor):
        def enable(self):
            ran.append("enable")

        def disable(self):
            ran.append("disable")

        def show(self):
            ran.append("show")

        def hide(self):
            ran.append("hide")

    return Override


@pytest.mark.parametrize("method, raylib_name, enabled", ACTIONS)
def test_override_replaces_the_action(screen, capi, Override, ran, method, raylib_name, enabled):
    obj = Override()
    start = True if enabled is None else not enabled
    set_flag(start, screen)

    capi.cursor_slot(obj, method, skip_dispatch=0)
    getattr(obj, method)()
    assert ran == [method, method]
    assert screen.calls == [] and cursor.enabled is start

    # The plain slot and the flagged slot told to skip dispatch act themselves.
    capi.cursor_slot(obj, "c_" + method)
    capi.cursor_slot(obj, method, skip_dispatch=1)
    assert ran == [method, method]
    assert screen.calls == [(raylib_name, ())] * 2
    assert cursor.enabled is (start if enabled is None else enabled)


def test_override_calling_super_runs_the_base_once(screen, capi, ran):
    class Counting(Cursor):
        def enable(self):
            ran.append("enable")
            super().enable()

    set_flag(False, screen)
    capi.cursor_slot(Counting(), "enable", skip_dispatch=0)
    assert ran == ["enable"]
    assert screen.calls == [("EnableCursor", ())]
    assert cursor.enabled is True


@pytest.mark.parametrize("method, raylib_name, enabled", ACTIONS)
def test_subclass_without_override_acts(screen, capi, method, raylib_name, enabled):
    class Plain(Cursor):
        pass

    capi.cursor_slot(Plain(), method, skip_dispatch=0)
    assert screen.calls == [(raylib_name, ())]


@pytest.mark.parametrize("method, raylib_name, enabled", ACTIONS)
def test_failing_override_leaves_its_exception(screen, capi, method, raylib_name, enabled):
    class Failing(Cursor):
        pass

    def fail(self):
        raise LookupError(method)

    setattr(Failing, method, fail)
    start = True if enabled is None else not enabled
    set_flag(start, screen)
    with pytest.raises(LookupError) as e:
        capi.cursor_slot(Failing(), method, skip_dispatch=0)
    assert entries(e.value) == [f"{NAME}.Cursor.{method}"]
    assert e.traceback[-1].name == "fail"
    assert screen.calls == [] and cursor.enabled is start


def test_failing_lookup_leaves_its_exception(screen, capi):
    class Unreadable(Cursor):
        def __getattribute__(self, name):
            if name == "disable":
                raise LookupError(name)
            return super().__getattribute__(name)

    set_flag(True, screen)
    with pytest.raises(LookupError) as e:
        capi.cursor_slot(Unreadable(), "disable", skip_dispatch=0)
    assert entries(e.value) == [f"{NAME}.Cursor.disable"]
    assert screen.calls == [] and cursor.enabled is True


class Recording:
    """A callable that is no descriptor: found on the class, it stays unbound."""

    def __init__(self, ran: list) -> None:
        self.ran = ran

    def __call__(self) -> None:
        self.ran.append("callable")


@pytest.mark.parametrize(
    "install",
    [
        lambda cls, obj, ran: setattr(obj, "hide", lambda: ran.append("instance")),
        lambda cls, obj, ran: setattr(cls, "hide", staticmethod(lambda: ran.append("static"))),
        lambda cls, obj, ran: setattr(cls, "hide", Recording(ran)),
    ],
    ids=["instance attribute", "static method", "callable object"],
)
def test_override_that_is_no_method_is_called_without_arguments(screen, capi, ran, install):
    class Sub(Cursor):
        pass

    obj = Sub()
    install(Sub, obj, ran)
    capi.cursor_slot(obj, "hide", skip_dispatch=0)
    assert len(ran) == 1
    assert screen.calls == []


def test_override_lookup_is_not_cached(screen, capi, ran):
    class Switching(Cursor):
        pass

    obj = Switching()
    capi.cursor_slot(obj, "show", skip_dispatch=0)
    Switching.show = lambda self: ran.append("late")
    capi.cursor_slot(obj, "show", skip_dispatch=0)
    del Switching.show
    capi.cursor_slot(obj, "show", skip_dispatch=0)
    assert ran == ["late"]
    assert screen.calls == [("ShowCursor", ())] * 2
