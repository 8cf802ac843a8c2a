"""XM and MOD modules: good ones load, play and measure their length; the
hostile ones lumabo refuses stay refused from memory too.

raylib measures a module's length at load by playing it to its first loop,
holding the interpreter lock: each load runs in a child interpreter with a
timeout, so that a load that never returns fails the test instead of the run.
"""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import hostile
import support

# The good modules (hostile.TRACKER_GOOD) and the length raylib measures for
# each: to the end of the song (raylib's MOD player stops one row short of
# it), to a jump back (B00) or a pattern break (D00), a pattern loop's rows
# played three times.
LENGTHS = {
    "plain_mod": 63 * 0.12,
    "jump_loop_mod": 64 * 0.12,
    "break_loop_mod": 32 * 0.12,
    "pattern_loop_mod": (16 * 3 + 47) * 0.12,
    "old_mod": 63 * 0.12,
    "plain_xm": 16 * 0.12,
    "jump_xm": 8 * 0.12,
    # 16 rows, 64 with rows 32 to 40 twice, then from row 32 (FT2's E60).
    "loop_start_xm": (16 + 73 + 41) * 0.12,
    "stereo_xm": 16 * 0.12,
    "wide_stereo_xm": 16 * 0.12,
    "cut_short_xm": 16 * 0.12,
}

CHILD = """
import json, sys, time
from lumabo import device
from lumabo.music.music import Music
device.set_log_level(device.LOG_NONE)
device.open_audio()
out = {}
for name, path in json.loads(sys.argv[1]).items():
    data = open(path, "rb").read()
    ext = path[path.rindex("."):]
    for how, load in (("file", lambda: Music.load(path)), ("memory", lambda: Music.load_from_memory(ext, data))):
        start = time.monotonic()
        m = load()
        took = time.monotonic() - start
        played = None
        if m.valid:
            m.play()
            until = time.monotonic() + 0.3
            while time.monotonic() < until:
                m.update()
                time.sleep(0.01)
            played = m.time_played > 0
        length = m.length if m.valid else 0.0
        out[f"{name}/{how}"] = {"valid": m.valid, "length": length, "took": took, "played": played}
        m.unload()
print(json.dumps(out))
"""


def load_in_child(files: dict[str, Path], timeout: float = 60) -> dict[str, dict]:
    code = CHILD.replace("sys.argv[1]", repr(json.dumps({k: str(v) for k, v in files.items()})))
    try:
        done = support.run_python(code, timeout=timeout)
    except Exception as exc:  # subprocess.TimeoutExpired: a load never returned
        pytest.fail(f"loading {sorted(files)} did not end: {exc}")
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    return hostile.write_files(tmp_path_factory.mktemp("tracker"))


def _good_marks(name: str) -> list:
    if ("Music", name) in hostile.NEEDS_MENDED_RAYLIB and not support.raylib_mended():
        return [pytest.mark.skip(reason=hostile.NEEDS_MENDED_RAYLIB["Music", name])]
    return []


@pytest.mark.parametrize("name", [pytest.param(n, marks=_good_marks(n)) for n in hostile.TRACKER_GOOD])
def test_good_module_loads_plays_and_measures(files, name):
    """From a file and from memory alike: past the look before raylib, loaded
    quickly (a loop by jump or break ends raylib's measure), playing, and
    as long as the song is to its loop."""
    result = load_in_child({name: files[name]}, timeout=20)
    for how in ("file", "memory"):
        got = result[f"{name}/{how}"]
        assert got["valid"] and got["played"], (how, got)
        assert got["length"] == pytest.approx(LENGTHS[name], rel=0.02), (how, got)
        assert got["took"] < 1.0, (how, got)


def test_hostile_modules_refused_from_memory_too(files):
    """What lumabo refuses from a file it refuses from memory, where raylib's
    faults differ (a bad order table is freed twice there): every load ends
    with an invalid record, and the interpreter with it."""
    refused = {name: files[name] for cls, name in hostile.REFUSED_TRACKER if cls == "Music"}
    result = load_in_child(refused)
    invalid = {key: got for key, got in result.items() if got["valid"]}
    assert not invalid
    assert len(result) == 2 * len(refused)
