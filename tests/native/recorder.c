/* Call recorder for the test suite.
 *
 * Preloaded into the test process (LD_PRELOAD), this library defines the
 * raylib functions that lumabo's extension modules call. Symbols in the
 * global scope win over those of libraries loaded RTLD_LOCAL, so a call from
 * a module lands here first: it is written to an in-process log and then
 * forwarded to the real raylib, which always runs underneath.
 *
 * The modules load lumabo.libs/libraylib.so.600 RTLD_LOCAL, which RTLD_NEXT
 * cannot see; the real functions are looked up through that library's
 * handle, taken with RTLD_NOLOAD once a module has loaded it.
 *
 * raylib calls a few of these functions itself (UnloadMusicStream calls
 * UnloadAudioStream, for one) through its PLT, so they come back here too.
 * Only the outermost call on a thread is logged: the log holds what the
 * modules asked for, not how raylib carried it out.
 *
 * Log format, one line per call:
 *
 *     Name arg arg ... [-> result]
 *
 * where pointers are 0x-prefixed hex (the `buffer` member of a Music, Sound
 * or AudioStream stands for the whole struct), floats use %.9g (enough to
 * read back the exact single-precision value), ints and bools are decimal,
 * and strings are double-quoted with C escapes, or NULL.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <raylib.h>

#define EXPORT __attribute__((visibility("default")))

static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static char *log_text;
static size_t log_len;
static size_t log_cap;

/* Depth of interposed calls on this thread; 0 outside raylib. */
static _Thread_local int depth;

static void *resolve(const char *name)
{
    void *fn = NULL;
    void *lib = dlopen("libraylib.so.600", RTLD_NOW | RTLD_NOLOAD);
    if (lib) {
        fn = dlsym(lib, name);
        dlclose(lib); /* RTLD_NOLOAD took a reference: give it back */
    }
    if (!fn)
        fn = dlsym(RTLD_NEXT, name); /* raylib linked into the program itself */
    if (!fn) {
        fprintf(stderr, "recorder: %s called but no raylib is loaded\n", name);
        abort();
    }
    return fn;
}

