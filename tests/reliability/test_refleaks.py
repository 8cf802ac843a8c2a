"""Reference leaks, hunted on the debug interpreter (a quick round; ./dev
check hunts the whole suite)."""

from __future__ import annotations

import re
import textwrap

import pytest

from reliability.common import explain, run_script

pytestmark = pytest.mark.no_refleak


def test_entry_points_leak_nothing(debug_python):
    # The fuzzer's fixed cases: every entry point, every kind of receiver,
    # edge-case arguments, failures with their traceback entries.
    done = run_script("reliability.refleak", "--corpus", "--rounds", "2:3", python=debug_python)
    assert done.returncode == 0, explain(done)
    assert re.search(r"reference deltas \[0, 0, 0\], memory block deltas \[0, 0, 0\]", done.stderr), done.stderr


LEAKY_TESTS = """
    import pytest

    kept = []

    @pytest.fixture
    def thing(tmp_path):
        return object()

    def test_keeps_a_reference(thing):
        kept.append(thing)

    def test_borrows_and_returns(thing):
        kept.append(thing)
        kept.pop()

    @pytest.mark.parametrize("n", [1, 3])
    def test_keeps_n_blocks(n):
        kept.append([object() for _ in range(n)])
"""


def test_hunt_fails_exactly_the_tests_that_leak(debug_python, tmp_path):
    (tmp_path / "test_leaky.py").write_text(textwrap.dedent(LEAKY_TESTS))
    done = run_script(
        "pytest", "-p", "reliability.refleak", "-p", "no:cacheprovider", "-q", "--refleak=1:3", str(tmp_path),
        python=debug_python,
    )
    assert done.returncode == 1, explain(done)
    failed = sorted(re.findall(r"refleak: LEAK \S+::(\S+):", done.stdout))
    assert failed == ["test_keeps_a_reference", "test_keeps_n_blocks[1]", "test_keeps_n_blocks[3]"], done.stdout
    assert "1 passed" in done.stdout
