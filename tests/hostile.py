"""Hostile audio files, and a child-side runner that loads them.

The files are what a user's folder or an attacker may hand a game: an empty
recording, a header that promises data the file does not hold, a bad magic,
a truncated file, enormous declared sizes, a directory, random bytes. The
tests (test_hostile.py) and the fuzzing and torture runs take them from
write_files().

Run as a script, this loads one file many times in a fresh interpreter and
reports, as one JSON line, how many descriptors the process holds before and
after and how many loads and releases reached raylib:

    python tests/hostile.py CLASS PATH ACTION COUNT DEVICE

CLASS is Music or Sound, ACTION one of ACTIONS, DEVICE "open" or "closed".
A crash or a hang shows as the child's signal or the caller's timeout.
"""

from __future__ import annotations

import gc
import json
import os
import random
import struct
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import support  # noqa: E402


def _wav_header(data_size: int, *, rate: int = 22050, channels: int = 1, bits: int = 16,
                riff_size: int | None = None) -> bytes:
    block = channels * bits // 8
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * block, block, bits)
    if riff_size is None:
        riff_size = 4 + 8 + len(fmt) + 8 + data_size
    return (b"RIFF" + struct.pack("<I", riff_size) + b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
            + b"data" + struct.pack("<I", data_size))


def _aiff(frames: int, sound_bytes: bytes = b"", *, channels: int = 1, rate: int = 22050) -> bytes:
    """An AIFF whose COMM chunk declares FRAMES 16-bit frames; the SSND chunk
    holds SOUND_BYTES. dr_wav trusts the declared count."""
    # The sample rate as an 80-bit extended float.
    exponent = rate.bit_length() - 1
    mantissa = rate << (63 - exponent)
    rate80 = struct.pack(">HQ", 16383 + exponent, mantissa)
    comm = struct.pack(">hIh", channels, frames, 16) + rate80
    ssnd = struct.pack(">II", 0, 0) + sound_bytes
    body = b"AIFF" + b"COMM" + struct.pack(">I", len(comm)) + comm + b"SSND" + struct.pack(">I", len(ssnd)) + ssnd
    return b"FORM" + struct.pack(">I", len(body)) + body


