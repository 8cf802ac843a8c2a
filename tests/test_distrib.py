"""distrib/add_licenses.py: the licence texts of bundled libraries go into a
wheel's .dist-info, named in METADATA, with a RECORD that pip accepts."""

from __future__ import annotations

import base64
import hashlib
import importlib.util
import zipfile
from pathlib import Path

import pytest

import support

spec = importlib.util.spec_from_file_location("add_licenses", support.REPO / "distrib" / "add_licenses.py")
assert spec and spec.loader
add_licenses = importlib.util.module_from_spec(spec)
spec.loader.exec_module(add_licenses)

DIST_INFO = "demo-1.0.dist-info"
METADATA = "Metadata-Version: 2.4\nName: demo\nVersion: 1.0\nLicense-Expression: Zlib\n\nThe README.\n\nSecond paragraph.\n"


@pytest.fixture
def wheel(tmp_path: Path) -> Path:
    path = tmp_path / "demo-1.0-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("demo/__init__.py", "x = 1\n")
        z.writestr("demo.libs/libfoo.so.1", b"\x7fELF")
        z.writestr(f"{DIST_INFO}/METADATA", METADATA)
        z.writestr(f"{DIST_INFO}/WHEEL", "Wheel-Version: 1.0\n")
        z.writestr(f"{DIST_INFO}/RECORD", "stale,,\n")
    return path


@pytest.fixture
def licenses(tmp_path: Path) -> Path:
    root = tmp_path / "licenses"
    for name, text in {"raylib/LICENSE": "zlib licence", "glfw/LICENSE.md": "zlib too",
                       "glfw/copyright": "Debian's copyright"}.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    return root


def test_licences_are_added_named_and_recorded(wheel: Path, licenses: Path) -> None:
    added = add_licenses.add_licenses(wheel, licenses)
    assert added == ["glfw/LICENSE.md", "glfw/copyright", "raylib/LICENSE"]
    with zipfile.ZipFile(wheel) as z:
        assert z.read(f"{DIST_INFO}/licenses/raylib/LICENSE") == b"zlib licence"
        head, _, body = z.read(f"{DIST_INFO}/METADATA").decode().partition("\n\n")
        assert head.splitlines()[-3:] == [f"License-File: {a}" for a in added]
        assert body == "The README.\n\nSecond paragraph.\n"
        rows = [line.split(",") for line in z.read(f"{DIST_INFO}/RECORD").decode().splitlines()]
        files = {i.filename for i in z.infolist()}
        assert {r[0] for r in rows} == files and rows[-1] == [f"{DIST_INFO}/RECORD", "", ""]
        for name, digest, size in rows[:-1]:
            data = z.read(name)
            assert digest == "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert int(size) == len(data)


def test_a_second_run_is_refused_and_leaves_the_wheel(wheel: Path, licenses: Path) -> None:
    add_licenses.add_licenses(wheel, licenses)
    before = wheel.read_bytes()
    with pytest.raises(SystemExit, match="already has"):
        add_licenses.add_licenses(wheel, licenses)
    assert wheel.read_bytes() == before
    assert [p.name for p in wheel.parent.iterdir() if p.suffix == ".whl"] == [wheel.name]


def test_no_licence_files_is_an_error(wheel: Path, tmp_path: Path) -> None:
    (tmp_path / "empty").mkdir()
    with pytest.raises(SystemExit, match="no licence files"):
        add_licenses.add_licenses(wheel, tmp_path / "empty")