/* Declares `real` as the real raylib function NAME, looked up on first use. */
#define REAL(name)                                                            \
    static __typeof__(&name) real_##name;                                     \
    __typeof__(&name) real = __atomic_load_n(&real_##name, __ATOMIC_ACQUIRE); \
    if (!real) {                                                              \
        real = (__typeof__(&name))resolve(#name);                             \
        __atomic_store_n(&real_##name, real, __ATOMIC_RELEASE);               \
    }

static void append(const char *line, size_t n)
{
    pthread_mutex_lock(&log_lock);
    if (log_len + n + 1 > log_cap) {
        size_t cap = log_cap ? log_cap : 4096;
        while (log_len + n + 1 > cap)
            cap *= 2;
        char *grown = realloc(log_text, cap);
        if (!grown) {
            pthread_mutex_unlock(&log_lock);
            fputs("recorder: out of memory\n", stderr);
            abort();
        }
        log_text = grown;
        log_cap = cap;
    }
    memcpy(log_text + log_len, line, n);
    log_len += n;
    log_text[log_len] = '\0';
    pthread_mutex_unlock(&log_lock);
}

/* A log line being built. `out` is NULL for nested calls, which are not
 * logged; every put_* is then a no-op. */
typedef struct {
    FILE *out;
    char *text;
    size_t len;
} Line;

/* The stream writes back into *l, so a Line stays where it was begun. */
static void line_begin(Line *l, const char *name)
{
    l->out = NULL;
    l->text = NULL;
    l->len = 0;
    if (depth == 1) {
        l->out = open_memstream(&l->text, &l->len);
        if (l->out)
            fputs(name, l->out);
    }
}

static void put_ptr(Line *l, const void *p)
{
    if (l->out)
        fprintf(l->out, " 0x%" PRIxPTR, (uintptr_t)p);
}

static void put_float(Line *l, float v)
{
    if (l->out)
        fprintf(l->out, " %.9g", (double)v);
}

static void put_int(Line *l, int v)
{
    if (l->out)
        fprintf(l->out, " %d", v);
}

static void put_str(Line *l, const char *s)
{
    if (!l->out)
        return;
    if (!s) {
        fputs(" NULL", l->out);
        return;
    }
    fputs(" \"", l->out);
    for (const unsigned char *c = (const unsigned char *)s; *c; c++) {
        switch (*c) {
        case '"': fputs("\\\"", l->out); break;
        case '\\': fputs("\\\\", l->out); break;
        case '\n': fputs("\\n", l->out); break;
        case '\t': fputs("\\t", l->out); break;
        case '\r': fputs("\\r", l->out); break;
        default:
            if (*c < 0x20 || *c >= 0x7f)
                fprintf(l->out, "\\x%02x", *c);
            else
                fputc(*c, l->out);
        }
    }
    fputc('"', l->out);
}

static void put_result(Line *l)
{
    if (l->out)
        fputs(" ->", l->out);
}

static void line_end(Line *l)
{
    if (!l->out)
        return;
    fputc('\n', l->out);
    if (fclose(l->out) == 0)
        append(l->text, l->len);
    free(l->text);
}

#define ENTER() depth++
#define LEAVE() depth--

/* The calls that take one record (a Music, Sound or AudioStream, named by
 * TYPE) and log it by its stream buffer, BUF, an expression of `r`. */

/* void NAME(TYPE) */
#define RECORD_VOID(type, buf, name)              \
    EXPORT void name(type r)                      \
    {                                             \
        REAL(name);                               \
        ENTER();                                  \
        real(r);                                  \
        Line l;                                   \
        line_begin(&l, #name);                    \
        put_ptr(&l, buf);                         \
        line_end(&l);                             \
        LEAVE();                                  \
    }

/* void NAME(TYPE, float) */
#define RECORD_FLOAT(type, buf, name)             \
    EXPORT void name(type r, float value)         \
    {                                             \
        REAL(name);                               \
        ENTER();                                  \
        real(r, value);                           \
        Line l;                                   \
        line_begin(&l, #name);                    \
        put_ptr(&l, buf);                         \
        put_float(&l, value);                     \
        line_end(&l);                             \
        LEAVE();                                  \
    }

/* bool NAME(TYPE) */
#define RECORD_BOOL(type, buf, name)              \
    EXPORT bool name(type r)                      \
    {                                             \
        REAL(name);                               \
        ENTER();                                  \
        bool result = real(r);                    \
        Line l;                                   \
        line_begin(&l, #name);                    \
        put_ptr(&l, buf);                         \
        put_result(&l);                           \
        put_int(&l, result);                      \
        line_end(&l);                             \
        LEAVE();                                  \
        return result;                            \
    }

#define MUSIC_VOID(name) RECORD_VOID(Music, r.stream.buffer, name)
#define MUSIC_FLOAT(name) RECORD_FLOAT(Music, r.stream.buffer, name)
#define SOUND_VOID(name) RECORD_VOID(Sound, r.stream.buffer, name)
#define SOUND_FLOAT(name) RECORD_FLOAT(Sound, r.stream.buffer, name)
#define SOUND_BOOL(name) RECORD_BOOL(Sound, r.stream.buffer, name)
#define STREAM_VOID(name) RECORD_VOID(AudioStream, r.buffer, name)
#define STREAM_FLOAT(name) RECORD_FLOAT(AudioStream, r.buffer, name)
#define STREAM_BOOL(name) RECORD_BOOL(AudioStream, r.buffer, name)

/* ------------------------------------------------------------------ music */

EXPORT Music LoadMusicStream(const char *fileName)
{
    REAL(LoadMusicStream);
    ENTER();
    Music r = real(fileName);
    Line l;
    line_begin(&l, "LoadMusicStream");
    put_str(&l, fileName);
    put_result(&l);
    put_ptr(&l, r.stream.buffer);
    line_end(&l);
    LEAVE();
    return r;
}

EXPORT bool IsMusicValid(Music music)
{
    REAL(IsMusicValid);
    ENTER();
    bool r = real(music);
    Line l;
    line_begin(&l, "IsMusicValid");
    put_ptr(&l, music.stream.buffer);
    put_result(&l);
    put_int(&l, r);
    line_end(&l);
    LEAVE();
    return r;
}

EXPORT float GetMusicTimeLength(Music music)
{
    REAL(GetMusicTimeLength);
    ENTER();
    float r = real(music);
    Line l;
    line_begin(&l, "GetMusicTimeLength");
    put_ptr(&l, music.stream.buffer);
    put_result(&l);
    put_float(&l, r);
    line_end(&l);
    LEAVE();
    return r;
}

EXPORT float GetMusicTimePlayed(Music music)
{
    REAL(GetMusicTimePlayed);
    ENTER();
    float r = real(music);
    Line l;
    line_begin(&l, "GetMusicTimePlayed");
    put_ptr(&l, music.stream.buffer);
    put_result(&l);
    put_float(&l, r);
    line_end(&l);
    LEAVE();
    return r;
}

MUSIC_VOID(UnloadMusicStream)
MUSIC_VOID(PlayMusicStream)
MUSIC_VOID(StopMusicStream)
MUSIC_VOID(PauseMusicStream)
MUSIC_VOID(ResumeMusicStream)
MUSIC_VOID(UpdateMusicStream)

MUSIC_FLOAT(SeekMusicStream)
MUSIC_FLOAT(SetMusicVolume)
MUSIC_FLOAT(SetMusicPitch)
MUSIC_FLOAT(SetMusicPan)

/* ------------------------------------------------------------------ sound */

EXPORT Sound LoadSound(const char *fileName)
{
    REAL(LoadSound);
    ENTER();
    Sound r = real(fileName);
    Line l;
    line_begin(&l, "LoadSound");
    put_str(&l, fileName);
    put_result(&l);
    put_ptr(&l, r.stream.buffer);
    line_end(&l);
    LEAVE();
    return r;
}

EXPORT Sound LoadSoundAlias(Sound source)
{
    REAL(LoadSoundAlias);
    ENTER();
    Sound r = real(source);
    Line l;
    line_begin(&l, "LoadSoundAlias");
    put_ptr(&l, source.stream.buffer);
    put_result(&l);
    put_ptr(&l, r.stream.buffer);
    line_end(&l);
    LEAVE();
    return r;
}

EXPORT void UpdateSound(Sound sound, const void *data, int sampleCount)
{
    REAL(UpdateSound);
    ENTER();
    real(sound, data, sampleCount);
    Line l;
    line_begin(&l, "UpdateSound");
    put_ptr(&l, sound.stream.buffer);
    put_ptr(&l, data);
    put_int(&l, sampleCount);
    line_end(&l);
    LEAVE();
}

SOUND_BOOL(IsSoundValid)
SOUND_BOOL(IsSoundPlaying)

SOUND_VOID(UnloadSound)
SOUND_VOID(UnloadSoundAlias)
SOUND_VOID(PlaySound)
SOUND_VOID(StopSound)
SOUND_VOID(PauseSound)
SOUND_VOID(ResumeSound)

SOUND_FLOAT(SetSoundVolume)
SOUND_FLOAT(SetSoundPitch)
SOUND_FLOAT(SetSoundPan)

/* ----------------------------------------------------------- audio stream */

STREAM_VOID(UnloadAudioStream)
STREAM_BOOL(IsAudioStreamValid)

EXPORT AudioStream LoadAudioStream(unsigned int sampleRate, unsigned int sampleSize, unsigned int channels)
{
    REAL(LoadAudioStream);
    ENTER();
    AudioStream r = real(sampleRate, sampleSize, channels);
    Line l;
    line_begin(&l, "LoadAudioStream");
    put_int(&l, (int)sampleRate);
    put_int(&l, (int)sampleSize);
    put_int(&l, (int)channels);
    put_result(&l);
    put_ptr(&l, r.buffer);
    line_end(&l);
    LEAVE();
    return r;
}

EXPORT void UpdateAudioStream(AudioStream stream, const void *data, int frameCount)
{
    REAL(UpdateAudioStream);
    ENTER();
    real(stream, data, frameCount);
    Line l;
    line_begin(&l, "UpdateAudioStream");
    put_ptr(&l, stream.buffer);
    put_ptr(&l, data);
    put_int(&l, frameCount);
    line_end(&l);
    LEAVE();
}

EXPORT void SetAudioStreamBufferSizeDefault(int size)
{
    REAL(SetAudioStreamBufferSizeDefault);
    ENTER();
    real(size);
    Line l;
    line_begin(&l, "SetAudioStreamBufferSizeDefault");
    put_int(&l, size);
    line_end(&l);
    LEAVE();
}

STREAM_BOOL(IsAudioStreamProcessed)
STREAM_BOOL(IsAudioStreamPlaying)

STREAM_VOID(PlayAudioStream)
STREAM_VOID(PauseAudioStream)
STREAM_VOID(ResumeAudioStream)
STREAM_VOID(StopAudioStream)

STREAM_FLOAT(SetAudioStreamVolume)
STREAM_FLOAT(SetAudioStreamPitch)
STREAM_FLOAT(SetAudioStreamPan)

/* ------------------------------------------------------------ from memory */

/* The data pointer and size are logged; the data itself is not. */
EXPORT Music LoadMusicStreamFromMemory(const char *fileType, const unsigned char *data, int dataSize)
{
    REAL(LoadMusicStreamFromMemory);
    ENTER();
    Music r = real(fileType, data, dataSize);
    Line l;
    line_begin(&l, "LoadMusicStreamFromMemory");
    put_str(&l, fileType);
    put_ptr(&l, data);
    put_int(&l, dataSize);
    put_result(&l);
    put_ptr(&l, r.stream.buffer);
    line_end(&l);
    LEAVE();
    return r;
}

/* A Wave stands for its sample data pointer. */
EXPORT Wave LoadWaveFromMemory(const char *fileType, const unsigned char *fileData, int dataSize)
{
    REAL(LoadWaveFromMemory);
    ENTER();
    Wave r = real(fileType, fileData, dataSize);
    Line l;
    line_begin(&l, "LoadWaveFromMemory");
    put_str(&l, fileType);
    put_ptr(&l, fileData);
    put_int(&l, dataSize);
    put_result(&l);
    put_ptr(&l, r.data);
    line_end(&l);
    LEAVE();
    return r;
}

EXPORT Sound LoadSoundFromWave(Wave wave)
{
    REAL(LoadSoundFromWave);
    ENTER();
    Sound r = real(wave);
    Line l;
    line_begin(&l, "LoadSoundFromWave");
    put_ptr(&l, wave.data);
    put_result(&l);
    put_ptr(&l, r.stream.buffer);
    line_end(&l);
    LEAVE();
    return r;
}

EXPORT void UnloadWave(Wave wave)
{
    REAL(UnloadWave);
    ENTER();
    real(wave);
    Line l;
    line_begin(&l, "UnloadWave");
    put_ptr(&l, wave.data);
    line_end(&l);
    LEAVE();
}

/* ----------------------------------------------------------------- cursor */

#define CURSOR_VOID(name)                         \
    EXPORT void name(void)                        \
    {                                             \
        REAL(name);                               \
        ENTER();                                  \
        real();                                   \
        Line l;                                   \
        line_begin(&l, #name);                    \
        line_end(&l);                             \
        LEAVE();                                  \
    }

CURSOR_VOID(EnableCursor)
CURSOR_VOID(DisableCursor)
CURSOR_VOID(ShowCursor)
CURSOR_VOID(HideCursor)

#define CURSOR_BOOL(name)                         \
    EXPORT bool name(void)                        \
    {                                             \
        REAL(name);                               \
        ENTER();                                  \
        bool r = real();                          \
        Line l;                                   \
        line_begin(&l, #name);                    \
        put_result(&l);                           \
        put_int(&l, r);                           \
        line_end(&l);                             \
        LEAVE();                                  \
        return r;                                 \
    }

CURSOR_BOOL(IsCursorHidden)
CURSOR_BOOL(IsCursorOnScreen)

/* ------------------------------------------------------------ log access */

/* The log so far. The text is a copy owned by the calling thread, valid
 * until that thread's next recorder_log(). */
EXPORT const char *recorder_log(void)
{
    static _Thread_local char *copy;
    static _Thread_local size_t copy_cap;
    pthread_mutex_lock(&log_lock);
    size_t n = log_len;
    if (n + 1 > copy_cap) {
        char *grown = realloc(copy, n + 1);
        if (!grown) {
            pthread_mutex_unlock(&log_lock);
            return NULL;
        }
        copy = grown;
        copy_cap = n + 1;
    }
    if (n)
        memcpy(copy, log_text, n);
    copy[n] = '\0';
    pthread_mutex_unlock(&log_lock);
    return copy;
}

EXPORT void recorder_clear(void)
{
    pthread_mutex_lock(&log_lock);
    log_len = 0;
    if (log_text)
        log_text[0] = '\0';
    pthread_mutex_unlock(&log_lock);
}

/* Number of logged calls to the function NAME. */
EXPORT int recorder_count(const char *name)
{
    size_t n = strlen(name);
    int count = 0;
    pthread_mutex_lock(&log_lock);
    const char *p = log_text;
    const char *end = log_text ? log_text + log_len : NULL;
    while (p && p < end) {
        const char *eol = memchr(p, '\n', (size_t)(end - p));
        if (!eol)
            eol = end;
        if ((size_t)(eol - p) >= n && memcmp(p, name, n) == 0 &&
            (p + n == eol || p[n] == ' '))
            count++;
        p = eol + 1;
    }
    pthread_mutex_unlock(&log_lock);
    return count;
}
