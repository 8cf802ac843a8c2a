"""The module frame, seen through lumabo.cursor.cursor: the create and exec
steps, the function objects, argument binding and traceback entries.

Whatever needs a module that is not imported yet (failing exec steps, a
second interpreter, a hand-made spec) runs in a fresh interpreter.
"""

from __future__ import annotations

import builtins
import ctypes
import importlib
import inspect
import json
import sys
import textwrap
import types
import warnings

import pytest

import lumabo.cursor.cursor as module
import support
from lumabo.cursor.cursor import Cursor, cursor
from lumabo.cursor.cursor import __pyx_unpickle_Cursor as unpickle

NAME = "lumabo.cursor.cursor"
FILE = "src/lumabo/cursor/cursor.cpp"
INIT = "init lumabo.cursor.cursor"
CHECKSUM = 238750788


def entries(exc: BaseException) -> list[str]:
    """Names of the traceback entries the module added, outermost first."""
    found = support.native_entries(exc)
    assert {file for _, file in found} <= {FILE}
    return [name for name, _ in found]


def run(code: str) -> dict:
    """Run CODE in a fresh interpreter; it prints its findings as JSON last."""
    done = support.run_python(textwrap.dedent(code))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


# -- import -----------------------------------------------------------------


# CPython keeps one memory block each time a create step hands back a module
# that already exists (a bare extension doing only that shows the same), so
# the refleak hunt cannot judge this one.
@pytest.mark.no_refleak
def test_import_again_gives_the_same_module(monkeypatch):
    namespace = dict(vars(module))
    monkeypatch.delitem(sys.modules, NAME)
    again = importlib.import_module(NAME)
    assert again is module
    # The exec step did not run again: same instance, same functions.
    assert vars(again).keys() == namespace.keys()
    assert all(vars(again)[k] is v for k, v in namespace.items() if k != "__spec__")
    assert importlib.reload(module) is module
    assert module.cursor is namespace["cursor"]


def test_module_namespace():
    assert set(vars(module)) == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__builtins__", "Cursor", "cursor", "__pyx_unpickle_Cursor",
    }  # fmt: skip
    assert module.__builtins__ is builtins
    assert module.__doc__ is None
    assert module.__package__ == "lumabo.cursor"
    assert module.__file__ == module.__spec__.origin
    assert module.__loader__ is module.__spec__.loader
    assert module.Cursor is Cursor and type(module.cursor) is Cursor
    assert not hasattr(module, "cursor_enabled")


def test_exec_step_refuses_another_module_object():
    api = ctypes.PyDLL(None)  # a private handle: the prototypes stay ours
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(module)

    other = types.ModuleType(NAME)
    with pytest.raises(RuntimeError) as e:
        api.PyModule_ExecDef(other, definition)
    assert str(e.value) == (
        "Module 'cursor' has already been imported. Re-initialisation is not supported."
    )
    assert entries(e.value) == []
    assert set(vars(other)) == set(vars(types.ModuleType("x")))
    # The module itself may execute again: nothing happens.
    cursor_before = module.cursor
    assert api.PyModule_ExecDef(module, definition) == 0
    assert module.cursor is cursor_before


@pytest.mark.parametrize("locations, path", [(None, "absent"), (["somewhere"], ["somewhere"])])
def test_create_step_copies_the_spec(locations, path):
    found = run(f"""
        import _imp, importlib.util, json

        real = importlib.util.find_spec("{NAME}")

        class Spec:
            name = real.name
            origin = real.origin
            parent = "a.package"
            loader = real.loader
            submodule_search_locations = {locations!r}

        class Broken(Spec):
            @property
            def loader(self):
                raise LookupError("no loader today")

        try:
            _imp.create_dynamic(Broken())
            broken = None
        except LookupError as e:
            broken = str(e)
        module = _imp.create_dynamic(Spec())
        ns = vars(module)
        copied = [ns["__loader__"] is real.loader, ns["__file__"] == real.origin,
                  ns["__package__"], ns.get("__path__", "absent")]
        _imp.exec_dynamic(module)
        # Once executed, the module is returned before the spec is read.
        again = _imp.create_dynamic(Broken()) is module
        print(json.dumps([broken, copied, again]))
    """)
    assert found == ["no loader today", [True, True, "a.package", path], True]


