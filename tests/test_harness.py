"""The test harness itself: call recorder, raylib loading, device helper, window.

If these fail, every other test's verdict is suspect.
"""

import ctypes
import os
import textwrap
from pathlib import Path

import pytest

import support
from lumabo import device


def mapped_raylibs() -> set[str]:
    """Paths of every libraylib mapped into this process."""
    with open("/proc/self/maps") as maps:
        return {line.split(None, 5)[5].strip() for line in maps if "libraylib" in line}


# -- call recorder ----------------------------------------------------------

CURSOR_CALLS = [
    # (how the cursor is driven, raylib function it must reach)
    ("show", "ShowCursor"),
    ("hide", "HideCursor"),
    ("enable", "EnableCursor"),
    ("disable", "DisableCursor"),
]


@pytest.fixture
def cursor(window):
    """The module's cursor; left shown and enabled for the next test."""
    from lumabo.cursor.cursor import cursor

    yield cursor
    cursor.show()
    cursor.enable()


@pytest.mark.parametrize("method, raylib_name", CURSOR_CALLS)
def test_recorder_sees_cursor_method(cursor, recorder, method, raylib_name):
    getattr(cursor, method)()
    assert recorder.calls == [(raylib_name, ())]


@pytest.mark.parametrize("method, raylib_name", CURSOR_CALLS)
@pytest.mark.parametrize("slot", ["c_{}", "{}"])
def test_recorder_sees_cursor_slot(cursor, recorder, capi, slot, method, raylib_name):
    if slot == "{}":
        capi.cursor_slot(cursor, method, skip_dispatch=1)
    else:
        capi.cursor_slot(cursor, slot.format(method))
    assert recorder.calls == [(raylib_name, ())]


def test_recorder_logs_results(cursor, recorder):
    cursor.hide()
    hidden = cursor.hidden
    (hide, query) = recorder.calls
    assert hide == ("HideCursor", ())
    assert query == ("IsCursorHidden", ()) and query.result == int(hidden) == 1


@pytest.fixture
def interposed():
    """raylib's music functions as the global scope resolves them, which is
    where a module's calls land: the recorder's, when it is preloaded."""
    lib = ctypes.CDLL(None)
    lib.LoadMusicStream.restype = support.MusicStruct
    lib.LoadMusicStream.argtypes = [ctypes.c_char_p]
    lib.SetMusicVolume.restype = None
    lib.SetMusicVolume.argtypes = [support.MusicStruct, ctypes.c_float]
    lib.GetMusicTimeLength.restype = ctypes.c_float
    lib.GetMusicTimeLength.argtypes = [support.MusicStruct]
    lib.UnloadMusicStream.restype = None
    lib.UnloadMusicStream.argtypes = [support.MusicStruct]
    return lib


def test_recorder_round_trip(audio_device, recorder, interposed, tmp_wav):
    # A name that needs every kind of escape, and a volume that is not exact
    # in single precision.
    path = tmp_wav(2.5, name='odd "name"\\ \t\n\u00e9.wav')
    music = interposed.LoadMusicStream(os.fsencode(path))
    interposed.SetMusicVolume(music, 0.1)
    length = interposed.GetMusicTimeLength(music)
    interposed.UnloadMusicStream(music)

    buffer = music.stream.buffer
    assert buffer and music.frameCount == 55125
    load, volume, time_length, unload = recorder.calls
    assert load == ("LoadMusicStream", (str(path),)) and load.result == buffer
    assert volume == ("SetMusicVolume", (buffer, support.f32(0.1)))
    assert time_length == ("GetMusicTimeLength", (buffer,)) and time_length.result == length == 2.5
    # raylib's UnloadMusicStream calls UnloadAudioStream itself: not the
    # caller's call, so not logged.
    assert unload == ("UnloadMusicStream", (buffer,))
    assert recorder.count("UnloadMusicStream") == 1
    assert recorder.count("UnloadAudioStream") == 0
    assert recorder.count("UnloadMusic") == 0  # whole names only


def test_recorder_clear(cursor, recorder):
    cursor.show()
    assert recorder.count("ShowCursor") == 1
    recorder.clear()
    assert recorder.calls == [] and recorder.count("ShowCursor") == 0


def test_capi_records_reach_the_slots(audio_device, recorder, capi):
    # A live stream made by raylib itself (not logged), wrapped as an owner;
    # releasing it is the module's call, and the recorder sees that buffer.
    stream = capi.audio_stream_make("cfrom_struct", (22050, 16, 1), is_owner=1)
    buffer = capi.last_buffer()
    assert buffer and (stream.sample_rate, stream.sample_size, stream.channels) == (22050, 16, 1)
    assert recorder.calls == []
    capi.audio_stream_c_unload(stream)
    assert recorder.calls == [("UnloadAudioStream", (buffer,))]


def test_capi_refuses_objects_of_another_class(capi):
    from lumabo.cursor.cursor import cursor

    with pytest.raises(TypeError, match="AudioStream"):
        capi.audio_stream_c_unload(cursor)


# -- which raylib -----------------------------------------------------------

LOAD_ORDERS = {
    "module first": "import lumabo.cursor.cursor; import lumabo_capi_test; device.open_audio()",
    "device first": "device.open_audio(); import lumabo.cursor.cursor; import lumabo_capi_test",
}


