"""Failed imports, and the import that follows once the cause is gone.

Music and sound import their sibling ``lumabo.audio_stream.audio_stream``
and check its type; cursor can be refused by an isolated subinterpreter.
Each cause below makes the import fail with the documented error and a
traceback entry for the module's init; then the cause is removed and the
import succeeds, giving a working class. On the debug interpreter,
``--hunt`` repeats the failures and requires that they leave no reference
behind.

    python -m reliability.imports MODULE [--hunt WARMUPS:ROUNDS]
"""

from __future__ import annotations

import argparse
import builtins
import contextlib
import importlib
import pathlib
import sys
import tempfile
import traceback
import types
import warnings
from collections.abc import Callable, Iterator

from .common import make_media, say

SIBLING = "lumabo.audio_stream.audio_stream"


@contextlib.contextmanager
def sibling_replaced(value: object) -> Iterator[None]:
    saved = sys.modules[SIBLING]
    sys.modules[SIBLING] = value
    try:
        yield
    finally:
        sys.modules[SIBLING] = saved


def fake_sibling(audio_stream: object) -> types.ModuleType:
    module = types.ModuleType(SIBLING)
    module.AudioStream = audio_stream
    return module


def stream_type(size: int, vtable: object = None) -> type:
    """A class whose instances are SIZE bytes, with VTABLE as its capsule."""
    slots = tuple(f"s{i}" for i in range((size - object.__basicsize__) // 8))
    namespace: dict[str, object] = {"__slots__": slots}
    if vtable is not None:
        namespace["__pyx_vtable__"] = vtable
    return type("AudioStream", (), namespace)


@contextlib.contextmanager
def failing_sibling() -> Iterator[None]:
    class Refuse:
        def find_spec(self, name: str, path: object = None, target: object = None) -> None:
            if name == SIBLING:
                raise ImportError(f"{name} is broken")

    saved = sys.modules.pop(SIBLING)
    finder = Refuse()
    sys.meta_path.insert(0, finder)
    try:
        yield
    finally:
        sys.meta_path.remove(finder)
        sys.modules[SIBLING] = saved


@contextlib.contextmanager
def warnings_as_errors() -> Iterator[None]:
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


@contextlib.contextmanager
def builtin_missing(name: str) -> Iterator[None]:
    saved = getattr(builtins, name)
    delattr(builtins, name)
    try:
        yield
    finally:
        setattr(builtins, name, saved)


def causes(module: str) -> list[tuple[str, Callable[[], contextlib.AbstractContextManager], type, str]]:
    """(name, cause, exception type, text in the message) for MODULE."""
    if module == "cursor":
        return []
    real = importlib.import_module(SIBLING)
    capsule = vars(real.AudioStream)["__pyx_vtable__"]
    both = [
        ("sibling missing", lambda: sibling_replaced(None), ModuleNotFoundError, SIBLING),
        ("sibling fails", failing_sibling, ImportError, "is broken"),
        ("not a type", lambda: sibling_replaced(fake_sibling(42)), TypeError, "is not a type object"),
        ("no AudioStream", lambda: sibling_replaced(types.ModuleType(SIBLING)), AttributeError, "AudioStream"),
        (
            "too small",
            lambda: sibling_replaced(fake_sibling(stream_type(64, capsule))),
            ValueError,
            "Expected 72 from C header, got 64 from PyObject",
        ),
        (
            "larger, warnings are errors",
            lambda: _both(sibling_replaced(fake_sibling(stream_type(80, capsule))), warnings_as_errors()),
            RuntimeWarning,
            "got 80 from PyObject",
        ),
        ("no vtable", lambda: sibling_replaced(fake_sibling(stream_type(72))), KeyError, "__pyx_vtable__"),
        ("vtable no capsule", lambda: sibling_replaced(fake_sibling(stream_type(72, 7))), ValueError, ""),
        ("staticmethod missing", lambda: builtin_missing("staticmethod"), NameError, "'staticmethod'"),
    ]
    if module == "music":
        both.append(("round missing", lambda: builtin_missing("round"), NameError, "'round'"))
    return both


@contextlib.contextmanager
def _both(first: contextlib.AbstractContextManager, second: contextlib.AbstractContextManager) -> Iterator[None]:
    with first, second:
        yield


def attempt(name: str, cause: Callable[[], contextlib.AbstractContextManager], error: type, text: str,
            module: str) -> None:
    full = f"lumabo.{module}.{module}"
    with cause():
        try:
            importlib.import_module(full)
        except error as e:
            if text not in str(e):
                raise AssertionError(f"{name}: {e!r} does not say {text!r}") from e
            entries = [frame.name for frame in traceback.extract_tb(e.__traceback__)]
            if f"init {full}" not in entries:
                raise AssertionError(f"{name}: no traceback entry for init in {entries}") from e
        else:
            raise AssertionError(f"{name}: {full} imported")
    if full in sys.modules:
        raise AssertionError(f"{name}: a failed {full} stays in sys.modules")


def subinterpreter_refuses(module: str) -> None:
    import _interpreters

    interpreter = _interpreters.create("isolated")
    try:
        failure = _interpreters.exec(interpreter, f"import lumabo.{module}.{module}")
    finally:
        _interpreters.destroy(interpreter)
    if failure is None or failure.type.__name__ != "ImportError":
        raise AssertionError(f"an isolated subinterpreter imported {module}: {failure}")


def works(module: str, wav: str) -> None:
    """The module imported after the failures is whole."""
    full = f"lumabo.{module}.{module}"
    mod = importlib.import_module(full)
    if module == "cursor":
        mod.Cursor().show()
        return
    cls = getattr(mod, module.capitalize())
    thing = cls.load(wav)
    if not thing.valid or type(thing.stream).__name__ != "AudioStream":
        raise AssertionError(f"{full} imported but its load does not work")
    thing.unload()
    if importlib.import_module(full) is not mod:
        raise AssertionError("a second import made a second module")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m reliability.imports")
    parser.add_argument("module", choices=["music", "sound", "cursor"])
    parser.add_argument("--hunt", metavar="WARMUPS:ROUNDS")
    options = parser.parse_args(argv)
    module = options.module

    from lumabo import device

    device.set_log_level(device.LOG_ERROR)
    all_causes = causes(module)

    def fail_all() -> None:
        for cause in all_causes:
            attempt(*cause, module)
        subinterpreter_refuses(module)

    with tempfile.TemporaryDirectory() as tmp, device.audio():
        wav = make_media(pathlib.Path(tmp)).wav
        if options.hunt:
            from .refleak import hunt, parse_rounds

            deltas = hunt(fail_all, *parse_rounds(options.hunt))
            say(f"imports: {module}, {len(all_causes) + 1} failed imports per round; reference deltas "
                f"{deltas.references}, memory block deltas {deltas.blocks}")
            if deltas.leaks():
                return 1
        else:
            fail_all()
            say(f"imports: {module}, {len(all_causes) + 1} failed imports")
        works(module, wav)
        say(f"imports: {module} imports and works once the causes are gone")
    return 0


if __name__ == "__main__":
    sys.exit(main())