# A finder that loads the module with a key in TABLE ("sys.modules" or the
# module's namespace) that collides with KEY and fails comparisons while the
# exec step runs: the step that stores KEY there fails.
CLASH = """
import importlib.machinery, sys

class Clash:
    armed = False

    def __init__(self, key):
        self.key = key

    def __hash__(self):
        return hash(self.key)

    def __eq__(self, other):
        if Clash.armed:
            raise LookupError("clash with " + self.key)
        return False

class ClashingFinder:
    def find_spec(self, name, path=None, target=None):
        if name != "lumabo.cursor.cursor":
            return None
        spec = importlib.machinery.PathFinder.find_spec(name, path)
        real, clash = spec.loader, Clash({key!r})

        class Loader:
            # Put in place before the import system enters the module in
            # sys.modules, so lookups meet the clash first.
            def create_module(self, spec):
                module = real.create_module(spec)
                self.table = sys.modules if {table!r} == "sys.modules" else vars(module)
                self.table[clash] = None
                return module

            def exec_module(self, module):
                Clash.armed = True
                try:
                    real.exec_module(module)
                finally:
                    Clash.armed = False
                    del self.table[clash]

        spec.loader = Loader()
        return spec

def failing_import():
    sys.meta_path.insert(0, ClashingFinder())
    try:
        import lumabo.cursor.cursor
    except LookupError as e:
        return e
    finally:
        sys.meta_path.pop(0)
"""


@pytest.mark.parametrize(
    "table, key, init_entry",
    [
        pytest.param("module", "__builtins__", False, id="step 3"),
        pytest.param("sys.modules", NAME, True, id="step 6"),
        pytest.param("module", "Cursor", True, id="step 8"),
        pytest.param("module", "cursor", True, id="step 11, the instance"),
        pytest.param("module", "__pyx_unpickle_Cursor", True, id="step 11, the function"),
    ],
)
def test_failed_exec_step_leaves_the_module_not_created(table, key, init_entry):
    found = run(CLASH.format(table=table, key=key) + f"""
import json, pickle, traceback

error = failing_import()
frames = [(f.name, f.filename) for f in traceback.extract_tb(error.__traceback__)]
native = [frame for frame in frames if frame[1].startswith("src/lumabo/")]
still_there = "{NAME}" in sys.modules

import lumabo.cursor.cursor as m

try:
    m.cursor.__setstate__(None)
except TypeError as e:
    tb = e.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    entry_globals = tb.tb_frame.f_globals is vars(m)
print(json.dumps({{
    "error": str(error),
    "frames": frames[-2:],
    "native": native,
    "still_there": still_there,
    "retry": [m.cursor.enabled, type(m.cursor) is m.Cursor,
              m.Cursor.enable.__globals__ is vars(m),
              m.Cursor.__reduce__(m.cursor)[0] is m.__pyx_unpickle_Cursor,
              type(pickle.loads(pickle.dumps(m.Cursor()))) is m.Cursor,
              type(m.Cursor.__dict__["__pyx_vtable__"]).__name__, entry_globals],
}}))
""")
    assert found["error"] == "clash with " + key
    assert found["native"] == ([[INIT, FILE]] if init_entry else [])
    assert found["frames"][1] == ["__eq__", "<string>"]
    if init_entry:  # right outside the comparison that failed
        assert found["frames"][0] == [INIT, FILE]
    assert not found["still_there"]
    assert found["retry"] == [True, True, True, True, True, "PyCapsule", True]


def test_class_left_ready_by_a_failed_import_reports_errors_safely():
    # Step 8 fails after the class is ready; the namespace then dies with the
    # failed module, while the class stays reachable from Python.
    found = run(CLASH.format(table="module", key="Cursor") + """
import gc, json

error = failing_import()
del error
gc.collect()
Cursor = next(c for c in object.__subclasses__() if c.__name__ == "Cursor")
reuse = [{"reused": n} for n in range(1000)]
try:
    Cursor.__setstate__(Cursor(), None)
except TypeError as e:
    tb = e.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    print(json.dumps([tb.tb_frame.f_code.co_name, sorted(tb.tb_frame.f_globals)]))
""")
    name, globals_keys = found
    assert name == "lumabo.cursor.cursor.Cursor.__setstate__"
    assert set(globals_keys) <= {"__builtins__"}


