"""Seed corpora of the fuzz harnesses, one folder per file type.

    python tests/fuzz/seeds.py OUT_DIR

writes OUT_DIR/<type>/ for each of wav, ogg, mp3, qoa, xm, mod: the files
committed in tests/fuzz/seeds/ (made by sox, oggenc and lame: the shapes real
encoders write), the hostile files of the tests (tests/hostile.py) by their
type, the WAV and QOA files of every shape the tests write (tests/support.py),
and small MOD and XM modules written here. Needs the package installed (the
QOA files come from raylib's own encoder).
"""

from __future__ import annotations

import os
import shutil
import struct
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, os.fspath(HERE.parent))

import hostile  # noqa: E402
import support  # noqa: E402

TYPES = ("wav", "ogg", "mp3", "qoa", "xm", "mod")

# Hostile files that hang raylib itself whatever lumabo does: a seed that
# hangs would stop the run at its first input.
LEFT_OUT = {name for _cls, name in hostile.RAYLIB_KILLS}


def _square(length: int, *, signed: bool = True) -> bytes:
    high, low = (64, -64) if signed else (192, 64)
    return struct.pack(f"{length}b" if signed else f"{length}B",
                       *[high if i % 16 < 8 else low for i in range(length)])


# -- MOD (ProTracker) ---------------------------------------------------------------

_PERIODS = (428, 381, 339, 320, 285, 254, 226, 214)  # C-2 to C-3


def _mod_cell(sample: int, period: int, effect: int = 0, param: int = 0) -> bytes:
    return bytes((sample & 0xF0 | period >> 8, period & 0xFF, (sample & 0x0F) << 4 | effect, param))


