"""Drive the window's mouse cursor and save a screenshot.

    python examples/cursor_window.py [SCREENSHOT.png]

Opens a small raylib window (under a private Xvfb when there is no display),
hides, shows, disables and enables the cursor while printing what the
`cursor` object reports, then saves the window to a PNG file.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import sys
import time
from collections.abc import Iterator

from lumabo import device
from lumabo.cursor.cursor import cursor


@contextlib.contextmanager
def display() -> Iterator[None]:
    """A display to open the window on: the user's, or a private Xvfb."""
    if os.environ.get("DISPLAY") or not shutil.which("Xvfb"):
        yield
        return
    number = 90 + os.getpid() % 100
    xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.environ["DISPLAY"] = f":{number}"
    try:
        for _ in range(100):  # wait for the server's socket
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                break
            time.sleep(0.05)
        yield
    finally:
        xvfb.terminate()
        xvfb.wait()
        del os.environ["DISPLAY"]


def frame(shade: int) -> None:
    device.begin_drawing()
    device.clear_background(shade, 80, 160)
    device.end_drawing()


def report(action: str) -> None:
    print(f"{action:<10} enabled={cursor.enabled!s:<5} hidden={cursor.hidden!s:<5} "
          f"on_screen={cursor.on_screen}")


def main(argv: list[str]) -> int:
    shot = argv[1] if len(argv) > 1 else "cursor.png"
    device.set_log_level(device.LOG_WARNING)
    with display(), device.window(320, 240, "lumabo cursor"):
        frame(40)
        report("start")
        for action in (cursor.hide, cursor.show, cursor.disable, cursor.enable):
            action()
            frame(40)
            report(action.__name__ + "()")
        device.take_screenshot(shot)
    print(f"screenshot saved to {shot}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
