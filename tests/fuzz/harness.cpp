// A libFuzzer harness of one file type (FUZZ_FILE_TYPE, e.g. ".wav"): each
// input is a file's bytes, handed to raylib the four ways lumabo hands it
// over, each behind lumabo's own checks:
//
//   Music.load_from_memory   refused(type, bytes, stream_in_memory), then
//                            LoadMusicStreamFromMemory
//   Music.load               the bytes written to a file named x<type>,
//                            refused(path, stream), then LoadMusicStream
//   Sound.load_from_memory   refused(type, bytes, whole), then
//                            LoadWaveFromMemory and LoadSoundFromWave
//   Sound.load               refused(path, whole), then LoadSound
//
// A music stream that loads is played through a bounded number of refills
// with the device's mixer run between them, timed, sought and refilled
// again; a sound is played and mixed. Then both are unloaded, as lumabo
// unloads them. raudio.c is built into the harness, so a fault inside a
// decoder is the sanitizers' finding.
//
// LUMABO_FUZZ_DEVICE=closed runs with no audio device, as lumabo does
// before open_audio(): raylib then makes streams with no buffer to fill.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "checks.hpp"
#include "raudio_fuzz.h"

namespace {

using lumabo::check::Reader;
using lumabo::check::refused;

constexpr const char* file_type = FUZZ_FILE_TYPE;

// Refills per play, and device periods mixed before the second at most.
// NOTE: A refill of raylib's default stream is a 30th of a second at the
// device rate (some tens of periods); mixing all of it is most of an
// input's time. The mixer reads the first refill through raylib's
// converter; the later ones are marked played without it, which is all
// the decoders see of the mixer.
constexpr int refills = 4;
constexpr int mix_periods = 64;

std::string file_path;

// NOTE: Debian's raylib 6.0 never frees a WAV track's decoder context in
// UnloadMusicStream, and its QOA player, reading from memory, decodes the
// frame after the last one from past the end of its data at every loop.
// The patched tree the harnesses are built from by default mends both
// (distrib/patches: raudio-wav-music-free, qoaplay-memory-read-bounds); set
// these to true to fuzz Debian's own source without stopping at them.
constexpr bool raylib_leaks_wav_context = false;
constexpr int music_audio_wav = 1;  // raudio.c's MUSIC_AUDIO_WAV
constexpr bool raylib_reads_past_qoa_in_memory = false;

bool write_file(const uint8_t* data, size_t size) {
    const int fd = open(file_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    return done == size;
}

// What lumabo's Music asks of a record before it plays, times or seeks it.
bool holds_frames(const Music& music) {
    return music.stream.buffer && music.frameCount && music.stream.sampleRate && music.stream.channels;
}

void refill(const Music& music, int times, bool mix) {
    for (int i = 0; i < times; ++i) {
        UpdateMusicStream(music);
        if (mix && i == 0)
            FuzzMixUntilProcessed(music.stream, mix_periods);
        else
            FuzzMarkProcessed(music.stream);
        (void)GetMusicTimePlayed(music);
    }
}

// Plays `music` through a few refills, seeks half way and refills, seeks to
// the end and refills through the rewind; `to_end_only` stops before any
// refill that would pass the end.
void play_music(Music music, bool to_end_only = false) {
    if (holds_frames(music)) {
        (void)IsMusicValid(music);
        PlayMusicStream(music);
        const unsigned int sub_buffer = FuzzSubBufferFrames(music.stream);
        const int whole = sub_buffer ? static_cast<int>(music.frameCount / sub_buffer) : 0;
        refill(music, to_end_only ? std::min(refills, whole) : refills, true);
        const float length = GetMusicTimeLength(music);
        SeekMusicStream(music, length / 2);
        refill(music, to_end_only ? 0 : 1, false);
        if (!to_end_only) {
            SeekMusicStream(music, length);
            refill(music, 2, false);
        }
        StopMusicStream(music);
    }
    if (music.stream.buffer || music.ctxData) UnloadMusicStream(music);
    if (raylib_leaks_wav_context && music.ctxType == music_audio_wav) std::free(music.ctxData);
}

void play_sound(Sound sound) {
    // lumabo plays a sound that holds frames, or one without a buffer
    // (which raylib ignores).
    if (!sound.stream.buffer || sound.frameCount) {
        PlaySound(sound);
        FuzzMixUntilProcessed(sound.stream, 4);
        StopSound(sound);
    }
    UnloadSound(sound);
}

void sound_from_memory(const uint8_t* data, size_t size) {
    if (refused(file_type, data, size, Reader::whole)) return;
    Wave wave = LoadWaveFromMemory(file_type, data, static_cast<int>(size));
    if (IsWaveValid(wave)) play_sound(LoadSoundFromWave(wave));
    UnloadWave(wave);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* device = std::getenv("LUMABO_FUZZ_DEVICE");
    if (!device || std::string(device) != "closed") FuzzOpenAudio();

    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumabo-fuzz-XXXXXX";
    if (!mkdtemp(dir.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    file_path = dir + "/x" + file_type;
    static std::string made = dir;
    std::atexit([] {
        unlink(file_path.c_str());
        rmdir(made.c_str());
        FuzzCloseAudio();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // raylib takes a size in an int; lumabo refuses larger bytes before it.
    if (size > 1 << 24) return -1;

    if (!refused(file_type, data, size, Reader::stream_in_memory))
        play_music(LoadMusicStreamFromMemory(file_type, data, static_cast<int>(size)),
                   raylib_reads_past_qoa_in_memory && std::string_view(file_type) == ".qoa");
    sound_from_memory(data, size);

    if (!write_file(data, size)) return 0;
    if (!refused(file_path.c_str(), Reader::stream)) play_music(LoadMusicStream(file_path.c_str()));
    if (!refused(file_path.c_str(), Reader::whole)) play_sound(LoadSound(file_path.c_str()));
    return 0;
}
