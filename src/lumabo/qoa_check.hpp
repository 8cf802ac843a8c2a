// A look at a QOA file before raylib opens it.
//
// raylib trusts a QOA file's header. Its music player opens the file and,
// when the header is bad, returns without closing it; when the first frame
// does not decode, it reads its sample buffer past the end on every refill.
// Its sound loader allocates the samples the header declares and decodes
// into them, whatever the file holds. Each of these is decided by the first
// 16 bytes and the file's size, read here as raylib reads them (qoa.h,
// qoaplay.c): a file that fails is never handed to raylib, and the caller
// makes the empty record raylib returns for a file it cannot read.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumabo::qoa {

// How raylib reads the file: a music stream one frame at a time, a sound
// whole into one allocation.
enum class Reader { stream, whole };

// The format (qoa.h).
constexpr uint32_t magic = 0x716f6166;  // "qoaf"
constexpr unsigned header_size = 16;    // file header and first frame header
constexpr uint64_t max_channels = 8;    // raylib keeps state for no more
constexpr uint64_t frame_len = 5120;    // samples per channel in a full frame
constexpr uint64_t slice_len = 20;      // samples per channel in 8 bytes

constexpr uint64_t frame_size(uint64_t channels, uint64_t slices) {
    return 8 + 16 * channels + 8 * slices * channels;
}

// Which names raylib loads as QOA: LoadMusicStream compares the text after
// the last dot without regard to case, LoadSound two spellings of it.
inline bool named_qoa(const char* path, Reader reader) {
    const char* dot = std::strrchr(path, '.');
    if (!dot || dot == path) return false;
    if (reader == Reader::whole) return !std::strcmp(dot, ".qoa") || !std::strcmp(dot, ".QOA");
    if (std::strlen(dot) != 4) return false;
    for (int i = 1; i < 4; ++i)
        if ((dot[i] | 0x20) != ".qoa"[i]) return false;
    return true;
}

inline uint64_t big_endian(const unsigned char* bytes) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | bytes[i];
    return v;
}

// Whether raylib can read a file of `size` bytes that begins with `head`
// (`got` bytes of it) without leaking it, overrunning a buffer or
// allocating for samples the file cannot hold.
inline bool readable(const unsigned char* head, ssize_t got, uint64_t size, Reader reader) {
    // qoa_decode_header: the header, a count of samples, channels and a rate.
    if (got < static_cast<ssize_t>(header_size)) return false;
    const uint64_t file_header = big_endian(head);
    const uint64_t frame_header = big_endian(head + 8);
    const uint64_t samples = file_header & 0xffffffff;
    const uint64_t channels = frame_header >> 56;
    const uint64_t rate = (frame_header >> 32) & 0xffffff;
    if (file_header >> 32 != magic || !samples || !channels || !rate) return false;
    // More channels than raylib keeps state for overrun that state.
    if (channels > max_channels) return false;
    // The first frame must decode (raylib's player falls back on it when any
    // frame fails) and fit the declared samples (the loader's allocation).
    // Below its header and state, its size would make raylib decode past it.
    const uint64_t first_samples = (frame_header >> 16) & 0xffff;
    const uint64_t first_size = frame_header & 0xffff;
    const uint64_t state_end = frame_size(channels, 0);
    uint64_t first_read = size - 8;
    if (reader == Reader::stream)
        first_read = std::min(first_read, frame_size(channels, frame_len / slice_len));
    if (first_size < state_end || first_size > first_read) return false;
    if (!first_samples || first_samples > samples) return false;
    if (first_samples * channels > (first_size - state_end) / 8 * slice_len) return false;
    // The declared samples must fit in the file: full frames, then the rest.
    const uint64_t frames = (samples + frame_len - 1) / frame_len;
    const uint64_t slices = (samples + slice_len - 1) / slice_len;
    if (size < 8 + frames * frame_size(channels, 0) + slices * 8 * channels)
        return false;
    // The loader counts all samples of all channels in an int.
    return reader == Reader::stream || samples * channels <= INT_MAX;
}

// Whether raylib, handed `path`, would take it for a QOA file that it
// cannot read safely. A file that cannot be opened here is left to raylib,
// which cannot open it either; so is anything but a file or a directory (a
// pipe would be read, not looked at). A directory opens, but reads nothing.
inline bool refused(const char* path, Reader reader) {
    if (!named_qoa(path, reader)) return false;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool refuse = false;
    if (fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
        unsigned char head[header_size];
        const ssize_t got = S_ISREG(st.st_mode) ? pread(fd, head, sizeof head, 0) : 0;
        refuse = !readable(head, got, static_cast<uint64_t>(st.st_size), reader);
    }
    close(fd);
    return refuse;
}

// raylib's `load` of `path`, or for a file refused above the empty record
// that raylib returns for a file it cannot read.
template <typename Record>
Record load(Record (*load)(const char*), const char* path, Reader reader) {
    return refused(path, reader) ? Record{} : load(path);
}

}  // namespace lumabo::qoa
