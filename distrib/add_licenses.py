"""Put the licence texts of bundled libraries into a wheel's .dist-info.

    python3 add_licenses.py WHEEL LICENSES

Every file under LICENSES (for example ``raylib/LICENSE``) is added as
``<name>.dist-info/licenses/<path>`` and named in METADATA by a
``License-File: <path>`` field; RECORD is written anew with the added files' hashes.
The wheel is replaced in place. Adding a file the wheel already has is an
error, so running this twice on one wheel fails instead of doubling entries.
"""

from __future__ import annotations

import base64
import hashlib
import os
import sys
import tempfile
import zipfile
from pathlib import Path


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def with_license_fields(metadata: str, paths: list[str]) -> str:
    """METADATA with a License-File field per path, after the other headers."""
    head, sep, body = metadata.partition("\n\n")
    fields = "".join(f"\nLicense-File: {p}" for p in paths)
    return head + fields + (sep + body if sep else "\n")


def write_with_licenses(src: zipfile.ZipFile, dest: str, dist_info: str, extra: dict[str, Path]) -> None:
    """Copy SRC to DEST with the files EXTRA (path under licenses/: file) added."""
    record = f"{dist_info}/RECORD"
    lines = []
    with zipfile.ZipFile(dest, "w", zipfile.ZIP_DEFLATED) as out:

        def write(info: zipfile.ZipInfo | str, data: bytes) -> None:
            out.writestr(info, data)
            lines.append(record_line(info if isinstance(info, str) else info.filename, data))

        for info in src.infolist():
            if info.filename == record or info.is_dir():
                continue
            data = src.read(info)
            if info.filename == f"{dist_info}/METADATA":
                data = with_license_fields(data.decode(), list(extra)).encode()
            write(info, data)
        for rel, path in extra.items():
            write(f"{dist_info}/licenses/{rel}", path.read_bytes())
        out.writestr(record, "\n".join(lines + [f"{record},,"]) + "\n")


def add_licenses(wheel: Path, licenses: Path) -> list[str]:
    extra = sorted(p for p in licenses.rglob("*") if p.is_file())
    if not extra:
        raise SystemExit(f"no licence files under {licenses}")
    rel = [p.relative_to(licenses).as_posix() for p in extra]
    with zipfile.ZipFile(wheel) as src:
        names = src.namelist()
        (dist_info,) = {n.split("/", 1)[0] for n in names if n.split("/", 1)[0].endswith(".dist-info")}
        clash = sorted(set(names) & {f"{dist_info}/licenses/{r}" for r in rel})
        if clash:
            raise SystemExit(f"{wheel.name} already has {', '.join(clash)}")
        fd, tmp = tempfile.mkstemp(dir=wheel.parent, suffix=".whl")
        os.close(fd)
        os.chmod(tmp, os.stat(wheel).st_mode & 0o777)
        try:
            write_with_licenses(src, tmp, dist_info, dict(zip(rel, extra)))
        except BaseException:
            os.unlink(tmp)
            raise
    os.replace(tmp, wheel)
    return rel


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    for r in add_licenses(Path(argv[1]), Path(argv[2])):
        print(f"added licenses/{r}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
