// A look at a QOA file before raylib opens it.
//
// raylib trusts a QOA file's header. Its music player opens the file and,
// when the header is bad, returns without closing it; when the first frame
// does not decode, it reads its sample buffer past the end on every refill.
// Its sound loader allocates the samples the header declares and decodes
// into them, whatever the file holds. Both decode a frame whose declared
// size is below its own header past their buffers, and keep state for
// eight channels only. Each of these is decided by the headers and the
// file's size, read here as raylib reads them (qoa.h, qoaplay.c): a file
// that fails is never handed to raylib, and the caller makes the empty
// record raylib returns for a file it cannot read.
#pragma once

#include <climits>

#include "source.hpp"

namespace lumabo::check::qoa {

// A music stream reads the file one frame at a time, a sound whole into one
// allocation. A music stream from memory reads a copy of the data one frame
// at a time too, but hands each frame the bytes of a full frame whether the
// data holds that many or not.

// The format (qoa.h).
constexpr uint32_t magic = 0x716f6166;  // "qoaf"
constexpr unsigned header_size = 16;    // file header and first frame header
constexpr uint64_t max_channels = 8;    // raylib keeps state for no more
constexpr uint64_t frame_len = 5120;    // samples per channel in a full frame
constexpr uint64_t slice_len = 20;      // samples per channel in 8 bytes

constexpr uint64_t frame_size(uint64_t channels, uint64_t slices) {
    return 8 + 16 * channels + 8 * slices * channels;
}

// Whether raylib can read a file of `size` bytes that begins with `head`
// (`got` bytes of it) without leaking it, overrunning a buffer or
// allocating for samples the file cannot hold.
inline bool readable(const unsigned char* head, ssize_t got, uint64_t size, Reader reader) {
    // qoa_decode_header: the header, a count of samples, channels and a rate.
    if (got < static_cast<ssize_t>(header_size)) return false;
    const uint64_t file_header = big_endian(head, 8);
    const uint64_t frame_header = big_endian(head + 8, 8);
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
    if (reader != Reader::whole)
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
    return reader != Reader::whole || samples * channels <= INT_MAX;
}

// raylib's test of a frame header (qoa_decode_frame), in its own unsigned
// arithmetic: whether it decodes that frame from `available` bytes.
inline bool decodes(uint64_t header, uint64_t available, uint32_t channels, uint32_t rate) {
    const auto bytes = static_cast<uint32_t>(std::min<uint64_t>(available, UINT32_MAX));
    const auto frame_channels = static_cast<uint32_t>(header >> 56);
    const auto frame_rate = static_cast<uint32_t>(header >> 32) & 0xffffff;
    const auto samples = static_cast<uint32_t>(header >> 16) & 0xffff;
    const auto size = static_cast<uint32_t>(header) & 0xffff;
    if (bytes < 8 + 16 * channels) return false;
    const uint32_t data_size = size - 8 - 16 * frame_channels;
    return frame_channels == channels && frame_rate == rate && size <= bytes &&
           samples * frame_channels <= data_size / 8 * static_cast<uint32_t>(slice_len);
}

// Whether every frame that raylib will decode from the file stays within
// its buffers. The player reads the frames a full frame's size apart and
// decodes each from what it read; a size below the frame's own header and
// state passes raylib's test by wrapping around, and the frame is then
// decoded past the buffer. The loader decodes frame after frame from where
// the last one's samples end, until one fails or the declared samples are
// there: a frame must not reach past the file nor past the declared samples.
// `read_at(at, bytes)` reads the 8 bytes at `at`, false when it cannot.
template <typename ReadAt>
bool frames_fit(ReadAt read_at, uint64_t size, const unsigned char* head, Reader reader) {
    const uint64_t declared = big_endian(head, 8) & 0xffffffff;
    const uint64_t first = big_endian(head + 8, 8);
    const auto channels = static_cast<uint32_t>(first >> 56);
    const auto rate = static_cast<uint32_t>(first >> 32) & 0xffffff;
    const uint64_t state_end = frame_size(channels, 0);
    uint64_t decoded = 0;
    for (uint64_t at = 8; at + 8 <= size;) {
        unsigned char bytes[8];
        if (!read_at(at, bytes)) return false;
        const uint64_t header = big_endian(bytes, 8);
        const uint64_t samples = (header >> 16) & 0xffff;
        if (reader == Reader::stream) {
            const uint64_t read = frame_size(channels, frame_len / slice_len);
            if (decodes(header, std::min(read, size - at), channels, rate) && (header & 0xffff) < state_end)
                return false;
            at += read;
            continue;
        }
        if (reader == Reader::stream_in_memory) {
            // Decoded from a full frame's bytes, past the data if it says so.
            const uint64_t read = frame_size(channels, frame_len / slice_len);
            if (decodes(header, read, channels, rate) &&
                ((header & 0xffff) < state_end || (header & 0xffff) > size - at))
                return false;
            at += read;
            continue;
        }
        if (!decodes(header, size - at, channels, rate)) return true;
        const uint64_t used = frame_size(channels, (samples + slice_len - 1) / slice_len);
        if (used > size - at || decoded + samples > declared) return false;
        decoded += samples;
        at += used;
        if (decoded >= declared) return true;
    }
    return true;
}

// Whether raylib, reading `source` as `reader` says, cannot read it safely.
inline bool refused(const Source& source, Reader reader) {
    if (!source.looked_at()) return false;
    unsigned char head[header_size];
    const auto got = static_cast<ssize_t>(source.read_some(0, head, sizeof head));
    auto read_at = [&source](uint64_t at, unsigned char* bytes) { return source.read(at, bytes, 8); };
    return !readable(head, got, source.size(), reader) || !frames_fit(read_at, source.size(), head, reader);
}

}  // namespace lumabo::check::qoa
