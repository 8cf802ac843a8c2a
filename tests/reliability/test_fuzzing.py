"""Fuzzed calls into every entry point (a short run; ./dev check runs long)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from reliability import fuzz
from reliability.common import explain, make_media, run_script


@pytest.mark.no_refleak
def test_fuzzed_calls_raise_only_documented_errors():
    done = run_script("reliability.fuzz", "--examples", "40", "--seed", "7")
    assert done.returncode == 0, explain(done)
    cases = int(re.search(r"fuzz: (\d+) generated cases", done.stderr).group(1))
    assert cases >= 40 * 18  # every entry point of cursor and audio_stream at least


# The fuzzer's own judgement, on a class with the faults it exists to find.


class Faulty:
    """Stands in for a class under test; each method has one fault."""

    def __init__(self) -> None:
        self._level = 1.0

    @property
    def level(self) -> float:
        return self._level

    def system_error(self) -> None:
        raise SystemError("error return without exception set")

    def undocumented(self) -> None:
        raise KeyError("level")

    def half_done(self, value: object) -> None:
        self._level = 0.5  # changed before the argument is refused
        raise TypeError("an integer is required")

    def refused_cleanly(self, value: object) -> None:
        raise TypeError("an integer is required")


@pytest.fixture
def world(tmp_path: Path) -> fuzz.World:
    return fuzz.World(make_media(tmp_path), {"Faulty": Faulty}, {})


@pytest.mark.parametrize(
    "method, args, finding",
    [
        ("system_error", (), "raised SystemError"),
        ("undocumented", (), "raised KeyError"),
        ("half_done", (1,), "but changed"),
        ("refused_cleanly", (1,), None),
    ],
)
def test_fuzzer_judges_a_call(world, method, args, finding):
    entry = fuzz.Entry("Faulty", method, "method", ("value",))
    case = fuzz.Case(entry, "plain", "call", args, {})
    if finding is None:
        fuzz.perform(world, case)
    else:
        with pytest.raises(fuzz.Finding, match=finding):
            fuzz.perform(world, case)
