"""Smoke test of an installed lumabo, run as a user's program would run it.

    python smoke.py            (a display in DISPLAY, e.g. under xvfb-run)

Checks that the package comes from the environment it was installed into
and that its modules run on the raylib it ships in lumabo.libs/; plays a
generated track and sound on raylib's audio device (its silent null backend
where there is no sound card); drives the cursor in a window; and pickles
the cursor. Prints a line per check and stops at the first failure.
"""

from __future__ import annotations

import importlib.metadata
import os
import pickle
import sys
import tempfile
import time
from pathlib import Path

import lumabo
from lumabo import device

# The examples' tone and WAV writer.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from play import tone, write_wav  # noqa: E402


def check(what: str, ok: bool, detail: object = "") -> None:
    print(f"{'ok' if ok else 'FAILED'}: {what}{f' ({detail})' if detail != '' else ''}", flush=True)
    if not ok:
        sys.exit(1)


def mapped(fragment: str) -> list[str]:
    """Paths of the shared objects mapped into this process whose name holds FRAGMENT."""
    with open("/proc/self/maps") as maps:
        paths = {line.split(maxsplit=5)[-1].strip() for line in maps if "/" in line}
    return sorted(p for p in paths if fragment in os.path.basename(p))


def check_install() -> None:
    package = Path(lumabo.__file__).resolve()
    check("lumabo is installed in this environment", package.is_relative_to(Path(sys.prefix).resolve()),
          package.parent)
    from lumabo.audio_stream import audio_stream  # noqa: F401
    from lumabo.cursor import cursor  # noqa: F401
    from lumabo.music import music  # noqa: F401
    from lumabo.sound import sound  # noqa: F401

    shipped = device.library_path().resolve()
    check("the modules run on the raylib in lumabo.libs/", mapped("libraylib") == [str(shipped)],
          ", ".join(mapped("libraylib")))
    # A wheel also ships GLFW there; an install built from source uses the system's.
    glfw = sorted(str(p.resolve()) for p in shipped.parent.glob("libglfw*"))
    if glfw:
        check("raylib runs on the GLFW in lumabo.libs/", mapped("libglfw") == glfw, ", ".join(mapped("libglfw")))
        # ... and carries their licences in its .dist-info.
        dist = importlib.metadata.distribution("lumabo")
        named = dist.metadata.get_all("License-File") or []
        present = [n for n in named if dist.read_text(f"licenses/{n}")]
        check("the licences of raylib and GLFW are installed",
              {"raylib/LICENSE", "glfw/LICENSE.md"} <= set(present), ", ".join(present))


def check_audio(folder: Path) -> None:
    from lumabo.music.music import Music
    from lumabo.sound.sound import Sound

    track = write_wav(folder / "track.wav", tone(1.0, [440.0]))
    with device.audio():
        check("the audio device is open", device.audio_ready())
        music = Music.load(str(track))
        check("Music.load", music.valid and abs(music.length - 1.0) < 0.01, f"length {music.length:.3f} s")
        music.looping = False
        music.volume = 0.5
        music.play()
        started = time.monotonic()
        while time.monotonic() - started < 0.3:
            music.update()
            time.sleep(0.01)
        check("the track plays", music.time_played > 0.1 and music.volume == 0.5,
              f"{music.time_played:.2f} s played")
        music.unload()
        check("Music.unload", not music.valid)

        sound = Sound.load(str(track))
        check("Sound.load", sound.valid and sound.frame_count > 0, f"{sound.frame_count} frames")
        fmt = sound.stream
        assert fmt is not None
        sound.update(bytes(sound.frame_count * fmt.channels * fmt.sample_size // 8), sound.frame_count)
        sound.play()
        alias = Sound.load_alias(sound)
        alias.play()
        check("a sound and its alias play", sound.playing and alias.playing and alias.is_alias)
        alias.unload()
        sound.unload()
        check("Sound.unload", not sound.valid)


def check_cursor() -> None:
    from lumabo.cursor.cursor import Cursor, cursor

    def frame() -> None:
        device.begin_drawing()
        device.clear_background(30, 60, 90)
        device.end_drawing()

    with device.window(320, 240, "lumabo smoke test"):
        frame()
        seen = []
        for action in (cursor.hide, cursor.show, cursor.disable, cursor.enable):
            action()
            frame()
            seen.append((action.__name__, cursor.hidden, cursor.enabled))
        # raylib hides the cursor it disables, and shows it again on enable.
        expected = [("hide", True, True), ("show", False, True), ("disable", True, False),
                    ("enable", False, True)]
        check("the cursor follows hide, show, disable, enable", seen == expected, seen)

        copies = [pickle.loads(pickle.dumps(cursor, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
        check("a Cursor survives a pickle round trip",
              all(type(c) is Cursor and c.enabled and not c.hidden for c in copies),
              f"protocols 0 to {pickle.HIGHEST_PROTOCOL}")


def main() -> int:
    device.set_log_level(device.LOG_WARNING)
    print(f"Python {sys.version.split()[0]} at {sys.executable}")
    check_install()
    with tempfile.TemporaryDirectory() as tmp:
        check_audio(Path(tmp))
    if not os.environ.get("DISPLAY"):
        check("a display for the cursor's window", False, "DISPLAY is not set")
    check_cursor()
    print(f"glfw: {', '.join(mapped('libglfw')) or 'not loaded'}")
    print("smoke test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