INTERPRETERS = """
import _interpreters, json

def import_in(kind):
    interp = _interpreters.create(_interpreters.new_config(kind))
    try:
        failure = _interpreters.exec(interp, "import lumabo.cursor.cursor")
    finally:
        _interpreters.destroy(interp)
    return failure and [failure.type.__name__, failure.msg]

first = {first}
legacy, isolated = import_in("legacy"), import_in("isolated")
import lumabo.cursor.cursor
print(json.dumps([first, legacy, isolated[0], lumabo.cursor.cursor.cursor.enabled]))
"""


@pytest.mark.parametrize(
    "first, first_result",
    [
        ("[type(e).__name__ for e in [failing_import()]]", ["LookupError"]),
        ("__import__('lumabo.cursor.cursor') and None", None),
    ],
    ids=["first import failed", "first import succeeded"],
)
def test_second_interpreter_is_refused(first, first_result):
    code = CLASH.format(table="module", key="cursor") + INTERPRETERS.format(first=first)
    found = run(code)
    assert found[0] == first_result
    # A subinterpreter sharing the main GIL reaches the create step; one with
    # its own GIL is refused by the interpreter before that.
    assert found[1] == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.",
    ]
    assert found[2] == "ImportError"
    assert found[3] is True


def test_import_warns_nothing_on_the_interpreter_it_was_built_for():
    assert run("""
        import json, warnings
        warnings.simplefilter("error")
        import lumabo.cursor.cursor
        print(json.dumps("ok"))
    """) == "ok"


def mismatch(built: str, module_name: str, running: str) -> str:
    return (
        f"compile time Python version {built} of module '{module_name}' "
        f"does not match runtime version {running}"
    )


@pytest.mark.parametrize(
    "runtime, built, message",
    [
        (0x030E00F0, (3, 14), None),
        (0x030E07C1, (3, 14), None),  # another micro version and release level
        (0x030F00A1, (3, 14), mismatch("3.14", "lumabo.music.music", "3.15")),
        (0x030D0BF0, (3, 14), mismatch("3.14", "lumabo.music.music", "3.13")),
        (0x040E00F0, (3, 14), mismatch("3.14", "lumabo.music.music", "4.14")),
        (0x030E00F0, (3, 15), mismatch("3.15", "lumabo.music.music", "3.14")),
    ],
)
def test_version_check(capi, runtime, built, message):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        capi.check_version("lumabo.music.music", runtime, *built)
    assert [str(w.message) for w in caught] == ([message] if message else [])
    assert all(w.category is RuntimeWarning and w.filename == __file__ for w in caught)
    if message:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning, match=f"^{message}$"):
                capi.check_version("lumabo.music.music", runtime, *built)


def test_version_check_cuts_a_long_module_name(capi):
    with pytest.warns(RuntimeWarning) as caught:
        capi.check_version("m" * 150, 0x030F00F0, 3, 14)
    assert str(caught[0].message) == mismatch("3.14", "m" * 100, "3.15")


# -- function objects -------------------------------------------------------

FUNCTIONS = [
    (Cursor.__dict__["enable"], "Cursor.enable", ("self",)),
    (Cursor.__dict__["disable"], "Cursor.disable", ("self",)),
    (Cursor.__dict__["show"], "Cursor.show", ("self",)),
    (Cursor.__dict__["hide"], "Cursor.hide", ("self",)),
    (unpickle, "__pyx_unpickle_Cursor", ("__pyx_type", "__pyx_checksum", "__pyx_state")),
]


@pytest.mark.parametrize("func, qualname, params", FUNCTIONS, ids=[q for _, q, _ in FUNCTIONS])
def test_function_object(func, qualname, params):
    name = qualname.rpartition(".")[2]
    assert (func.__name__, func.__qualname__, func.__module__) == (name, qualname, NAME)
    assert func.__doc__ is None
    assert func.__globals__ is vars(module)
    code = func.__code__
    assert (code.co_filename, code.co_name, code.co_qualname) == (FILE, name, qualname)
    assert code.co_varnames[: code.co_argcount] == params
    assert code.co_firstlineno > 0
    assert func.__annotations__ == {}
    assert func.__defaults__ is None and func.__kwdefaults__ is None
    assert str(inspect.signature(func)) == f"({', '.join(params)})"


class Holder:
    """A class that keeps the module function as a plain attribute."""

    function = unpickle