def mod(channels: int = 4, patterns: int = 1, *, magic: bytes = b"M.K.", effects: bool = False) -> bytes:
    """A module of CHANNELS channels and PATTERNS patterns of a looping
    square wave; EFFECTS adds volume, speed and portamento commands (no
    jumps or breaks)."""
    sample = _square(64)
    head = b"fuzz seed".ljust(20, b"\0")
    head += b"square".ljust(22, b"\0") + struct.pack(">HBBHH", len(sample) // 2, 0, 64, 0, len(sample) // 2)
    head += bytes(30) * 30
    head += bytes((patterns, 127)) + bytes(range(patterns)).ljust(128, b"\0") + magic
    body = b""
    for p in range(patterns):
        for row in range(64):
            for ch in range(channels):
                if row % 4 == 0:
                    effect, param = (0, 0)
                    if effects:
                        effect, param = ((0xC, 32), (0xF, 3), (0x1, 2), (0xA, 0x10))[(row // 4 + ch) % 4]
                    body += _mod_cell(1, _PERIODS[(row // 4 + ch + p) % 8], effect, param)
                else:
                    body += bytes(4)
    return head + body + sample


# -- XM (FastTracker 2) -------------------------------------------------------------

def _xm_pattern(channels: int, rows: int, notes: list[tuple[int, int, int, int, int]]) -> bytes:
    """A pattern of ROWS rows, each channel's cell (note, instrument, volume,
    effect, parameter) from NOTES in turn, packed as FastTracker writes it."""
    data = b""
    for row in range(rows):
        for ch in range(channels):
            note, instrument, volume, effect, param = notes[(row + ch) % len(notes)]
            if not any((note, instrument, volume, effect, param)):
                data += b"\x80"
                continue
            fields = (note, instrument, volume, effect, param)
            mask = sum(1 << i for i, v in enumerate(fields) if v)
            data += bytes((0x80 | mask,)) + bytes(v for v in fields if v)
    return struct.pack("<IBHH", 9, 0, rows, len(data)) + data


def _xm_instrument(*, sixteen_bit: bool, envelope: bool) -> bytes:
    length = 64
    if sixteen_bit:
        wave = struct.pack(f"<{length}h", *[8000 if i % 16 < 8 else -8000 for i in range(length)])
        deltas = struct.pack(f"<{length}h", *[
            (v - p + 32768) % 65536 - 32768 for v, p in zip(struct.unpack(f"<{length}h", wave),
                                                               (0,) + struct.unpack(f"<{length}h", wave)[:-1])])
        kind = 0x11  # forward loop, 16-bit
        size = 2 * length
    else:
        wave = _square(length)
        values = struct.unpack(f"{length}b", wave)
        deltas = struct.pack(f"{length}b", *[(v - p + 128) % 256 - 128 for v, p in zip(values, (0,) + values[:-1])])
        kind = 0x01
        size = length
    points = [(0, 64), (8, 48), (32, 0)] if envelope else []
    env = b"".join(struct.pack("<HH", x, y) for x, y in points).ljust(48, b"\0")
    extra = (bytes(96) + env + env
             + bytes((len(points), len(points), 1, 0, 1, 1, 0, 1, 1 if envelope else 0, 1 if envelope else 0,
                      0, 0, 0, 0))
             + struct.pack("<H", 256) + bytes(22))
    header = struct.pack("<I", 29 + 4 + len(extra)) + b"square".ljust(22, b"\0") + bytes((0,)) + struct.pack("<H", 1)
    header += struct.pack("<I", 40) + extra
    sample = struct.pack("<IIIBbBBbB", size, 0, size, 48, 0, kind, 128, 0, 0) + b"square".ljust(22, b"\0")
    return header + sample + deltas


def xm(channels: int = 2, patterns: int = 1, *, sixteen_bit: bool = False, envelope: bool = False,
       effects: bool = False, linear: bool = True) -> bytes:
    notes = [(49, 1, 0, 0, 0), (0, 0, 0, 0, 0), (53, 1, 0x30, 0, 0), (0, 0, 0, 0, 0)]
    if effects:
        # Portamento, vibrato, volume slide, arpeggio, panning, tempo: no jumps or breaks.
        notes += [(56, 1, 0, 0x1, 4), (0, 0, 0, 0x4, 0x44), (0, 0, 0, 0xA, 0x10), (49, 1, 0, 0x0, 0x37),
                  (0, 0, 0, 0x8, 0x40), (0, 0, 0, 0xF, 5), (97, 0, 0, 0, 0)]
    header = struct.pack("<HHHHHHHH", patterns, 0, channels, patterns, 1, 1 if linear else 0, 6, 125)
    header += bytes(range(patterns)).ljust(256, b"\0")
    out = (b"Extended Module: " + b"fuzz seed".ljust(20, b"\0") + b"\x1a" + b"lumabo".ljust(20, b"\0")
           + struct.pack("<HI", 0x0104, 4 + len(header)) + header)
    for _ in range(patterns):
        out += _xm_pattern(channels, 16, notes)
    return out + _xm_instrument(sixteen_bit=sixteen_bit, envelope=envelope)


def write_seeds(out: Path) -> dict[str, list[Path]]:
    """Writes the seeds into OUT/<type>/; returns them by type."""
    from lumabo import device

    device.set_log_level(device.LOG_NONE)  # raylib's encoder tells of each QOA file
    seeds: dict[str, list[Path]] = {t: [] for t in TYPES}
    for t in TYPES:
        (out / t).mkdir(parents=True, exist_ok=True)

    def put(t: str, name: str, data: bytes) -> None:
        path = out / t / name
        path.write_bytes(data)
        seeds[t].append(path)

    for t in TYPES:
        for path in sorted((HERE / "seeds" / t).glob("*")) if (HERE / "seeds" / t).is_dir() else ():
            put(t, path.name, path.read_bytes())

    with tempfile.TemporaryDirectory() as tmp:
        files = hostile.write_files(Path(tmp) / "hostile")
        for name, path in files.items():
            t = name.rsplit("_", 1)[-1]
            if t in TYPES and path.is_file() and name not in LEFT_OUT:
                put(t, f"hostile-{name}.{t}", path.read_bytes())
        made = Path(tmp) / "made"
        made.mkdir()
        for rate, channels, width in ((22050, 1, 2), (44100, 2, 2), (8000, 1, 1), (48000, 2, 4), (11025, 3, 2)):
            name = f"support-{rate}-{channels}ch-{8 * width}bit"
            put("wav", name + ".wav", support.write_wav(made / f"{name}.wav", 0.02, rate=rate, channels=channels,
                                                          sample_width=width).read_bytes())
        for seconds, channels in ((0.05, 1), (0.3, 2)):
            name = f"support-{channels}ch-{seconds}s.qoa"
            put("qoa", name, support.write_qoa(made / name, seconds, channels=channels).read_bytes())

    put("mod", "mk-4ch.mod", mod())
    put("mod", "mk-4ch-effects.mod", mod(patterns=2, effects=True))
    put("mod", "8chn.mod", mod(8, magic=b"8CHN"))
    put("xm", "8bit.xm", xm())
    put("xm", "16bit-envelope.xm", xm(4, 2, sixteen_bit=True, envelope=True))
    put("xm", "effects-amiga.xm", xm(2, 1, effects=True, linear=False))
    return seeds


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    target = Path(sys.argv[1])
    for t in TYPES:
        shutil.rmtree(target / t, ignore_errors=True)
    for t, paths in write_seeds(target).items():
        print(f"{t}: {len(paths)} seeds")
