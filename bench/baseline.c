/* raylib's own cost: each raylib function the benchmark rows reach, called
 * from C in a tight loop on the very record the lumabo object holds.
 *
 * The runner compiles this against the raylib in lumabo.libs (same soname,
 * so the process keeps one raylib and one audio device) and calls each loop
 * once through ctypes with a large count: the ctypes call is spread over the
 * count and what is left per iteration is raylib's cost plus a loop step.
 */
#include <raylib.h>

/* Results of the raylib queries go here, so the calls are not dropped. */
volatile float float_sink;

void play_music(const Music *music, long n)
{
    for (long i = 0; i < n; ++i)
        PlayMusicStream(*music);
}

void update_music(const Music *music, long n)
{
    for (long i = 0; i < n; ++i)
        UpdateMusicStream(*music);
}

void seek_music(const Music *music, float position, long n)
{
    for (long i = 0; i < n; ++i)
        SeekMusicStream(*music, position);
}

void set_music_volume(const Music *music, float volume, long n)
{
    for (long i = 0; i < n; ++i)
        SetMusicVolume(*music, volume);
}

void music_time_length(const Music *music, long n)
{
    for (long i = 0; i < n; ++i)
        float_sink = GetMusicTimeLength(*music);
}

void play_sound(const Sound *sound, long n)
{
    for (long i = 0; i < n; ++i)
        PlaySound(*sound);
}

void update_sound(const Sound *sound, const void *data, int frames, long n)
{
    for (long i = 0; i < n; ++i)
        UpdateSound(*sound, data, frames);
}

void set_sound_volume(const Sound *sound, float volume, long n)
{
    for (long i = 0; i < n; ++i)
        SetSoundVolume(*sound, volume);
}

/* A stream refilled again and again: play() frees both of its buffers.
 * AudioStream.update asks raylib whether a buffer is free before it refills
 * (a refill without one would be dropped): raylib's work too. */
void play_update_stream(const AudioStream *stream, const void *data, int frames, long n)
{
    for (long i = 0; i < n; ++i) {
        PlayAudioStream(*stream);
        if (IsAudioStreamProcessed(*stream))
            UpdateAudioStream(*stream, data, frames);
    }
}

void load_music_from_memory(const unsigned char *data, int size, long n)
{
    for (long i = 0; i < n; ++i)
        UnloadMusicStream(LoadMusicStreamFromMemory(".wav", data, size));
}

void show_cursor(long n)
{
    for (long i = 0; i < n; ++i)
        ShowCursor();
}

/* The loop alone, to read the loop step off the others. */
void empty(long n)
{
    for (long i = 0; i < n; ++i)
        __asm__ volatile("");
}