@pytest.mark.parametrize(
    "call",
    [
        lambda holder: getattr(holder, "function")(Cursor, CHECKSUM, None),
        lambda holder: holder.function(Cursor, CHECKSUM, None),  # the interpreter's method call
    ],
    ids=["attribute then call", "method call"],
)
def test_module_function_binds_no_instance(call):
    # As a class attribute the function stays unbound, however it is called.
    assert type(call(Holder())) is Cursor


@pytest.mark.parametrize(
    "name, unbound, bound",
    [
        ("enable", "(self)", "()"),
        ("__reduce__", "(self, /)", "()"),
        ("__setstate__", "(self, /, __pyx_state)", "(__pyx_state)"),
    ],
)
def test_method_signatures(name, unbound, bound):
    assert str(inspect.signature(getattr(Cursor, name))) == unbound
    assert str(inspect.signature(getattr(cursor, name))) == bound


@pytest.mark.parametrize("name", ["__reduce__", "__setstate__"])
def test_pickling_methods_are_the_class_own(name):
    method = Cursor.__dict__[name]
    assert getattr(Cursor, name) is method
    assert method.__qualname__ == f"Cursor.{name}" and method.__doc__ is None


# -- binding ----------------------------------------------------------------

TARGETS = {
    "cursor.enable": cursor.enable,
    "Cursor.enable": Cursor.enable,
    "cursor.__reduce__": cursor.__reduce__,
    "cursor.__setstate__": cursor.__setstate__,
    "__pyx_unpickle_Cursor": unpickle,
}
SETSTATE = ["lumabo.cursor.cursor.Cursor.__setstate__"]
UNPICKLE = ["lumabo.cursor.cursor.__pyx_unpickle_Cursor"]


class Name(str):
    """A keyword name that is a str subclass: matched by equality."""


def call(target, args=(), kwargs=None, message=None, found=None):
    kwargs = kwargs or {}
    shown = [*map(repr, args), *(f"{k}={v.__name__ if isinstance(v, type) else v!r}" for k, v in kwargs.items())]
    return pytest.param(target, args, kwargs, message, found, id=f"{target}({', '.join(shown)})")


BINDING_ERRORS = [
    # Methods without parameters refuse before anything else, without an entry.
    call("cursor.enable", (1,), {}, "enable() takes exactly 0 positional arguments (1 given)", []),
    call("cursor.enable", (1, 2), {}, "enable() takes exactly 0 positional arguments (2 given)", []),
    call("cursor.enable", (), {"x": 1}, "enable() got an unexpected keyword argument 'x'", []),
    call("cursor.enable", (), {"y": 1, "x": 2}, "enable() got an unexpected keyword argument 'y'", []),
    call("cursor.enable", (1,), {"x": 1}, "enable() takes exactly 0 positional arguments (1 given)", []),
    call("Cursor.enable", (), {}, "enable() needs an argument", []),
    call("cursor.__reduce__", (1,), {}, "__reduce__() takes exactly 0 positional arguments (1 given)", []),
    call("cursor.__reduce__", (), {"x": 1}, "__reduce__() got an unexpected keyword argument 'x'", []),
    # With parameters, every refusal carries the function's entry.
    call("cursor.__setstate__", (), {}, "__setstate__() takes exactly 1 positional argument (0 given)", SETSTATE),
    call("cursor.__setstate__", ((), ()), {}, "__setstate__() takes exactly 1 positional argument (2 given)", SETSTATE),
    call("cursor.__setstate__", ((), ()), {"__pyx_state": ()},
         "__setstate__() takes exactly 1 positional argument (2 given)", SETSTATE),
    call("cursor.__setstate__", ((),), {"__pyx_state": ()},
         "__setstate__() got multiple values for keyword argument '__pyx_state'", SETSTATE),
    call("cursor.__setstate__", (), {"state": ()}, "__setstate__() got an unexpected keyword argument 'state'", SETSTATE),
    call("__pyx_unpickle_Cursor", (), {}, "__pyx_unpickle_Cursor() takes exactly 3 positional arguments (0 given)", UNPICKLE),
    call("__pyx_unpickle_Cursor", (Cursor, CHECKSUM, None, 4), {},
         "__pyx_unpickle_Cursor() takes exactly 3 positional arguments (4 given)", UNPICKLE),
    call("__pyx_unpickle_Cursor", (), {"__pyx_type": Cursor, "__pyx_checksum": CHECKSUM},
         "__pyx_unpickle_Cursor() takes exactly 3 positional arguments (2 given)", UNPICKLE),
    # The count given is the position of the first parameter left unfilled.
    call("__pyx_unpickle_Cursor", (), {"__pyx_checksum": CHECKSUM, "__pyx_state": None},
         "__pyx_unpickle_Cursor() takes exactly 3 positional arguments (0 given)", UNPICKLE),
    call("__pyx_unpickle_Cursor", (Cursor,), {"__pyx_state": None},
         "__pyx_unpickle_Cursor() takes exactly 3 positional arguments (1 given)", UNPICKLE),
    call("__pyx_unpickle_Cursor", (Cursor, CHECKSUM, None, 4), {"__pyx_type": Cursor},
         "__pyx_unpickle_Cursor() takes exactly 3 positional arguments (4 given)", UNPICKLE),
    # Keywords are examined in order; the first offending one is named.
    call("__pyx_unpickle_Cursor", (Cursor,), {"__pyx_type": Cursor, "x": 1},
         "__pyx_unpickle_Cursor() got multiple values for keyword argument '__pyx_type'", UNPICKLE),
    call("__pyx_unpickle_Cursor", (Cursor,), {"x": 1, "__pyx_type": Cursor},
         "__pyx_unpickle_Cursor() got an unexpected keyword argument 'x'", UNPICKLE),
    call("__pyx_unpickle_Cursor", (Cursor,), {Name("__pyx_type"): Cursor},
         "__pyx_unpickle_Cursor() got multiple values for keyword argument '__pyx_type'", UNPICKLE),
    call("__pyx_unpickle_Cursor", (Cursor, CHECKSUM), {Name("__pyx_stat"): None},
         "__pyx_unpickle_Cursor() got an unexpected keyword argument '__pyx_stat'", UNPICKLE),
]  # fmt: skip


