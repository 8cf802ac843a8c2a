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

#if defined(__cplusplus)
}
#endif

#endif // RAUDIO_FUZZ_H