def _qoa_frame(channels: int, samples: int, *, rate: int = 22050, size: int | None = None) -> bytes:
    """A QOA frame of SAMPLES silent-ish samples per channel; SIZE, when
    given, is the frame size its header declares."""
    body = bytes(16 * channels + 8 * -(-samples // 20) * channels)
    declared = 8 + len(body) if size is None else size
    return struct.pack(">Q", channels << 56 | rate << 32 | samples << 16 | declared) + body


def _qoa(samples: int, *frames: bytes) -> bytes:
    """A QOA file that declares SAMPLES samples per channel over FRAMES."""
    return b"qoaf" + struct.pack(">I", samples) + b"".join(frames)


# WAV shapes (RIFF, RF64, W64, AIFF) beyond the basic ones above, written
# by _put_wav_cases; the WAV files lumabo refuses before raylib sees them.

# The GUID of an EXTENSIBLE subformat: the format tag, then the tail that
# every KSDATAFORMAT_SUBTYPE_* shares.
def _subformat(tag: int) -> bytes:
    return struct.pack("<H", tag) + bytes.fromhex("000000001000800000aa00389b71")


def _fmt(tag: int, channels: int, rate: int, bits: int, *, block: int | None = None,
         extra: bytes = b"", endian: str = "<") -> bytes:
    """The body of a fmt chunk; EXTRA follows the 16 basic bytes (with its
    cbSize) when given."""
    if block is None:
        block = max(1, channels * bits // 8)
    body = struct.pack(endian + "HHIIHH", tag, channels, rate, rate * block, block, bits)
    if tag == 0xFFFE and not extra:
        extra = struct.pack("<HI", bits, 0) + _subformat(1)
    if extra:
        body += struct.pack(endian + "H", len(extra)) + extra
    return body


def _extensible(subtag: int, channels: int, rate: int, bits: int, valid_bits: int | None = None) -> bytes:
    return _fmt(0xFFFE, channels, rate, bits,
                extra=struct.pack("<HI", valid_bits or bits, 0) + _subformat(subtag))


def _chunk(fourcc: bytes, body: bytes, size: int | None = None, endian: str = "<") -> bytes:
    return fourcc + struct.pack(endian + "I", len(body) if size is None else size) + body + bytes(len(body) % 2)


def _riff(fmt: bytes, data: bytes, *chunks: bytes, magic: bytes = b"RIFF", endian: str = "<") -> bytes:
    """A RIFF (or RIFX) WAVE of the fmt body FMT and DATA, CHUNKS between."""
    body = b"WAVE" + _chunk(b"fmt ", fmt, endian=endian) + b"".join(chunks) + _chunk(b"data", data, endian=endian)
    return magic + struct.pack(endian + "I", len(body)) + body


def _rf64(fmt: bytes, data: bytes, frames: int) -> bytes:
    """An RF64 WAVE: its sizes in the ds64 chunk, those of RIFF at -1."""
    ds64 = struct.pack("<QQQI", 0, len(data), frames, 0)
    body = b"WAVE" + _chunk(b"ds64", ds64) + _chunk(b"fmt ", fmt) + _chunk(b"data", data, size=0xFFFFFFFF)
    return b"RF64" + struct.pack("<I", 0xFFFFFFFF) + body


_W64_GUID_TAIL = bytes.fromhex("f3acd3118cd100c04f8edb8a")


def _w64_chunk(name: bytes, body: bytes, size: int | None = None) -> bytes:
    size = 24 + len(body) if size is None else size
    return name + _W64_GUID_TAIL + struct.pack("<Q", size) + body + bytes(-len(body) % 8)


def _w64(fmt: bytes, data: bytes, *chunks: bytes) -> bytes:
    """A Sony Wave64 file: GUID chunks with 64-bit sizes that count their header."""
    body = (b"wave" + _W64_GUID_TAIL + _w64_chunk(b"fmt ", fmt) + b"".join(chunks)
            + _w64_chunk(b"data", data))
    riff = bytes.fromhex("72696666" "2e91cf11a5d628db04c10000")
    return riff + struct.pack("<Q", 24 + len(body)) + body


def _rate80(rate: int) -> bytes:
    exponent = rate.bit_length() - 1
    return struct.pack(">HQ", 16383 + exponent, rate << (63 - exponent))


def _aifc(compression: bytes, frames: int, bits: int, sound_bytes: bytes, *, channels: int = 1,
          rate: int = 22050, offset: int = 0, ssnd_size: int | None = None) -> bytes:
    """An AIFC of the COMPRESSION type; the SSND chunk's data starts OFFSET
    bytes in and its size field, when given, is SSND_SIZE."""
    comm = struct.pack(">hIh", channels, frames, bits) + _rate80(rate) + compression + b"\x00\x00"
    ssnd = struct.pack(">II", offset, 0) + sound_bytes
    body = (b"AIFC" + _chunk(b"COMM", comm, endian=">")
            + _chunk(b"SSND", ssnd, size=ssnd_size, endian=">"))
    return b"FORM" + struct.pack(">I", len(body)) + body


def _tone(frames: int, channels: int = 1) -> bytes:
    """FRAMES 16-bit frames of a tone at half scale."""
    import math

    return b"".join(struct.pack("<h", int(16000 * math.sin(i / 8))) * channels for i in range(frames))


def _adpcm_block(channels: int, block: int, predictor: int = 0) -> bytes:
    """An MS-ADPCM block: its header (predictor, delta, two samples per
    channel), then nibbles."""
    head = bytes([predictor] * channels) + struct.pack("<h", 16) * channels + bytes(4 * channels)
    return head + bytes(range(256))[: block - len(head)].ljust(block - len(head), b"\x11")


def _adpcm_fmt(channels: int, block: int, bits: int = 4) -> bytes:
    coefs = struct.pack("<14h", 256, 0, 512, -256, 0, 0, 192, 64, 240, 0, 460, -208, 392, -232)
    per_block = (block - 7 * channels) * 2 // channels + 2
    return _fmt(2, channels, 22050, bits, block=block, extra=struct.pack("<HH", per_block, 7) + coefs)


def _ima_block(channels: int, block: int, step: int = 0) -> bytes:
    head = (struct.pack("<hBB", 0, step, 0)) * channels
    return head + bytes(range(256))[: block - len(head)].ljust(block - len(head), b"\x22")


def _ima_fmt(channels: int, block: int, bits: int = 4) -> bytes:
    per_block = (block - 4 * channels) * 2 // channels + 1
    return _fmt(0x11, channels, 22050, bits, block=block, extra=struct.pack("<H", per_block))


def _fact(frames: int) -> bytes:
    return _chunk(b"fact", struct.pack("<I", frames))


# Good files of every container and codec dr_wav reads, as real encoders
# write them: they load, reach raylib and play.
def good_wavs() -> dict[str, bytes]:
    tone = _tone(2000)
    stereo = _tone(2000, 2)
    f32 = b"".join(struct.pack("<f", v / 32768) for (v,) in struct.iter_unpack("<h", tone))
    f64 = b"".join(struct.pack("<d", v / 32768) for (v,) in struct.iter_unpack("<h", tone))
    s24 = b"".join(struct.pack("<i", v << 8)[:3] for (v,) in struct.iter_unpack("<h", tone))
    s32 = b"".join(struct.pack("<i", v << 16) for (v,) in struct.iter_unpack("<h", tone))
    u8 = bytes((v >> 8) + 128 for (v,) in struct.iter_unpack("<h", tone))
    be16 = b"".join(struct.pack(">h", v) for (v,) in struct.iter_unpack("<h", tone))
    return {
        "pcm8": _riff(_fmt(1, 1, 22050, 8), u8),
        "pcm16_stereo": _riff(_fmt(1, 2, 44100, 16), stereo),
        "pcm24": _riff(_fmt(1, 1, 22050, 24), s24),
        "pcm32": _riff(_fmt(1, 1, 22050, 32), s32),
        # 12 bits in 16-bit containers, as recorders write them.
        "pcm12": _riff(_fmt(1, 1, 22050, 12, block=2), tone),
        # Chunks encoders put before the data: an odd-sized LIST (padded),
        # JUNK and a broadcast extension.
        "chunks_before_data": _riff(_fmt(1, 1, 22050, 16), tone, _chunk(b"JUNK", bytes(28)),
                                    _chunk(b"bext", bytes(602)), _chunk(b"LIST", b"INFOISFT\x05\x00\x00\x00lavf\x00")),
        "extensible_pcm24_3ch": _riff(_extensible(1, 3, 48000, 24), s24 * 3),
        "float32": _riff(_fmt(3, 1, 22050, 32), f32, _fact(2000)),
        "alaw": _riff(_fmt(6, 1, 8000, 8), bytes(range(256)) * 8, _fact(2048)),
        "mulaw": _riff(_fmt(7, 2, 8000, 8), bytes(range(256)) * 8, _fact(1024)),
        "ms_adpcm": _riff(_adpcm_fmt(1, 256), _adpcm_block(1, 256) * 8, _fact(8 * 500)),
        "ms_adpcm_stereo": _riff(_adpcm_fmt(2, 512), _adpcm_block(2, 512) * 4, _fact(4 * 500)),
        "ima_adpcm": _riff(_ima_fmt(1, 256), _ima_block(1, 256) * 8, _fact(8 * 505)),
        "ima_adpcm_stereo": _riff(_ima_fmt(2, 512), _ima_block(2, 512) * 4, _fact(4 * 505)),
        "extensible_pcm16": _riff(_extensible(1, 2, 48000, 16), stereo),
        "extensible_pcm24_in_32": _riff(_extensible(1, 1, 48000, 32, valid_bits=24), s32),
        "extensible_float32": _riff(_extensible(3, 1, 48000, 32), f32),
        "rifx": _riff(_fmt(1, 1, 22050, 16, endian=">"), be16, magic=b"RIFX", endian=">"),
        "rf64": _rf64(_fmt(1, 1, 22050, 16), tone, 2000),
        "w64": _w64(_fmt(1, 1, 22050, 16), tone),
        "w64_float32": _w64(_fmt(3, 1, 22050, 32), f32, _w64_chunk(b"fact", struct.pack("<Q", 2000))),
        "aiff": _aiff(2000, be16),
        "aifc_none": _aifc(b"NONE", 2000, 16, be16),
        "aifc_sowt": _aifc(b"sowt", 2000, 16, tone),
        "aifc_fl32": _aifc(b"fl32", 2000, 32, b"".join(struct.pack(">f", v / 32768) for (v,) in struct.iter_unpack("<h", tone))),
        "aifc_ulaw": _aifc(b"ulaw", 2048, 16, bytes(range(256)) * 8),
        # Cut short of the frames it declares, not empty: plays what is there.
        "aifc_short": _aifc(b"NONE", 100_000, 16, be16),
        "rf64_short": _rf64(_fmt(1, 1, 22050, 16), tone, 100_000),
        # 64-bit float: a sound converts it; a stream cannot hold it.
        "float64": _riff(_fmt(3, 1, 22050, 64), f64, _fact(2000)),
    }


# Good files also among the hostile ones, to load many times with the rest.
GOOD_WAV = ("good_pcm24_wav", "good_ms_adpcm_wav", "good_w64_wav", "good_aifc_sowt_wav")

# Shapes that break raylib: by name, the file, and the classes that refuse it.
_MUSIC = ("Music",)
_BOTH = ("Music", "Sound")
# A raylib with lumabo's mends streams samples wider than 32 bits as floats.
_WIDE = () if support.raylib_mended() else _MUSIC


def hostile_wavs() -> dict[str, tuple[bytes, tuple[str, ...]]]:
    tone = _tone(2000)
    f64 = bytes(8 * 4000)
    return {
        # Samples of more than 32 bits: the stream's buffer is made for
        # 32-bit floats, each refill copies 5 to 8 bytes a sample into it
        # (in a raylib without lumabo's mends).
        "float64": (_riff(_fmt(3, 1, 22050, 64), f64), _WIDE),
        "pcm40": (_riff(_fmt(1, 1, 22050, 40), bytes(5 * 4000)), _WIDE),
        "pcm48_stereo": (_riff(_fmt(1, 2, 22050, 48), bytes(12 * 4000)), _WIDE),
        "pcm64": (_riff(_fmt(1, 1, 22050, 64), f64), _WIDE),
        "extensible_float64": (_riff(_extensible(3, 2, 48000, 64), f64), _WIDE),
        "w64_float64": (_w64(_fmt(3, 1, 22050, 64), f64), _WIDE),
        "aifc_fl64": (_aifc(b"fl64", 4000, 64, f64), _WIDE),
        # Codecs dr_wav does not decode: every refill rereads nothing.
        "mp3_tag": (_riff(_fmt(0x55, 1, 22050, 16), bytes(8000)), _BOTH),
        "unknown_subformat": (_riff(_extensible(0x1234, 1, 22050, 16), tone), _BOTH),
        "extensible_no_subformat": (_riff(_fmt(0xFFFE, 1, 22050, 16, extra=bytes(22)), tone), _BOTH),
        # A first block dr_wav gives up on: an MS-ADPCM predictor past the
        # table of 7, an IMA step index past the table of 89.
        "adpcm_bad_predictor": (_riff(_adpcm_fmt(1, 256, bits=16), _adpcm_block(1, 256, predictor=7) * 8), _BOTH),
        "adpcm_bad_predictor_stereo": (_riff(_adpcm_fmt(2, 512), _adpcm_block(2, 512, predictor=200) * 4), _BOTH),
        "ima_bad_step": (_riff(_ima_fmt(1, 256, bits=16), _ima_block(1, 256, step=89) * 8), _BOTH),
        # Frames declared with no data behind them.
        "rf64_promise": (_rf64(_fmt(1, 1, 22050, 16), b"", 1000), _BOTH),
        "w64_promise": (_w64(_fmt(1, 1, 22050, 16), b"", _w64_chunk(b"fact", struct.pack("<Q", 1000))), _BOTH),
        "aifc_promise": (_aifc(b"sowt", 1000, 16, b""), _BOTH),
        # Data that starts past the end of the file: read from disk, dr_wav
        # takes it for 4 GiB of data that reads nothing (in memory it gives up).
        "ssnd_offset_past_end": (_aifc(b"NONE", 1000, 16, tone, offset=1 << 20), _MUSIC),
        # A chunk size that wraps dr_wav's walk: a fmt chunk of nearly 4 GiB
        # seeks back by an int to its own header and reads it forever; a W64
        # chunk size below its header's seeks ahead by nearly 2^64, in steps
        # of 2 GiB through a file.
        "fmt_seeks_back": (_riff(_fmt(1, 1, 22050, 16) + bytes(2), tone)[:12] + b"fmt " + struct.pack("<I", 0xFFFFFFF8)
                           + _fmt(1, 1, 22050, 16) + bytes(2) + _chunk(b"data", tone), _BOTH),
        "w64_chunk_wraps": (_w64(_fmt(1, 1, 22050, 16), tone, _w64_chunk(b"junk", b"", size=8)), _MUSIC),
        "ssnd_size_wraps": (_aifc(b"NONE", 1000, 16, b"", ssnd_size=4) + tone, _MUSIC),
    }


# Of those, the faults of dr_wav's walk that only a file read from disk
# meets: in memory a seek past the end fails, and dr_wav stops its walk
# there or gives up on the file. A Music from memory leaves them to raylib.
ON_DISK_ONLY_WAV = ("ssnd_offset_past_end", "w64_chunk_wraps", "ssnd_size_wraps")

WAV_CASES: tuple[str, ...] = (
    tuple(f"good_{name}_wav" for name in good_wavs() if f"good_{name}_wav" in GOOD_WAV)
    + tuple(f"{name}_wav" for name in hostile_wavs())
)
REFUSED_WAV: set[tuple[str, str]] = {
    (cls, f"{name}_wav") for name, (_, classes) in hostile_wavs().items() for cls in classes
} | {(cls, "aiff_promise_wav") for cls in _BOTH}


def _put_wav_cases(put) -> None:
    for name, data in good_wavs().items():
        if f"good_{name}_wav" in GOOD_WAV:
            put(f"good_{name}.wav", data)
    for name, (data, _) in hostile_wavs().items():
        put(f"{name}.wav", data)


def _mod(*, patterns: list[bytes] | None = None, order: list[int] | None = None, length: int | None = None,
         samples: list[tuple[int, int, int]] | None = None, signature: bytes = b"M.K.",
         data: bytes | None = None) -> bytes:
    """A 4-channel MOD. PATTERNS are 64 rows of cells (see _mod_pattern);
    ORDER the order table, LENGTH (default: len(ORDER)) its song length;
    SAMPLES (length, loop start, loop length) in words, with DATA (default:
    a square wave as long as the samples)."""
    patterns = patterns if patterns is not None else [_mod_pattern({})]
    order = order if order is not None else [0]
    samples = samples if samples is not None else [(500, 0, 500)]
    header = bytes(20)
    for i in range(31):
        words, loop_start, loop_length = samples[i] if i < len(samples) else (0, 0, 1)
        header += bytes(22) + struct.pack(">HBBHH", words, 0, 64, loop_start, loop_length)
    header += bytes([len(order) if length is None else length, 127]) + bytes(order).ljust(128, b"\0") + signature
    if data is None:
        data = b"".join((b"\x40" * 16 + b"\xc0" * 16) * (2 * words // 32 + 1) for words, _, _ in samples)
        data = bytes(data[: 2 * sum(words for words, _, _ in samples)])
    return header + b"".join(patterns) + data


def _mod_pattern(cells: dict[tuple[int, int], tuple[int, int, int, int]]) -> bytes:
    """64 rows of 4 channels; CELLS maps (row, channel) to (sample, period,
    effect, parameter). Row 0 of channel 0 plays sample 1 by default."""
    cells = {(0, 0): (1, 428, 0, 0), **cells}
    out = bytearray()
    for row in range(64):
        for channel in range(4):
            sample, period, effect, param = cells.get((row, channel), (0, 0, 0, 0))
            out += bytes([(sample & 0xF0) | (period >> 8), period & 0xFF, ((sample & 0xF) << 4) | effect, param])
    return bytes(out)


def _xm_pattern(rows: int, channels: int, cells: dict[tuple[int, int], tuple[int, int, int, int, int]] | None = None,
                *, extra: bytes = b"") -> bytes:
    """A packed XM pattern; CELLS maps (row, channel) to (note, instrument,
    volume, effect, parameter), every other slot empty. EXTRA is packed data
    past the pattern's slots."""
    cells = cells if cells is not None else {(0, 0): (49, 1, 0, 0, 0)}
    packed = bytearray()
    for row in range(rows):
        for channel in range(channels):
            cell = cells.get((row, channel))
            packed += bytes(cell) if cell else b"\x80"
    packed += extra
    return struct.pack("<IBHH", 9, 0, rows, len(packed)) + packed


def _xm_instrument(samples: list[tuple[int, int, int, int]] | None = None, *, points: int = 2,
                   envelope_flags: int = 1, loop_points: tuple[int, int, int] = (0, 0, 1)) -> bytes:
    """An XM instrument with a volume envelope of POINTS points; SAMPLES
    (length in bytes, loop start, loop length, type flags), each an 8-bit
    (or, with flag 0x10, 16-bit) square wave of that length."""
    samples = samples if samples is not None else [(1000, 0, 1000, 1)]
    envelope = b"".join(struct.pack("<HH", 8 * i, 64 - 16 * (i % 2)) for i in range(12))
    head = (bytes(22) + b"\0" + struct.pack("<HI", len(samples), 40) + bytes(96) + envelope + bytes(48)
            + bytes([points, 0, *loop_points, 0, 0, 0, envelope_flags, 0]) + bytes(4) + struct.pack("<H", 0x100)
            + bytes(22))
    out = struct.pack("<I", 4 + len(head)) + head
    data = b""
    for length, loop_start, loop_length, flags in samples:
        out += struct.pack("<IIIBbBBbB", length, loop_start, loop_length, 64, 0, flags, 128, 0, 0) + bytes(22)
        # Delta-coded: one step up, then one down every 16 samples.
        width = 2 if flags & 0x10 else 1
        step = (b"\x00\x40" if width == 2 else b"\x40")
        back = (b"\x00\xc0" if width == 2 else b"\xc0")
        wave = (step + bytes(width * 15) + back + bytes(width * 15)) * (length // (32 * width) + 1)
        data += wave[:length]
    return out + data


def _xm(*, length: int = 1, restart: int = 0, channels: int = 2, patterns: list[bytes] | None = None,
        instruments: list[bytes] | None = None, tempo: int = 6, bpm: int = 125, order: list[int] | None = None,
        pattern_count: int | None = None) -> bytes:
    """An XM 1.04 module; PATTERN_COUNT, when given, is the count its header
    declares."""
    patterns = patterns if patterns is not None else [_xm_pattern(16, channels)]
    instruments = instruments if instruments is not None else [_xm_instrument()]
    order = order if order is not None else [0] * max(length, 1)
    name = b"lumabo".ljust(20, b"\0")
    head = b"Extended Module: " + name + b"\x1a" + name + struct.pack("<H", 0x104)
    count = len(patterns) if pattern_count is None else pattern_count
    module = struct.pack("<HHHHHHHH", length, restart, channels, count, len(instruments), 1, tempo, bpm)
    module += bytes(order[:256]).ljust(256, b"\0")
    return head + struct.pack("<I", 4 + len(module)) + module + b"".join(patterns) + b"".join(instruments)


# XM and MOD shapes, written by _put_tracker_cases; those lumabo refuses.
TRACKER_CASES: tuple[str, ...] = (
    "plain_mod", "jump_loop_mod", "break_loop_mod", "pattern_loop_mod", "old_mod", "short_mod", "empty_song_mod",
    "long_song_mod", "far_break_mod", "loop_past_sample_mod", "cut_sample_mod", "wild_order_mod",
    "plain_xm", "jump_xm", "loop_start_xm", "stereo_xm", "zero_length_xm", "missing_pattern_xm", "slow_speed_xm",
    "slow_bpm_xm", "restart_past_xm", "overfull_pattern_xm", "empty_pattern_xm", "many_points_xm",
    "loop_past_sample_xm", "many_channels_xm", "long_order_xm", "far_break_xm", "cut_sample_xm", "huge_sample_xm", "long_last_pattern_xm",
    "wide_stereo_xm", "wide_stereo_late_loop_xm", "cut_short_xm",
)
# Good modules among them: they load, and play.
TRACKER_GOOD = ("plain_mod", "jump_loop_mod", "break_loop_mod", "pattern_loop_mod", "old_mod", "plain_xm", "jump_xm",
                "loop_start_xm", "stereo_xm", "wide_stereo_xm", "cut_short_xm")
REFUSED_TRACKER: set[tuple[str, str]] = {
    ("Music", name) for name in TRACKER_CASES if name not in TRACKER_GOOD
} | {
    # Random bytes read as a 15-sample MOD name patterns past the 128 kept.
    ("Music", "random_mod"),
}


def _put_tracker_cases(put) -> None:
    # MOD: a song of one pattern, one looping sample.
    put("plain.mod", _mod())
    # Ordinary looping songs: a jump back to the start (B00) on the last
    # row, a pattern break (D00) half way; raylib measures the length by
    # playing up to a loop that only the song's end counted as one.
    put("jump_loop.mod", _mod(patterns=[_mod_pattern({(63, 1): (0, 0, 0xB, 0)})]))
    put("break_loop.mod", _mod(patterns=[_mod_pattern({(31, 1): (0, 0, 0xD, 0)})]))
    # A pattern loop (E60 at row 0, E62 at row 15) and then the end: its rows
    # repeat without the song looping.
    put("pattern_loop.mod", _mod(patterns=[_mod_pattern({(0, 2): (0, 0, 0xE, 0x60), (15, 2): (0, 0, 0xE, 0x62)})]))
    # The oldest shape: 15 samples, no signature.
    old = _mod()
    put("old.mod", old[:20] + old[20:470] + old[950:1080] + old[1084:])
    # Smaller than the header raylib copies out of it.
    put("short.mod", _mod()[:600])
    put("empty_song.mod", _mod(length=0))
    # The song length past the order table: raylib plays the signature's
    # bytes as order entries.
    put("long_song.mod", _mod(length=200))
    # A pattern break to row 99: raylib reads rows past the pattern, and past the file.
    put("far_break.mod", _mod(patterns=[_mod_pattern({(1, 1): (0, 0, 0xD, 0x99)})]))
    # A loop that starts past its sample: raylib's loop length wraps round.
    put("loop_past_sample.mod", _mod(samples=[(100, 300, 50)]))
    put("cut_sample.mod", _mod()[:-200])
    # An order entry past the 128 patterns raylib keeps room for, in a file
    # that holds them all.
    put("wild_order.mod", _mod(patterns=[_mod_pattern({})] * 201, order=[0, 200]))

    # XM: a song of one pattern, one instrument with an envelope and a
    # looping sample; with a jump back (B00), whose length is measured to the jump.
    put("plain.xm", _xm())
    put("jump.xm", _xm(length=2, order=[0, 0], patterns=[_xm_pattern(16, 2, {(0, 0): (49, 1, 0, 0, 0),
                                                                             (7, 1): (0, 0, 0, 0xB, 0)})]))
    # A pattern loop from row 32 of a long pattern, after a short one: FT2
    # (and raylib) begin the pattern after it at row 32 too, which the long
    # pattern played next (and restarted at) has.
    put("loop_start.xm", _xm(length=3, order=[0, 1, 1], restart=1, patterns=[
        _xm_pattern(16, 2), _xm_pattern(64, 2, {(0, 0): (49, 1, 0, 0, 0), (32, 1): (0, 0, 0, 0xE, 0x60),
                                                (40, 1): (0, 0, 0, 0xE, 0x61)})]))
    # Stereo samples (OpenMPT writes them), 8- and 16-bit, looped whole. A
    # 16-bit one looped from three quarters raylib takes for a loop at one
    # and a half of its length, and plays from past its data.
    put("stereo.xm", _xm(instruments=[_xm_instrument([(4000, 0, 4000, 0x21)])]))
    put("wide_stereo.xm", _xm(instruments=[_xm_instrument([(4000, 0, 4000, 0x31)])]))
    put("wide_stereo_late_loop.xm", _xm(instruments=[_xm_instrument([(4000, 3000, 1000, 0x31)])]))
    # No order entry: raylib plays a pattern the table does not name and
    # counts its rows in no room at all.
    put("zero_length.xm", _xm(length=0))
    # An order entry past the patterns (not the last one, which raylib drops).
    put("missing_pattern.xm", _xm(length=2, order=[3, 0]))
    # Speed 0xFFFF: raylib measures the length tick by tick, 65535 a row,
    # for as long as it takes (days, here). At bpm 1 each tick lasts 2.5 s.
    put("slow_speed.xm", _xm(tempo=0xFFFF, length=200, patterns=[_xm_pattern(200, 2)]))
    put("slow_bpm.xm", _xm(bpm=1))
    # The song restarts past its end: raylib reads the order table there.
    put("restart_past.xm", _xm(length=2, order=[0, 0], restart=5))
    # Packed data of more slots than the pattern has rows for.
    put("overfull_pattern.xm", _xm(patterns=[_xm_pattern(16, 2, extra=b"\x80" * 4000)]))
    put("empty_pattern.xm", _xm(patterns=[_xm_pattern(0, 2, {})]))
    # An envelope of 200 points into room for 12.
    put("many_points.xm", _xm(instruments=[_xm_instrument(points=200)]))
    put("loop_past_sample.xm", _xm(instruments=[_xm_instrument([(1000, 5000, 100, 1)])]))
    # 256 channels and 256 order entries: raylib counts both in a byte.
    put("many_channels.xm", _xm(channels=256, patterns=[_xm_pattern(1, 256)]))
    put("long_order.xm", _xm(length=256, order=[0] * 256))
    # A pattern break to row 40 of a 16-row pattern.
    put("far_break.xm", _xm(patterns=[_xm_pattern(16, 2, {(0, 0): (49, 1, 0, 0xD, 0x40)})]))
    # Cut 300 bytes short, raylib reads the rest of the sample as silence;
    # cut to 2000 bytes of a sample of 100 000, it allocates for all of it.
    put("cut_short.xm", _xm()[:-300])
    put("cut_sample.xm", _xm(instruments=[_xm_instrument([(100_000, 0, 0, 0)])])[:2000])
    # A sample of 4 GiB declared in a small file: raylib allocates for it.
    put("huge_sample.xm", _xm(instruments=[_xm_instrument([(1000, 0, 1000, 1)])]).replace(
        struct.pack("<III", 1000, 0, 1000), struct.pack("<III", 0xFFFFFFF0, 0, 1000)))
    # The last order entry a 256-row pattern: raylib's play counters for its
    # last rows lie past its allocation.
    put("long_last_pattern.xm", _xm(patterns=[_xm_pattern(256, 2)]))


# Ogg Vorbis shapes, written by _put_ogg_cases: oggenc's files (the fuzz
# seeds) with their comment header rewritten, and the files lumabo refuses.
OGG_SEEDS = HERE / "fuzz" / "seeds" / "ogg"


def _ogg_crc(data: bytes) -> int:
    crc = 0
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = (crc << 1 ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc


def _ogg_page(flag: int, granule: int, serial: int, seq: int, lacing: bytes, body: bytes) -> bytes:
    head = b"OggS" + struct.pack("<BBqIII", 0, flag, granule, serial, seq, 0) + bytes([len(lacing)]) + lacing
    page = head + body
    return page[:22] + struct.pack("<I", _ogg_crc(page)) + page[26:]


def _ogg_packets(data: bytes) -> tuple[list[bytes], list[tuple[int, int, bytes, bytes]]]:
    """The three header packets of an Ogg Vorbis file, and the pages after
    them as (flag, granule, lacing, body)."""
    packets, pages, at, current = [], [], 0, b""
    while at < len(data):
        flag, granule = struct.unpack_from("<Bq", data, at + 5)
        lacing = data[at + 27:at + 27 + data[at + 26]]
        body = data[at + 27 + len(lacing):at + 27 + len(lacing) + sum(lacing)]
        at += 27 + len(lacing) + len(body)
        if len(packets) == 3:
            pages.append((flag, granule, lacing, body))
            continue
        offset = 0
        for value in lacing:
            current += body[offset:offset + value]
            offset += value
            if value < 255:
                packets.append(current)
                current = b""
    return packets, pages


def _ogg(seed: str, comment: bytes | None = None, *, patch: dict[int, int] | None = None) -> bytes:
    """The seed file SEED, with COMMENT for its comment header, paged as
    libogg pages it (the identification header alone on the first page, the
    other two after it on pages they share, up to 255 segments a page);
    PATCH sets bytes of the setup header."""
    data = (OGG_SEEDS / seed).read_bytes()
    packets, pages = _ogg_packets(data)
    serial = struct.unpack_from("<I", data, 14)[0]
    if comment is not None:
        packets[1] = comment
    setup = bytearray(packets[2])
    for at, value in (patch or {}).items():
        setup[at] = value
    packets[2] = bytes(setup)
    out = [_ogg_page(2, 0, serial, 0, bytes([len(packets[0])]), packets[0])]
    lacing = b"".join(bytes([255] * (len(p) // 255) + [len(p) % 255]) for p in packets[1:])
    body = packets[1] + packets[2]
    continued = 0
    while lacing:
        part, lacing = lacing[:255], lacing[255:]
        out.append(_ogg_page(continued, 0, serial, len(out), part, body[:sum(part)]))
        body = body[sum(part):]
        continued = 0 if part[-1] < 255 else 1
    for flag, granule, page_lacing, page_body in pages:
        out.append(_ogg_page(flag, granule, serial, len(out), page_lacing, page_body))
    return b"".join(out)


def _ogg_comment(vendor: bytes, comments: list[bytes], *, vendor_length: int | None = None,
                 count: int | None = None, lengths: dict[int, int] | None = None) -> bytes:
    """A comment header; the lengths given replace the true ones."""
    out = b"\x03vorbis" + struct.pack("<I", len(vendor) if vendor_length is None else vendor_length) + vendor
    out += struct.pack("<I", len(comments) if count is None else count)
    for i, comment in enumerate(comments):
        out += struct.pack("<I", (lengths or {}).get(i, len(comment))) + comment
    return out + b"\x01"


OGG_VENDOR = b"Xiph.Org libVorbis I 20200704 (Reducing Environment)"


def ogg_cases() -> dict[str, tuple[bytes, bool]]:
    """The Ogg Vorbis files by name (without the _ogg suffix), each with
    whether lumabo refuses it, for either class."""
    tags = [b"TITLE=tone", b"ARTIST=lumabo"]
    # Cover art as oggenc's --picture writes it: a comment of 200 kB, over four pages.
    picture = b"METADATA_BLOCK_PICTURE=" + bytes(range(256)) * 800
    return {
        # The controls: oggenc's files, and one of tags and cover art.
        "good_mono": (_ogg("oggenc-mono.ogg"), False),
        "good_stereo": (_ogg("oggenc-stereo.ogg"), False),
        "good_cover_art": (_ogg("oggenc-mono.ogg", _ogg_comment(OGG_VENDOR, [*tags, picture])), False),
        "good_no_tags": (_ogg("oggenc-stereo.ogg", _ogg_comment(b"", [])), False),
        # A vendor length of a gigabyte: stb_vorbis allocates it and reads it
        # byte by byte past the packet (seconds a load).
        "huge_vendor": (_ogg("oggenc-mono.ogg", _ogg_comment(OGG_VENDOR, tags, vendor_length=0x43420034)), True),
        # The same of a comment's length, after the picture's pages.
        "huge_tag": (_ogg("oggenc-mono.ogg", _ogg_comment(OGG_VENDOR, [picture, *tags], lengths={2: 0x7FFFFFF0})),
                     True),
        # A length just past the end of the packet.
        "tag_past_packet": (_ogg("oggenc-mono.ogg", _ogg_comment(OGG_VENDOR, tags, lengths={1: 15})), True),
        # A count of 700 million comments over two: stb_vorbis fails the third
        # and frees the rest of a list it never cleared (the process aborts).
        "huge_count": (_ogg("oggenc-mono.ogg", _ogg_comment(OGG_VENDOR, tags, count=0x29746E65)), True),
        # A sparse codebook whose lengths are not a Huffman tree (a byte of
        # the setup header changed): stb_vorbis fails it and leaks the lengths.
        "bad_sparse_codebook": (_ogg("oggenc-stereo.ogg", patch={1832: 7}), False),
    }


OGG_CASES: tuple[str, ...] = tuple(f"{name}_ogg" for name in ogg_cases())
OGG_GOOD = tuple(f"{name}_ogg" for name in ogg_cases() if name.startswith("good_"))
REFUSED_OGG: set[tuple[str, str]] = {
    (cls, f"{name}_ogg") for name, (_, refused) in ogg_cases().items() if refused for cls in ("Music", "Sound")
}


def _put_ogg_cases(put) -> None:
    for name, (data, _) in ogg_cases().items():
        put(f"{name}.ogg", data)


# Files that only a raylib with lumabo's mends (distrib/patches) reads to a
# clean end; with another raylib their tests are skipped, with the reason.
NEEDS_MENDED_RAYLIB: dict[tuple[str, str], str] = {
    # raylib measures a MOD's length by playing it to a loop that a jump
    # back (B00) or a pattern break (D00) never counts as one.
    ("Music", "jump_loop_mod"): "raylib's MOD length scan never ends on a loop by position jump",
    ("Music", "break_loop_mod"): "raylib's MOD length scan never ends on a loop by pattern break",
    # Seen by a sanitizer: stb_vorbis leaks a sparse codebook's lengths when
    # the setup header fails after them.
    **{(cls, "bad_sparse_codebook_ogg"): "stb_vorbis leaks a failed sparse codebook's lengths"
       for cls in ("Music", "Sound")},
}


CASES = (
    "empty_wav", "header_only_wav", "enormous_wav", "zero_rate_wav", "zero_channels_wav", "odd_bits_wav",
    "aiff_promise_wav", "aiff_short_wav", "long_qoa", "bad_magic_qoa", "truncated_qoa", "header_cut_qoa",
    "zero_samples_qoa", "enormous_qoa", "overfull_qoa", "cut_qoa", "empty_first_frame_qoa",
    "small_frame_qoa", "late_small_frame_qoa", "late_overfull_qoa", "many_channels_qoa", "cased_qoa",
    "random_wav", "random_qoa", "random_ogg",
    "random_mp3", "random_xm", "random_mod", "empty_file_ogg", "folder_wav", "folder_qoa",
) + WAV_CASES + TRACKER_CASES + OGG_CASES

# Good files among the hostile ones: they load, and play.
GOOD = ("long_qoa",) + GOOD_WAV + OGG_GOOD


# Files that crash or hang raylib itself for one class, whatever the wrapper
# does: the tests reproduce these; the fuzzing and torture corpora leave them
# out for that class.
RAYLIB_KILLS: dict[tuple[str, str], str] = {}


# QOA files that lumabo refuses before raylib sees them (raylib would keep
# the file open, read or write past a buffer, or allocate what the file
# cannot hold): the loaders return an empty object and never call raylib.
# The name decides whether raylib reads a file as QOA: LoadMusicStream
# takes ".QoA" too, LoadSound only ".qoa" and ".QOA".
REFUSED_QOA = {
    (cls, name)
    for name in (
        "bad_magic_qoa", "truncated_qoa", "header_cut_qoa", "zero_samples_qoa", "enormous_qoa",
        "overfull_qoa", "cut_qoa", "empty_first_frame_qoa", "small_frame_qoa", "late_small_frame_qoa",
        "late_overfull_qoa", "many_channels_qoa", "cased_qoa", "random_qoa", "folder_qoa",
    )
    for cls in ("Music", "Sound")
    # A stream decodes one frame at a time into room for one.
    if (cls, name) not in {("Sound", "cased_qoa"), ("Music", "late_overfull_qoa")}
}

# Every file lumabo refuses before raylib sees it.
REFUSED = REFUSED_QOA | REFUSED_WAV | REFUSED_TRACKER | REFUSED_OGG


def corpus(files: dict[str, Path], class_name: str) -> list[str]:
    """The hostile files a long run may load into CLASS_NAME many times: those
    that do not kill raylib."""
    return [os.fspath(p) for name, p in files.items() if (class_name, name) not in RAYLIB_KILLS]


def reaching_raylib(files: dict[str, Path], class_name: str) -> list[str]:
    """The files of the long-run corpus that CLASS_NAME hands to raylib's
    loader: all but those it refuses."""
    return [
        os.fspath(p) for name, p in files.items()
        if (class_name, name) not in RAYLIB_KILLS and (class_name, name) not in REFUSED
    ]


def write_files(directory: str | os.PathLike[str]) -> dict[str, Path]:
    """Writes the hostile files into DIRECTORY; returns them by case name."""
    d = Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    files: dict[str, Path] = {}

    def put(name: str, data: bytes) -> None:
        path = d / name
        path.write_bytes(data)
        files[name.replace(".", "_")] = path

    files["empty_wav"] = support.write_wav(d / "empty.wav", 0)
    # The data chunk promises a second of samples; the file ends after the header.
    put("header_only.wav", _wav_header(44100))
    # RIFF and data sizes near 4 GiB over a few real frames.
    put("enormous.wav", _wav_header(0xFFFFFFF0, riff_size=0xFFFFFFF8) + bytes(64))
    put("zero_rate.wav", _wav_header(64, rate=0) + bytes(64))
    put("zero_channels.wav", _wav_header(64, channels=0) + bytes(64))
    put("odd_bits.wav", _wav_header(64, bits=12) + bytes(64))
    # An AIFF (dr_wav reads it whatever the name) that declares frames it does not hold.
    put("aiff_promise.wav", _aiff(1000))
    put("aiff_short.wav", _aiff(100_000, bytes(200)))

    # A good stereo QOA of five frames, the control.
    long = support.write_qoa(d / "long.qoa", 1.0, channels=2).read_bytes()
    files["long_qoa"] = d / "long.qoa"
    tone = support.write_qoa(d / "tone.qoa", 0.2)
    good = tone.read_bytes()
    tone.unlink()
    put("bad_magic.qoa", b"qoax" + good[4:])
    put("truncated.qoa", good[:24])
    put("header_cut.qoa", good[:10])
    put("zero_samples.qoa", good[:4] + bytes(4) + good[8:])
    put("enormous.qoa", good[:4] + b"\xff\xff\xff\xf0" + good[8:])
    # Declares 100 samples over a frame of 4410: LoadSound decodes the frame
    # into room for 100.
    put("overfull.qoa", good[:4] + struct.pack(">I", 100) + good[8:])
    # Cut after its first frame: the declared samples are not there.
    put("cut.qoa", long[: len(long) // 2])
    # A first frame of no samples: the player, rewinding to it, reads on.
    put("empty_first_frame.qoa", _qoa(100, _qoa_frame(1, 0), _qoa_frame(1, 100)))
    # A first frame whose declared size is below its own header: the
    # decoder takes up to 65535 samples from it, into room for 5120.
    put("small_frame.qoa", _qoa(65535, _qoa_frame(1, 65535, size=0)) + bytes(400))
    # The same past a good first frame: the player decodes past its buffer,
    # and so does the loader (past the file and the declared samples).
    put("late_small_frame.qoa", _qoa(5220, _qoa_frame(1, 5120), _qoa_frame(1, 65535, size=0)[:8] + bytes(56)))
    # A second full frame where 100 samples remain: LoadSound decodes all of it.
    put("late_overfull.qoa", _qoa(5220, _qoa_frame(1, 5120), _qoa_frame(1, 5120)))
    # Sixteen channels: raylib's decoder keeps state for eight.
    put("many_channels.qoa", _qoa(100, _qoa_frame(16, 100)))
    # A bad magic under a name only the music loader takes for QOA.
    (d / "cased.QoA").write_bytes(b"qoax" + good[4:])
    files["cased_qoa"] = d / "cased.QoA"

    rng = random.Random(13)
    for ext in ("wav", "qoa", "ogg", "mp3", "xm", "mod"):
        put(f"random.{ext}", rng.randbytes(4096))
    put("empty_file.ogg", b"")

    _put_wav_cases(put)
    _put_tracker_cases(put)
    _put_ogg_cases(put)

    for ext in ("wav", "qoa"):
        folder = d / f"folder.{ext}"
        folder.mkdir(exist_ok=True)
        files[f"folder_{ext}"] = folder
    assert sorted(files) == sorted(CASES)
    return {name: files[name] for name in CASES}


# -- the child side ---------------------------------------------------------------------

# Seconds the audio thread is given to mix a playing object.
MIXING = 0.1

ACTIONS = ("load", "unload", "play", "update", "seek", "read", "len", "all")


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def _exercise(obj: object, action: str) -> None:
    if action == "all":
        for each in ACTIONS[2:-1]:
            _exercise(obj, each)
    elif action == "unload":
        obj.unload()  # type: ignore[attr-defined]
    elif action == "play":
        obj.play()  # type: ignore[attr-defined]
    elif action == "update":
        obj.play()  # type: ignore[attr-defined]
        if hasattr(obj, "time_played"):
            for _ in range(3):
                obj.update()  # type: ignore[attr-defined]
    elif action == "seek" and hasattr(obj, "seek"):
        obj.play()  # type: ignore[attr-defined]
        obj.seek(0.1)  # type: ignore[attr-defined]
    elif action == "read":
        if hasattr(obj, "time_played"):
            (obj.valid, obj.length, obj.time_played)  # type: ignore[attr-defined]
        else:
            (obj.valid, obj.frame_count, obj.playing)  # type: ignore[attr-defined]
    elif action == "len" and hasattr(obj, "time_played"):
        len(obj)  # type: ignore[arg-type]


def run(class_name: str, path: str, action: str, count: int, device_open: bool) -> dict[str, object]:
    from lumabo import device

    device.set_log_level(device.LOG_NONE)
    if class_name == "Music":
        from lumabo.music.music import Music as cls
    else:
        from lumabo.sound.sound import Sound as cls
    recorder = support.Recorder() if support.Recorder.available() else None
    if device_open:
        device.open_audio()
    load = "LoadMusicStream" if class_name == "Music" else "LoadSound"
    unload = "UnloadMusicStream" if class_name == "Music" else "UnloadSound"
    # One round first: raylib's own lasting descriptors (the device's) are open then.
    for round_count in (1, count):
        if recorder:
            recorder.clear()
        before = open_descriptors()
        valid = []
        for i in range(round_count):
            obj = cls.load(path)
            valid.append(obj.valid)
            _exercise(obj, action)
            if device_open and i == 0:
                # raylib mixes on its own thread: the first object of a
                # round plays there a while, so a fault in mixing shows.
                time.sleep(MIXING)
            del obj
        gc.collect()
        after = open_descriptors()
    result: dict[str, object] = {
        "fd_before": before,
        "fd_after": after,
        "valid": any(valid),
        "loads": recorder.count(load) if recorder else None,
        "unloads": recorder.count(unload) if recorder else None,
        "returned": (
            sum(1 for c in recorder.calls if c.name == load and c.result) if recorder else None
        ),
    }
    if device_open:
        device.close_audio()
    return result


if __name__ == "__main__":
    name, file_path, what, n, dev = sys.argv[1:6]
    print(json.dumps(run(name, file_path, what, int(n), dev == "open")), flush=True)