@pytest.mark.parametrize("target, args, kwargs, message, found", BINDING_ERRORS)
def test_binding_error(target, args, kwargs, message, found):
    with pytest.raises(TypeError) as e:
        TARGETS[target](*args, **kwargs)
    assert str(e.value) == message
    assert entries(e.value) == found


def test_instance_of_another_class_is_refused():
    with pytest.raises(TypeError, match="Cursor") as e:
        Cursor.enable(42)
    assert entries(e.value) == []


@pytest.mark.parametrize(
    "kwargs",
    [
        {"__pyx_type": Cursor, "__pyx_checksum": CHECKSUM, "__pyx_state": None},
        # Names that are not the interned parameter names: compared as text.
        {"".join(["__pyx_", "type"]): Cursor, Name("__pyx_checksum"): CHECKSUM, Name("__pyx_state"): None},
    ],
    ids=["interned", "equal"],
)
def test_keywords_bind_by_name(kwargs):
    assert type(unpickle(**kwargs)) is Cursor
    assert cursor.__setstate__(**{Name("__pyx_state"): ()}) is None


def vectorcall(func, args: tuple, kwnames: tuple):
    """Calls FUNC the way C code may: keyword names straight from the caller."""
    api = ctypes.PyDLL(None)
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [
        ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object,
    ]  # fmt: skip
    vector = (ctypes.py_object * len(args))(*args)
    return api.PyObject_Vectorcall(func, vector, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize(
    "func, args, found",
    [
        (unpickle, (Cursor, CHECKSUM, None), UNPICKLE),
        (cursor.__setstate__, ((),), SETSTATE),
        # Without parameters: refused like any keyword, without an entry.
        (cursor.enable, (1,), []),
        (cursor.__reduce__, (1,), []),
    ],
    ids=["__pyx_unpickle_Cursor", "__setstate__", "enable", "__reduce__"],
)
def test_keyword_names_must_be_strings(func, args, found):
    with pytest.raises(TypeError) as e:
        vectorcall(func, args, (1,))
    assert str(e.value) == f"{func.__name__}() keywords must be strings"
    assert entries(e.value) == found


# -- traceback entries ------------------------------------------------------


def test_entry_is_a_frame_of_the_module():
    with pytest.raises(TypeError) as e:
        cursor.__setstate__(None)
    tb = e.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    assert (code.co_name, code.co_filename) == ("lumabo.cursor.cursor.Cursor.__setstate__", FILE)
    assert tb.tb_frame.f_globals is vars(module)
    assert tb.tb_lineno == code.co_firstlineno > 0
