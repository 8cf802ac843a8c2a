"""Fixtures for lumabo's tests.

The tests run against the installed package (``./dev test`` installs the
wheel into build/venv), never against src/: the modules are compiled, and
src/ holds only their sources. The native helpers in build/tests-native
(built by ./dev from tests/native) are put on sys.path here.

Fixtures:
    recorder      the call recorder's log, cleared before the test
    audio_device  raylib's audio device, open for the whole session
    window        a raylib window for the whole session (Xvfb if no DISPLAY)
    tmp_wav       factory: tmp_wav(seconds, name=None, **write_wav args) -> Path
    tmp_qoa       factory: tmp_qoa(seconds, name=None, **write_wav args) -> Path
    capi          the lumabo_capi_test module
    pulse_server  a private PulseAudio server with a null sink, for the
                  module's tests (see pulse.py); skips if it cannot start
"""

from __future__ import annotations

import itertools
import os
import sys
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType

import pytest

import pulse
import support
from lumabo import device

if str(support.NATIVE_BUILD) not in sys.path:
    sys.path.insert(0, str(support.NATIVE_BUILD))


def pytest_configure(config: pytest.Config) -> None:
    # Read by the reference-leak hunt (tests/reliability/refleak.py).
    config.addinivalue_line("markers", "no_refleak: not run repeatedly by the reference-leak hunt")
    config.addinivalue_line(
        "markers",
        "refleak_blocks_only: runs code built for the release interpreter (numpy), whose "
        "references the debug interpreter does not count: the hunt judges memory blocks only",
    )

    import lumabo

    where = Path(lumabo.__file__).resolve()
    if where.is_relative_to(support.REPO / "src"):
        raise pytest.UsageError(
            f"lumabo is imported from the source tree ({where}); run the tests "
            "with ./dev test, against the installed package"
        )


@pytest.fixture(scope="session", autouse=True)
def _quiet_raylib() -> None:
    # raylib logs every load at INFO level on stdout; keep warnings and errors.
    if device.library_path().is_file():
        device.set_log_level(device.LOG_WARNING)


@pytest.fixture
def recorder() -> support.Recorder:
    """The raylib calls made during the test (skips without librecorder.so)."""
    if not support.Recorder.available():
        pytest.skip("call recorder not preloaded (LD_PRELOAD=build/tests-native/librecorder.so)")
    rec = support.Recorder()
    rec.clear()
    return rec


@pytest.fixture(scope="session")
def audio_device() -> Iterator[ModuleType]:
    """raylib's audio device, opened once for the session; yields lumabo.device."""
    device.open_audio()
    yield device
    device.close_audio()


@pytest.fixture(scope="session")
def window(tmp_path_factory: pytest.TempPathFactory) -> Iterator[support.Window]:
    """A 320x240 raylib window, opened once for the session.

    Without DISPLAY, starts its own Xvfb (800x600x24) and stops it at the end.
    """
    if not os.environ.get("XDG_RUNTIME_DIR"):
        # The GL stack looks for one and complains on stderr without it.
        runtime = tmp_path_factory.mktemp("xdg-runtime")
        runtime.chmod(0o700)
        os.environ["XDG_RUNTIME_DIR"] = str(runtime)
    xvfb = None
    if not os.environ.get("DISPLAY"):
        try:
            xvfb, display = support.start_xvfb()
        except FileNotFoundError as e:
            pytest.skip(str(e))
        os.environ["DISPLAY"] = display
    try:
        device.open_window(320, 240, "lumabo tests")
        try:
            win = support.Window(os.environ["DISPLAY"], 320, 240)
            win.pump()
            yield win
        finally:
            device.close_window()
    finally:
        if xvfb is not None:
            support.stop_xvfb(xvfb)
            os.environ.pop("DISPLAY", None)


def _factory(tmp_path: Path, suffix: str, write):
    counter = itertools.count()

    def make(seconds: float, name: str | None = None, **wav_args) -> Path:
        path = tmp_path / (name or f"tone{next(counter)}{suffix}")
        return write(path, seconds, **wav_args)

    return make


@pytest.fixture
def tmp_wav(tmp_path: Path):
    """Factory writing a sine-tone WAV into tmp_path (see support.write_wav)."""
    return _factory(tmp_path, ".wav", support.write_wav)


@pytest.fixture
def tmp_qoa(tmp_path: Path):
    """Factory writing a QOA file, encoded by raylib, into tmp_path."""
    return _factory(tmp_path, ".qoa", support.write_qoa)


@pytest.fixture(scope="session")
def capi():
    """The test-only lumabo_capi_test module (skips if it was not built)."""
    return pytest.importorskip("lumabo_capi_test")


@pytest.fixture(scope="module")
def pulse_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[pulse.PulseServer]:
    """A private PulseAudio daemon with one null sink, running for the test
    module; record what plays with ``pulse_server.record()`` and play in a
    child process with ``env=pulse_server.client_env()``.

    Skips, with the reason, where the daemon cannot start.
    """
    server = pulse.PulseServer(tmp_path_factory.mktemp("pulse"))
    try:
        server.start()
    except pulse.PulseUnavailable as e:
        pytest.skip(str(e))
    try:
        yield server
    finally:
        server.stop()
