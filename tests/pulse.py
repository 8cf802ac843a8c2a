"""A private PulseAudio server for hearing what lumabo plays.

PulseServer runs the PulseAudio daemon in user mode with one null sink, its
socket, state and log in a folder of the caller's, and records the sink's
monitor: what a listener would hear, as samples. Nothing outlives stop() (or
the ``with`` block); the pytest fixture ``pulse_server`` (conftest.py) wraps it.

    with PulseServer(tmp_path) as server:
        with server.record() as rec:
            subprocess.run([sys.executable, "player.py"], env=server.client_env())
        rec.samples                 # float array (frames, channels), -1..1
        for start, end in sounding(rec.samples, rec.rate):
            ...                     # each stretch of sound, in seconds

raylib's audio device belongs to the process, so the playing is done in a
child process whose environment names the server (client_env()).

The analysis helpers below (sounding, frequency, peaks, level) need numpy.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import socket
import subprocess
import time
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from support import stop_process


class PulseUnavailable(RuntimeError):
    """The daemon is not installed or did not start; the message says why."""


class Recording:
    """What parec took from the sink's monitor, as signed 16-bit frames.

    ``samples`` reads the file once recording has stopped.
    """

    def __init__(self, path: Path, rate: int, channels: int) -> None:
        self.path = path
        self.rate = rate
        self.channels = channels

    @property
    def samples(self) -> Any:
        import numpy as np

        raw = np.frombuffer(self.path.read_bytes(), dtype="<i2")
        raw = raw[: len(raw) - len(raw) % self.channels]
        return raw.reshape(-1, self.channels).astype(np.float32) / 32768.0

    @property
    def seconds(self) -> float:
        return self.path.stat().st_size / (2 * self.channels * self.rate)


class PulseServer:
    """A PulseAudio daemon of its own with one null sink, started and stopped by the caller.

    folder   holds the daemon's runtime and state directories, its log
             (pulse.log) and, unless ``socket`` is given, its socket (native).
    socket   where the daemon listens; clients reach it as ``server``
             ("unix:PATH"). Put it where a program looks for a desktop's
             server ($XDG_RUNTIME_DIR/pulse/native) to be found as one.
    sink     the null sink's name; its monitor source is SINK.monitor.
    rate, channels   the sink's sample format (16-bit), and the recording's.

    Any client is let in (no cookie). start() raises PulseUnavailable when
    the daemon is missing or does not come up, with the log's tail.
    """

    def __init__(
        self,
        folder: str | os.PathLike[str],
        *,
        socket: str | os.PathLike[str] | None = None,
        sink: str = "lumabo",
        rate: int = 44100,
        channels: int = 2,
    ) -> None:
        self.folder = Path(folder)
        self.socket = Path(socket) if socket is not None else self.folder / "native"
        self.sink = sink
        self.rate = rate
        self.channels = channels
        self.log = self.folder / "pulse.log"
        self._daemon: subprocess.Popen[bytes] | None = None
        self._recordings = 0

    @property
    def server(self) -> str:
        """The server's address as PULSE_SERVER takes it."""
        return f"unix:{self.socket}"

    def client_env(self, base: Mapping[str, str] | None = None) -> dict[str, str]:
        """BASE (default: os.environ) with PULSE_SERVER naming this server."""
        env = dict(os.environ if base is None else base)
        env["PULSE_SERVER"] = self.server
        env.pop("PULSE_COOKIE", None)
        return env

    # -- daemon ---------------------------------------------------------------

    def _daemon_env(self) -> dict[str, str]:
        runtime = self.folder / "runtime"
        runtime.mkdir(mode=0o700, exist_ok=True)
        return {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": "C.UTF-8",
            # Everything the daemon keeps lives in the folder; the session
            # bus is not there to ask for real-time scheduling or a name.
            "HOME": str(self.folder),
            "XDG_RUNTIME_DIR": str(runtime),
            "XDG_CONFIG_HOME": str(self.folder / "config"),
            "PULSE_RUNTIME_PATH": str(runtime),
            "PULSE_STATE_PATH": str(self.folder / "state"),
            "DBUS_SESSION_BUS_ADDRESS": "disabled:",
        }

    def start(self, timeout: float = 15) -> None:
        """Start the daemon and wait until it accepts clients."""
        if self._daemon is not None:
            return
        exe = shutil.which("pulseaudio")
        if exe is None:
            raise PulseUnavailable("the PulseAudio daemon (pulseaudio) is not installed")
        self.folder.mkdir(parents=True, exist_ok=True)
        self.socket.parent.mkdir(parents=True, exist_ok=True)
        if len(os.fsencode(self.socket)) >= 108:
            raise ValueError(f"socket path too long for a unix socket: {self.socket}")
        command = [
            exe,
            # No configuration files: only the two modules below.
            "-n",
            "--daemonize=no",
            "--system=no",
            "--use-pid-file=no",
            "--exit-idle-time=-1",
            "--disallow-exit",
            "--disable-shm=yes",
            "--realtime=no",
            "--high-priority=no",
            f"--log-target=file:{self.log}",
            "--log-level=notice",
            "-L",
            f"module-null-sink sink_name={self.sink} rate={self.rate} channels={self.channels} format=s16le",
            "-L",
            f"module-native-protocol-unix socket={self.socket} auth-anonymous=1",
        ]
        # The daemon must not inherit a preloaded library (the call recorder).
        self._daemon = subprocess.Popen(
            command,
            env=self._daemon_env(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        deadline = time.monotonic() + timeout
        while not self._accepts():
            if self._daemon.poll() is not None:
                why = f"exited with status {self._daemon.returncode}"
                self._daemon = None
                raise PulseUnavailable(f"the PulseAudio daemon {why}: {self._log_tail()}")
            if time.monotonic() > deadline:
                self.stop()
                raise PulseUnavailable(f"the PulseAudio daemon did not come up in {timeout} s: {self._log_tail()}")
            time.sleep(0.05)

    def _accepts(self) -> bool:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            try:
                s.connect(os.fspath(self.socket))
            except OSError:
                return False
        return True

    def _log_tail(self, lines: int = 5) -> str:
        try:
            text = self.log.read_text(errors="replace").strip().splitlines()
        except OSError:
            return "(no log)"
        return " | ".join(text[-lines:]) or "(empty log)"

    def stop(self) -> None:
        """Stop the daemon (and nothing else); does nothing if it is not running."""
        daemon, self._daemon = self._daemon, None
        if daemon is not None:
            stop_process(daemon)

    def __enter__(self) -> PulseServer:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # -- recording ------------------------------------------------------------

    @contextlib.contextmanager
    def record(self, path: str | os.PathLike[str] | None = None, lead: float = 0.3) -> Iterator[Recording]:
        """Record the sink's monitor for the block into PATH (default: a new
        file in the folder); yields the Recording, readable after the block.

        The block starts once samples flow and LEAD seconds of them (silence,
        unless something else plays) are in the file; after it the recording
        goes on for LEAD seconds more before parec stops.
        """
        if self._daemon is None:
            raise RuntimeError("the server is not running")
        exe = shutil.which("parec")
        if exe is None:
            raise PulseUnavailable("parec (pulseaudio-utils) is not installed")
        if path is None:
            self._recordings += 1
            path = self.folder / f"recording{self._recordings}.raw"
        rec = Recording(Path(path), self.rate, self.channels)
        command = [
            exe,
            f"--server={self.server}",
            f"--device={self.sink}.monitor",
            "--raw",
            "--format=s16le",
            f"--rate={self.rate}",
            f"--channels={self.channels}",
            # Small fragments: samples reach the file as they are played.
            "--latency-msec=20",
        ]
        env = {k: v for k, v in self.client_env().items() if k != "LD_PRELOAD"}
        errors = rec.path.with_suffix(".log")
        with open(rec.path, "wb") as out, open(errors, "wb") as err:
            parec = subprocess.Popen(command, stdout=out, stderr=err, env=env)
        try:
            deadline = time.monotonic() + 10
            while rec.seconds < lead:
                if parec.poll() is not None:
                    raise PulseUnavailable(f"parec exited: {errors.read_text(errors='replace').strip()}")
                if time.monotonic() > deadline:
                    raise PulseUnavailable("parec recorded nothing in 10 s")
                time.sleep(0.02)
            yield rec
            time.sleep(lead)
        finally:
            stop_process(parec)


# -- what a listener hears -----------------------------------------------------


def level(samples: Any) -> float:
    """Root mean square of SAMPLES (any shape), 0..1 of full scale."""
    import numpy as np

    return float(np.sqrt(np.mean(np.square(samples, dtype=np.float64)))) if samples.size else 0.0


def sounding(samples: Any, rate: int, threshold: float = 0.01, window: float = 0.005,
             bridge: float = 0.05) -> list[tuple[float, float]]:
    """The stretches of sound in SAMPLES, as (start, end) in seconds.

    A stretch is a run of WINDOW-long slices whose level (any channel
    summed) is above THRESHOLD; gaps shorter than BRIDGE seconds are
    bridged, so a single late buffer does not split one sound in two.
    """
    import numpy as np

    mono = samples if samples.ndim == 1 else np.abs(samples).max(axis=1)
    step = max(1, int(window * rate))
    n = len(mono) // step
    loud = np.sqrt(np.mean(np.square(mono[: n * step].reshape(n, step), dtype=np.float64), axis=1)) > threshold
    runs: list[tuple[float, float]] = []
    i = 0
    while i < n:
        if not loud[i]:
            i += 1
            continue
        j = i
        while j < n and loud[j]:
            j += 1
        start, end = i * step / rate, j * step / rate
        if runs and start - runs[-1][1] < bridge:
            start = runs.pop()[0]
        runs.append((start, end))
        i = j
    return runs


def peaks(samples: Any, rate: int, count: int = 1) -> list[float]:
    """The COUNT strongest frequencies in mono SAMPLES, in Hz, strongest first.

    Neighbouring bins of one peak count once: each peak found clears the
    bins within 2% of its frequency.
    """
    import numpy as np

    x = np.asarray(samples, dtype=np.float64)
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    freqs = np.fft.rfftfreq(len(x), 1 / rate)
    found: list[float] = []
    for _ in range(count):
        k = int(np.argmax(spectrum))
        # Parabolic interpolation between the neighbouring bins.
        if 0 < k < len(spectrum) - 1:
            a, b, c = spectrum[k - 1 : k + 2]
            shift = 0.5 * (a - c) / (a - 2 * b + c) if a - 2 * b + c else 0.0
        else:
            shift = 0.0
        f = float(freqs[k] + shift * (freqs[1] - freqs[0]))
        found.append(f)
        spectrum[np.abs(freqs - f) <= max(0.02 * f, 2 * (freqs[1] - freqs[0]))] = 0
    return found


def frequency(samples: Any, rate: int) -> float:
    """The strongest frequency in mono SAMPLES, in Hz."""
    return peaks(samples, rate, 1)[0]
