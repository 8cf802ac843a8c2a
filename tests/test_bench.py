"""The benchmark suite's machinery, and the costs it checks that are not times.

No time is asserted here: ./dev bench measures and reports them. What is
checked is that the runner works, that the C loops it times really make one
slot call per iteration, and that the no-argument paths allocate nothing.
"""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

import support
from harness import allocations


# -- the runner ----------------------------------------------------------------


def test_quick_run_writes_table_and_json(tmp_path):
    out = tmp_path / "results.json"
    proc = subprocess.run(
        [sys.executable, "bench/run.py", "--quick", "--only", "cursor.enabled",
         "--native", str(support.NATIVE_BUILD), "--json", str(out)],
        capture_output=True, text=True, cwd=support.REPO, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    [row] = json.loads(out.read_text())["rows"]
    assert row["row"] == "cursor.enabled"
    assert row["lumabo_ns"]["mid"] > 0 and row["floor_ns"]["mid"] > 0
    assert row["alloc_peak_bytes"] == 0
    assert any(line.startswith("cursor.enabled ") for line in proc.stdout.splitlines())


# -- the C loops of the slot rows ------------------------------------------------


@pytest.mark.parametrize("slot, skip_dispatch", [("c_show", None), ("show", 0), ("show", 1)])
def test_repeat_calls_the_cursor_slot_each_time(window, capi, recorder, slot, skip_dispatch):
    from lumabo.cursor.cursor import cursor

    capi.cursor_slot(cursor, slot, skip_dispatch, repeat=5)
    assert recorder.count("ShowCursor") == 5


def test_repeat_stops_at_the_first_failing_call(capi):
    from lumabo.cursor.cursor import Cursor

    calls = []

    class Failing(Cursor):
        def show(self):
            calls.append(1)
            raise KeyError("override")

    with pytest.raises(KeyError, match="override"):
        capi.cursor_slot(Failing(), "show", 0, repeat=5)
    assert calls == [1]


# -- allocations --------------------------------------------------------------------


@pytest.mark.parametrize("stmt, leaks", [("object()", False), ("keep.append(object())", True)])
def test_allocation_check_sees_allocations(stmt, leaks):
    found = allocations(stmt, {"keep": []}, n=1000)
    assert found.peak_bytes > 0
    assert (found.net_blocks >= 1000) == leaks


CURSOR_PATHS = ["c.show()", "c.hide()", "c.enable()", "c.disable()",
                "c.enabled", "c.hidden", "c.on_screen"]


@pytest.mark.parametrize("stmt", CURSOR_PATHS)
def test_cursor_no_argument_paths_allocate_nothing(window, stmt):
    from lumabo.cursor.cursor import cursor

    try:
        # enable() and disable() wait on the X server: fewer calls suffice.
        assert allocations(stmt, {"c": cursor}, n=500).none
    finally:
        cursor.show()
        cursor.enable()


@pytest.mark.parametrize("stmt", ["m.play()", "m.pause()", "m.resume()", "m.update()",
                                  "m.stop()", "m.valid", "m.looping"])
def test_music_no_argument_paths_allocate_nothing(audio_device, tmp_wav, stmt):
    from lumabo.music.music import Music

    m = Music.load(str(tmp_wav(2.0)))
    try:
        m.play()
        assert allocations(stmt, {"m": m}).none
    finally:
        m.unload()


@pytest.mark.parametrize("stmt", ["s.play()", "s.pause()", "s.resume()", "s.stop()",
                                  "s.valid", "s.playing", "s.is_alias"])
def test_sound_no_argument_paths_allocate_nothing(audio_device, tmp_wav, stmt):
    from lumabo.sound.sound import Sound

    s = Sound.load(str(tmp_wav(0.5)))
    try:
        assert allocations(stmt, {"s": s}).none
    finally:
        s.unload()


# -- the call-path probe ----------------------------------------------------------


def test_probe_is_a_function_object_of_lumabos_kind(capi):
    """The probe is only a limit of lumabo's call path while CPython calls
    both the same way: vectorcall, and a method descriptor bound at the call."""
    from lumabo.music.music import Music

    flags = (1 << 11) | (1 << 17)  # Py_TPFLAGS_HAVE_VECTORCALL, Py_TPFLAGS_METHOD_DESCRIPTOR
    probe = type(vars(capi.ProbeHost)["call"])
    method = type(vars(Music)["play"])
    assert probe.__flags__ & flags == method.__flags__ & flags == flags
    p = capi.ProbeHost()
    assert [p.call(), p.call(1.0), p.call(position=1.0), p.call(b"", 0)] == [None] * 4
