// raylib's raudio.c built into the fuzz harnesses, under their sanitizers,
// with the few rcore functions it calls and a mixer the harness drives.
//
// The device is miniaudio's null backend, initialized by raylib's own
// InitAudioDevice and then stopped: its thread would mix on its own clock,
// so the harness calls raylib's mixing callback itself, a period at a time,
// and every run of an input does the same work.

#define MA_ENABLE_ONLY_SPECIFIC_BACKENDS
#define MA_ENABLE_NULL

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "raudio.c"

#include "raudio_fuzz.h"

// NOTE: raylib's log goes nowhere unless LUMABO_FUZZ_LOG is set: a fuzzer
// runs millions of inputs, and the log would be most of its time.
static int fuzzLogLevel = LOG_NONE;

void TraceLog(int logType, const char *text, ...)
{
    if ((logType < fuzzLogLevel) || (text == NULL)) return;

    va_list args;
    va_start(args, text);
    vfprintf(stderr, text, args);
    fputc('\n', stderr);
    va_end(args);
}

// rcore's GetFileExtension(): the text from the last dot, if it is not the first character
const char *GetFileExtension(const char *fileName)
{
    const char *dot = strrchr(fileName, '.');

    if (!dot || (dot == fileName)) return NULL;

    return dot;
}

// rcore's IsFileExtension(): one of the ';'-separated extensions, without regard to case
bool IsFileExtension(const char *fileName, const char *ext)
{
    const char *fileExt = GetFileExtension(fileName);
    if (fileExt == NULL) return false;

    char fileExtLower[16] = { 0 };
    for (int i = 0; (fileExt[i] != '\0') && (i < 16); i++)
    {
        if ((fileExt[i] >= 'A') && (fileExt[i] <= 'Z')) fileExtLower[i] = fileExt[i] + 32;
        else fileExtLower[i] = fileExt[i];
    }

    const char *start = ext;
    while (true)
    {
        const char *end = strchr(start, ';');
        int length = (end != NULL)? (int)(end - start) : (int)strlen(start);
        const char *lower = fileExtLower;
        if (start[0] != '.') lower++;   // NOTE: An extension given without its dot
        bool same = ((int)strlen(lower) == length);
        for (int i = 0; same && (i < length); i++)
        {
            char c = start[i];
            if ((c >= 'A') && (c <= 'Z')) c += 32;
            same = (lower[i] == c);
        }
        if (same) return true;
        if (end == NULL) return false;
        start = end + 1;
    }
}

// rcore's GetFileName(): the part of a path after its last separator
const char *GetFileName(const char *filePath)
{
    const char *fileName = strrchr(filePath, '/');
    return (fileName != NULL)? fileName + 1 : filePath;
}

// rcore's GetFileNameWithoutExt(): the file name up to its first dot (in static memory)
const char *GetFileNameWithoutExt(const char *filePath)
{
    static char fileName[256] = { 0 };
    strncpy(fileName, GetFileName(filePath), sizeof(fileName) - 1);
    char *dot = strchr(fileName, '.');
    if (dot != NULL) *dot = '\0';
    return fileName;
}

// rcore's LoadFileData(): the whole file into one allocation
unsigned char *LoadFileData(const char *fileName, int *dataSize)
{
    unsigned char *data = NULL;
    *dataSize = 0;

    FILE *file = fopen(fileName, "rb");
    if (file == NULL) return NULL;

    fseek(file, 0, SEEK_END);
    int size = (int)ftell(file);
    fseek(file, 0, SEEK_SET);

    if (size > 0)
    {
        data = (unsigned char *)RL_CALLOC(size, sizeof(unsigned char));
        if (data != NULL) *dataSize = (int)fread(data, sizeof(unsigned char), size, file);
    }

    fclose(file);
    return data;
}

void UnloadFileData(unsigned char *data)
{
    RL_FREE(data);
}

// ExportWave() and ExportWaveAsCode() write files; the harnesses never call them
bool SaveFileData(const char *fileName, void *data, int dataSize)
{
    (void)fileName; (void)data; (void)dataSize;
    return false;
}

bool SaveFileText(const char *fileName, const char *text)
{
    (void)fileName; (void)text;
    return false;
}

void FuzzOpenAudio(void)
{
    const char *log = getenv("LUMABO_FUZZ_LOG");
    if ((log != NULL) && (log[0] != '\0')) fuzzLogLevel = LOG_ALL;

    InitAudioDevice();
    if (AUDIO.System.isReady) ma_device_stop(&AUDIO.System.device);
}

void FuzzCloseAudio(void)
{
    if (AUDIO.System.isReady) CloseAudioDevice();
}

bool FuzzAudioReady(void)
{
    return AUDIO.System.isReady;
}

// Mixes the playing buffers a device period at a time, as the device
// thread would, until `stream` has a sub-buffer to refill or `periods`
// periods have gone by
void FuzzMixUntilProcessed(AudioStream stream, int periods)
{
    if (!AUDIO.System.isReady) return;

    static float out[4096*AUDIO_DEVICE_CHANNELS];
    ma_uint32 period = AUDIO.System.device.playback.internalPeriodSizeInFrames;
    if ((period == 0) || (period > 4096)) period = 4096;

    for (int i = 0; i < periods; i++)
    {
        if ((stream.buffer != NULL) && (stream.buffer->isSubBufferProcessed[0] || stream.buffer->isSubBufferProcessed[1])) break;
        OnSendAudioDataToDevice(&AUDIO.System.device, out, NULL, period);
    }
}

// Marks both sub-buffers of `stream` played, as the mixer does once it has
// read them, without the mixing
void FuzzMarkProcessed(AudioStream stream)
{
    if (stream.buffer == NULL) return;

    ma_mutex_lock(&AUDIO.System.lock);
    stream.buffer->isSubBufferProcessed[0] = true;
    stream.buffer->isSubBufferProcessed[1] = true;
    ma_mutex_unlock(&AUDIO.System.lock);
}

// Frames of one sub-buffer of `stream`: what one refill decodes
unsigned int FuzzSubBufferFrames(AudioStream stream)
{
    return (stream.buffer != NULL)? stream.buffer->sizeInFrames/2 : 0;
}
