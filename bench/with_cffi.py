"""raylib through cffi's ABI mode: what a program would use instead of lumabo.

The declarations are written from raylib.h (raylib 6.0): only the records and
functions the benchmark rows call. It binds the raylib shared library that
lumabo's modules load, so the process has one raylib, one audio device and
one window.
"""

from __future__ import annotations

import os

CDEF = """
typedef struct rAudioBuffer rAudioBuffer;
typedef struct rAudioProcessor rAudioProcessor;

typedef struct AudioStream {
    rAudioBuffer *buffer;
    rAudioProcessor *processor;
    unsigned int sampleRate;
    unsigned int sampleSize;
    unsigned int channels;
} AudioStream;

typedef struct Sound {
    AudioStream stream;
    unsigned int frameCount;
} Sound;

typedef struct Music {
    AudioStream stream;
    unsigned int frameCount;
    bool looping;
    int ctxType;
    void *ctxData;
} Music;

bool IsMusicValid(Music music);
void PlayMusicStream(Music music);
void UpdateMusicStream(Music music);
void SeekMusicStream(Music music, float position);
void SetMusicVolume(Music music, float volume);
float GetMusicTimeLength(Music music);

void PlaySound(Sound sound);
void UpdateSound(Sound sound, const void *data, int sampleCount);
void SetSoundVolume(Sound sound, float volume);

void ShowCursor(void);

void PlayAudioStream(AudioStream stream);
void UpdateAudioStream(AudioStream stream, const void *data, int frameCount);
Music LoadMusicStreamFromMemory(const char *fileType, const unsigned char *data, int dataSize);
void UnloadMusicStream(Music music);
"""


def open_cffi(library: str | os.PathLike[str]):
    """(ffi, lib) for raylib through cffi's ABI mode."""
    import cffi

    ffi = cffi.FFI()
    ffi.cdef(CDEF)
    return ffi, ffi.dlopen(os.fspath(library))
