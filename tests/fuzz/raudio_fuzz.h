// What the fuzz harnesses call beside raylib's own audio functions
// (raudio_fuzz.c).
#ifndef RAUDIO_FUZZ_H
#define RAUDIO_FUZZ_H

#include <stdbool.h>

#include "raylib.h"

#if defined(__cplusplus)
extern "C" {
#endif

void FuzzOpenAudio(void);     // raylib's InitAudioDevice() on the null backend, its thread stopped
void FuzzCloseAudio(void);
bool FuzzAudioReady(void);
void FuzzMixUntilProcessed(AudioStream stream, int periods);  // The device's mixing, until stream wants a refill
void FuzzMarkProcessed(AudioStream stream);   // Both sub-buffers played, without mixing them
unsigned int FuzzSubBufferFrames(AudioStream stream);  // Frames one refill decodes

#if defined(__cplusplus)
}
#endif

#endif // RAUDIO_FUZZ_H