@pytest.mark.parametrize("order", LOAD_ORDERS)
def test_one_raylib_from_lumabo_libs(order):
    code = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(support.NATIVE_BUILD)!r})
        from lumabo import device
        device.set_log_level(device.LOG_WARNING)
        {LOAD_ORDERS[order]}
        import lumabo.audio_stream.audio_stream
        with open("/proc/self/maps") as maps:
            print(sorted({{l.split(None, 5)[5].strip() for l in maps if "libraylib" in l}}))
        device.close_audio()
    """)
    done = support.run_python(code)
    assert done.returncode == 0, done.stderr
    expected = [os.path.realpath(device.library_path())]
    assert done.stdout.strip().splitlines()[-1] == repr(expected)


def test_this_process_maps_one_raylib(audio_device):
    import lumabo.cursor.cursor  # noqa: F401

    assert mapped_raylibs() == {os.path.realpath(device.library_path())}


# -- device helper ----------------------------------------------------------


def test_audio_device_opens_headless():
    code = textwrap.dedent("""
        from lumabo import device
        device.set_log_level(device.LOG_WARNING)
        print(device.audio_ready())
        with device.audio():
            print(device.audio_ready())
            with device.audio():
                pass
            print(device.audio_ready())
        print(device.audio_ready())
    """)
    done = support.run_python(code)
    assert done.returncode == 0, done.stderr
    # The inner block found the device open and left it open.
    assert done.stdout.split() == ["False", "True", "True", "False"]


def test_audio_device_headless_is_the_null_backend():
    # ./dev's test runs are a machine without sound server, card or ALSA
    # library: raylib plays silently, and says so.
    code = textwrap.dedent("""
        from lumabo import device
        device.set_log_level(device.LOG_WARNING)
        print(device.audio_backend())
        with device.audio():
            print(device.audio_backend())
        print(device.audio_backend())
    """)
    done = support.run_python(code, env={k: v for k, v in os.environ.items() if k != "PULSE_SERVER"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["None", "Null", "None"]


def test_audio_device_fails_in_one_line_with_alsa_but_no_card():
    # The ALSA library, loaded first, is the one raylib finds by name.
    alsa = os.environ.get("LUMABO_ALSA_LIBRARY")
    if not alsa:
        pytest.skip("LUMABO_ALSA_LIBRARY is not set (./dev sets it where it hides ALSA)")
    code = textwrap.dedent(f"""
        import ctypes
        ctypes.CDLL({alsa!r})
        from lumabo import device
        device.set_log_level(device.LOG_WARNING)
        try:
            device.open_audio()
        except RuntimeError as e:
            print(e)
        print(device.audio_ready(), device.audio_backend())
    """)
    done = support.run_python(code)
    assert done.returncode == 0, done.stderr
    message, state = done.stdout.splitlines()
    assert message.startswith("raylib could not open an audio device: ")
    assert "start a sound server" in message
    assert state == "False None"
    # Neither ALSA's lines nor raylib's warning of the failure.
    assert done.stderr == ""


@pytest.mark.parametrize(
    ("level", "shown"),
    [("LOG_INFO", ["INFO: AUDIO: Device initialized successfully", "INFO:     > Backend:       miniaudio | Null"]),
     ("LOG_WARNING", [])],
)
def test_audio_device_keeps_raylibs_log_as_set(level, shown):
    # open_audio() reads raylib's log to learn the backend; what the level
    # shows is still printed, and the level holds afterwards.
    code = textwrap.dedent(f"""
        from lumabo import device
        device.set_log_level(device.{level})
        with device.audio():
            pass
    """)
    done = support.run_python(code)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[: len(shown)] == shown
    # Closing logs at INFO level too: the level was restored.
    assert ("INFO: AUDIO: Device closed successfully" in lines) == bool(shown)


def test_library_path_takes_the_name_the_build_gave(tmp_path):
    # A build against raylib 5.5 ships libraylib.so.550.
    (tmp_path / "lumabo").mkdir()
    (tmp_path / "lumabo" / "__init__.py").touch()
    (tmp_path / "lumabo" / "device.py").write_text(Path(device.__file__).read_text())
    (tmp_path / "lumabo.libs").mkdir()
    (tmp_path / "lumabo.libs" / "libraylib.so.550").touch()
    done = support.run_python(
        f"import sys; sys.path.insert(0, {str(tmp_path)!r}); from lumabo import device; "
        "print(device.library_path())"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(tmp_path / "lumabo.libs" / "libraylib.so.550")


def test_device_imports_no_extension_module():
    done = support.run_python(
        "import sys; from lumabo import device; device.library_path(); "
        "print(sorted(m for m in sys.modules if m.startswith('lumabo')))"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['lumabo', 'lumabo.device']"


def test_window_screenshot(window, tmp_path):
    color = (200, 30, 90)
    window.pump(2, color=color)
    # .raw holds the pixels as they are: RGBA, 8 bits each.
    pixels = window.screenshot(tmp_path / "frame.raw").read_bytes()
    assert len(pixels) == window.width * window.height * 4
    assert pixels == bytes([*color, 255]) * (window.width * window.height)


def test_window_screenshot_keeps_directory(window, tmp_path):
    (tmp_path / "sub dir").mkdir()
    shot = window.screenshot(tmp_path / "sub dir" / "shot.png")
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not Path("shot.png").exists()


# -- generated audio --------------------------------------------------------


@pytest.mark.parametrize(
    "seconds, rate, channels, width",
    [(2.5, 22050, 1, 2), (3.5, 44100, 2, 2), (0.4, 22050, 1, 1), (0.4, 48000, 2, 4)],
)
def test_wav_decodes_to_exact_length(tmp_wav, seconds, rate, channels, width):
    path = tmp_wav(seconds, rate=rate, channels=channels, sample_width=width)
    frames, got_rate, _, got_channels = support.wave_info(path)
    assert (frames, got_rate, got_channels) == (round(seconds * rate), rate, channels)


def test_qoa_decodes_to_exact_length(tmp_qoa):
    path = tmp_qoa(2.5, rate=22050)
    assert path.read_bytes()[:4] == b"qoaf"
    assert support.wave_info(path) == (55125, 22050, 16, 1)
