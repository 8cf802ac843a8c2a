// A look at a WAV file (RIFF, RIFX, RF64, W64 or AIFF/AIFC, as dr_wav reads
// them) before raylib opens it.
//
// raylib hands a file named ".wav" to dr_wav, which reads any of these
// containers whatever the name. Three things go wrong from the file alone:
//
// - A music stream makes its buffer for 8-bit, 16-bit or else 32-bit
//   samples, then copies bitsPerSample/8 bytes a sample into it: samples of
//   40 bits or more are written past the buffer on every refill (not in the
//   raylib that lumabo builds, whose WAV streams decode them to floats).
// - A music stream refills by reading, and when the decoder yields fewer
//   frames than asked, rewinds and reads again until it has them: a file
//   whose first frame does not decode (a codec dr_wav does not know, a bad
//   first ADPCM block, declared frames with no data behind them) never ends
//   its refill. A sound reads the same once, into an allocation for the
//   declared frames that nothing then fills: it would play whatever the
//   heap held. Both are refused.
// - dr_wav's own walk over the chunks trusts their sizes: a size that wraps
//   seeks it back to a chunk it has read (it reads that chunk forever), or
//   so far forward that a file takes billions of seeks to get there.
//
// Each is decided by the headers and the file's size, read here as dr_wav
// reads them (drwav_init__internal and the readers raylib calls): a file
// that fails is never handed to raylib, and the caller makes the empty
// record raylib returns for a file it cannot read. A file that dr_wav
// itself refuses is left to it: raylib then returns that record anyway.
#pragma once

#include <climits>

#include "source.hpp"

namespace lumabo::check::wav {

// Format tags dr_wav decodes (DR_WAVE_FORMAT_*).
constexpr uint16_t pcm = 0x1;
constexpr uint16_t adpcm = 0x2;
constexpr uint16_t ieee_float = 0x3;
constexpr uint16_t alaw = 0x6;
constexpr uint16_t mulaw = 0x7;
constexpr uint16_t dvi_adpcm = 0x11;
constexpr uint16_t extensible = 0xFFFE;

// dr_wav's limits on the format.
constexpr uint32_t max_rate = 384000;
constexpr uint32_t max_channels = 256;
constexpr uint32_t max_bits = 64;

// The largest sample a music stream's buffer holds: 32-bit floats. The
// raylib that lumabo builds decodes wider samples to 32-bit floats instead
// (the build says whether the modules are built against it).
#ifndef LUMABO_RAYLIB_WIDE_STREAM_SAMPLES
#define LUMABO_RAYLIB_WIDE_STREAM_SAMPLES 0
#endif
constexpr uint32_t stream_max_bits = LUMABO_RAYLIB_WIDE_STREAM_SAMPLES ? max_bits : 39;

// NOTE: dr_wav seeks forward at most 0x7FFFFFFF bytes at a time. A file is
// read through stdio, which seeks past its end without complaint: a chunk
// size that wrapped below zero (near 2^64) takes billions of seeks. No real
// file is 64 TiB; a seek this far is taken for one that never ends.
constexpr uint64_t endless_seek = uint64_t{1} << 46;

// The Wave64 chunk GUIDs.
constexpr unsigned char w64_riff[16] = {0x72, 0x69, 0x66, 0x66, 0x2E, 0x91, 0xCF, 0x11,
                                        0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
constexpr unsigned char w64_wave[16] = {0x77, 0x61, 0x76, 0x65, 0xF3, 0xAC, 0xD3, 0x11,
                                        0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr unsigned char w64_fmt[16] = {0x66, 0x6D, 0x74, 0x20, 0xF3, 0xAC, 0xD3, 0x11,
                                       0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr unsigned char w64_fact[16] = {0x66, 0x61, 0x63, 0x74, 0xF3, 0xAC, 0xD3, 0x11,
                                        0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr unsigned char w64_data[16] = {0x64, 0x61, 0x74, 0x61, 0xF3, 0xAC, 0xD3, 0x11,
                                        0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};

// AIFC compression types dr_wav decodes, and the format each stands for.
struct Compression {
    char type[5];
    uint16_t tag;
};
constexpr Compression aifc_types[] = {
    {"NONE", pcm},        {"raw ", pcm},        {"sowt", pcm},        {"fl32", ieee_float},
    {"fl64", ieee_float}, {"FL32", ieee_float}, {"FL64", ieee_float}, {"alaw", alaw},
    {"ALAW", alaw},       {"ulaw", mulaw},      {"ULAW", mulaw},
};

enum class Container { riff, rifx, rf64, w64, aiff };

// What dr_wav makes of a file: whether it opens it, and the format, the
// data and the frame count it then reads by.
struct Layout {
    bool opens = false;
    bool endless = false;  // dr_wav's walk never ends: refuse whatever else
    uint16_t tag = 0;      // the translated format tag
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint32_t block_align = 0;
    uint64_t data_at = 0;    // where the first frame is
    uint64_t data_size = 0;  // the bytes of frames dr_wav reads
    uint64_t frames = 0;     // totalPCMFrameCount
};

// dr_wav's reading of the file: a position, and reads and seeks that
// succeed or fail as stdio's (a file) or dr_wav's own (memory) do.
class Walk {
public:
    Walk(const Source& source, bool in_memory) : source_(source), in_memory_(in_memory) {}

    uint64_t at() const { return at_; }
    uint64_t size() const { return source_.size(); }

    // Reads up to `n` bytes; returns how many.
    uint64_t read(void* out, uint64_t n) {
        const uint64_t got = source_.read_some(at_, out, n);
        at_ += got;
        return got;
    }
    bool read_all(void* out, uint64_t n) { return read(out, n) == n; }

    // One seek of dr_wav's callback: `offset` from `from` (the position now,
    // or the start).
    bool seek_by(int64_t offset, uint64_t from) {
        const int64_t to = static_cast<int64_t>(from) + offset;
        if (to < 0 || (in_memory_ && static_cast<uint64_t>(to) > size())) return false;
        at_ = static_cast<uint64_t>(to);
        return true;
    }

    // drwav__seek_forward, and drwav__seek_from_start: a seek in memory
    // fails past the end; through stdio it goes there, in steps of at most
    // 0x7FFFFFFF, which from far enough never end.
    bool seek_forward(uint64_t offset) { return seek_to(at_ + std::min(offset, endless_seek)); }
    bool seek_from_start(uint64_t offset) { return seek_to(std::min(offset, endless_seek)); }

    // Whether dr_wav, reading the file, would never end its walk.
    bool endless() const { return endless_; }
    void set_endless() { endless_ = true; }

private:
    const Source& source_;
    bool in_memory_;
    uint64_t at_ = 0;
    bool endless_ = false;

    bool seek_to(uint64_t to) {
        if (in_memory_) {
            if (to > size()) return false;
        } else if (to >= endless_seek) {
            endless_ = true;
            return false;
        }
        at_ = to;
        return true;
    }
};

// Integers of a container's byte order.
inline uint64_t number(const unsigned char* p, int bytes, Container container) {
    const bool big = container == Container::rifx || container == Container::aiff;
    return big ? big_endian(p, bytes) : little_endian(p, bytes);
}

// drwav_aiff_extented_to_s64, in its own unsigned arithmetic: the sample
// rate, or -1 where dr_wav refuses it.
inline int64_t aiff_rate(const unsigned char* p) {
    uint32_t exponent = static_cast<uint32_t>(p[0]) << 8 | p[1];
    uint64_t significand = big_endian(p + 2, 8);
    const bool sign = exponent >> 15;
    exponent &= 0x7FFF;
    if (exponent == 0 && significand == 0) return 0;
    if (exponent == 0x7FFF) return -1;
    exponent -= 16383;
    if (exponent > 63) return -1;
    if (exponent < 1) return 0;
    significand >>= (63 - exponent);
    if (significand > 0xFFFFFFFF) return -1;
    return sign && significand ? -1 : static_cast<int64_t>(significand);
}

inline bool compressed(uint16_t tag) { return tag == adpcm || tag == dvi_adpcm; }

// drwav_get_bytes_per_pcm_frame.
inline uint32_t frame_bytes(const Layout& wav) {
    uint32_t bytes = (wav.bits & 7) == 0 ? wav.bits * wav.channels >> 3 : wav.block_align;
    if ((wav.tag == alaw || wav.tag == mulaw) && bytes != wav.channels) return 0;
    return bytes;
}

// The chunk header: an id and a size, as drwav__read_chunk_header reads it.
struct Chunk {
    unsigned char id[16] = {};
    uint64_t size = 0;
    uint64_t padding = 0;
};

inline bool read_chunk(Walk& walk, Container container, Chunk& chunk) {
    unsigned char size[8];
    if (container == Container::w64) {
        if (!walk.read_all(chunk.id, 16) || !walk.read_all(size, 8)) return false;
        chunk.size = little_endian(size, 8) - 24;  // W64 counts the header
        chunk.padding = chunk.size % 8;
        return true;
    }
    if (!walk.read_all(chunk.id, 4) || !walk.read_all(size, 4)) return false;
    chunk.size = number(size, 4, container);
    chunk.padding = chunk.size % 2;
    return true;
}

inline bool is(const Chunk& chunk, Container container, const char* fourcc, const unsigned char* guid) {
    if (container == Container::w64) return guid && std::memcmp(chunk.id, guid, 16) == 0;
    return fourcc && std::memcmp(chunk.id, fourcc, 4) == 0;
}

// drwav_init__internal, as raylib calls it (no metadata, not sequential).
inline Layout open(const Source& source, bool in_memory) {
    Layout wav;
    Walk walk(source, in_memory);
    unsigned char head[16];
    if (!walk.read_all(head, 4)) return wav;

    Container container;
    if (std::memcmp(head, "RIFF", 4) == 0) container = Container::riff;
    else if (std::memcmp(head, "RIFX", 4) == 0) container = Container::rifx;
    else if (std::memcmp(head, "RF64", 4) == 0) container = Container::rf64;
    else if (std::memcmp(head, "FORM", 4) == 0) container = Container::aiff;
    else if (std::memcmp(head, "riff", 4) == 0) {
        container = Container::w64;
        if (!walk.read_all(head + 4, 12) || std::memcmp(head, w64_riff, 16) != 0) return wav;
    } else {
        return wav;
    }

    bool aifc = false;
    if (container == Container::w64) {
        unsigned char size[8];
        if (!walk.read_all(size, 8) || little_endian(size, 8) < 80) return wav;
        if (!walk.read_all(head, 16) || std::memcmp(head, w64_wave, 16) != 0) return wav;
    } else {
        unsigned char size[4];
        if (!walk.read_all(size, 4) || !walk.read_all(head, 4)) return wav;
        if (container == Container::rf64 && little_endian(size, 4) != 0xFFFFFFFF) return wav;
        if (container == Container::aiff) {
            if (big_endian(size, 4) < 18) return wav;
            if (std::memcmp(head, "AIFC", 4) == 0) aifc = true;
            else if (std::memcmp(head, "AIFF", 4) != 0) return wav;
        } else if (std::memcmp(head, "WAVE", 4) != 0) {
            return wav;
        }
    }

    uint64_t data_size = 0, fact_frames = 0, aiff_frames = 0;
    if (container == Container::rf64) {
        // ds64 first: the sizes that do not fit the RIFF fields.
        Chunk ds64;
        unsigned char sizes[16];
        if (!read_chunk(walk, container, ds64) || std::memcmp(ds64.id, "ds64", 4) != 0) return wav;
        if (!walk.seek_forward(8) || !walk.read_all(sizes, 16)) return wav;
        data_size = little_endian(sizes, 8);
        fact_frames = little_endian(sizes + 8, 8);
        if (!walk.seek_forward(ds64.size + ds64.padding - 24)) return wav;
    }

    // dr_wav's cursor is where it takes the data to be; the walk's position
    // is where it reads. They part only where a seek wraps.
    uint64_t cursor = walk.at();
    uint16_t format_tag = 0, channels = 0, block_align = 0, bits = 0;
    uint32_t rate = 0;
    unsigned char subformat[2] = {};
    bool found_fmt = false, found_data = false;
    for (;;) {
        const uint64_t chunk_at = walk.at();
        Chunk chunk;
        if (!read_chunk(walk, container, chunk)) break;
        cursor += container == Container::w64 ? 24 : 8;
        uint64_t size = chunk.size;

        if (container != Container::aiff && is(chunk, container, "fmt ", w64_fmt)) {
            found_fmt = true;
            unsigned char fmt[16];
            if (!walk.read_all(fmt, 16)) return wav;
            cursor += 16;
            format_tag = static_cast<uint16_t>(number(fmt, 2, container));
            channels = static_cast<uint16_t>(number(fmt + 2, 2, container));
            rate = static_cast<uint32_t>(number(fmt + 4, 4, container));
            block_align = static_cast<uint16_t>(number(fmt + 12, 2, container));
            bits = static_cast<uint16_t>(number(fmt + 14, 2, container));
            subformat[0] = subformat[1] = 0;
            if (chunk.size > 16) {
                unsigned char cb_size[2];
                if (!walk.read_all(cb_size, 2)) return wav;
                cursor += 2;
                const uint64_t extended = number(cb_size, 2, container);
                if (extended > 0) {
                    if (format_tag == extensible) {
                        unsigned char ext[22];
                        if (extended != 22 || !walk.read_all(ext, 22)) return wav;
                        subformat[0] = ext[6];
                        subformat[1] = ext[7];
                    } else if (!walk.seek_by(static_cast<int64_t>(extended), walk.at())) {
                        return wav;
                    }
                    cursor += extended;
                }
                // NOTE: dr_wav seeks past the rest by an int: a size of 2 GiB
                // or more, or below what it has read, seeks backwards.
                const uint64_t rest = chunk.size - 18 - extended;
                const auto by = static_cast<int32_t>(static_cast<uint32_t>(rest));
                if (!walk.seek_by(by, walk.at())) return wav;
                cursor += rest;
            }
            const bool padded = chunk.padding == 0 || walk.seek_forward(chunk.padding);
            if (padded) cursor += chunk.padding;
            // Back at this chunk's header or before it, dr_wav reads the same
            // chunks again, forever.
            if (walk.at() <= chunk_at) {
                walk.set_endless();
                break;
            }
            if (!padded) break;
            continue;
        }

        if (container != Container::aiff && is(chunk, container, "data", w64_data)) {
            found_data = true;
            wav.data_at = cursor;
            if (container != Container::rf64) data_size = size;
            break;
        }

        if (container != Container::aiff && is(chunk, container, "fact", w64_fact)) {
            unsigned char count[8];
            if (container == Container::w64) {
                if (!walk.read_all(count, 8)) return wav;
                cursor += 8;
                fact_frames = little_endian(count, 8);
                size -= 8;
            } else if (container != Container::rf64) {
                // NOTE: dr_wav takes a RIFF fact count for MS-ADPCM only, and
                // does not know the format yet here: it never takes it.
                if (!walk.read_all(count, 4)) return wav;
                cursor += 4;
                fact_frames = 0;
                size -= 4;
            }
            size += chunk.padding;
            if (!walk.seek_forward(size)) break;
            cursor += size;
            continue;
        }

        if (container == Container::aiff && std::memcmp(chunk.id, "COMM", 4) == 0) {
            found_fmt = true;
            const uint64_t comm_size = aifc ? 24 : 18;
            if (aifc ? chunk.size < comm_size : chunk.size != comm_size) return wav;
            unsigned char comm[24];
            if (!walk.read_all(comm, comm_size)) return wav;
            cursor += comm_size;
            channels = static_cast<uint16_t>(big_endian(comm, 2));
            aiff_frames = big_endian(comm + 2, 4);
            bits = static_cast<uint16_t>(big_endian(comm + 6, 2));
            const int64_t aiff_sample_rate = aiff_rate(comm + 8);
            if (aiff_sample_rate < 0) return wav;
            rate = static_cast<uint32_t>(aiff_sample_rate);
            format_tag = pcm;
            if (aifc) {
                const Compression* known = nullptr;
                for (const Compression& type : aifc_types)
                    if (std::memcmp(comm + 18, type.type, 4) == 0) known = &type;
                if (!known) return wav;  // ima4 too: dr_wav gives up on it
                format_tag = known->tag;
            }
            block_align = static_cast<uint16_t>(channels * bits / 8);
            if ((format_tag == alaw || format_tag == mulaw) && bits > 8) {
                bits = 8;
                block_align = channels;
            }
            bits = static_cast<uint16_t>(bits + (bits & 7));
            if (aifc) {
                if (!walk.seek_forward(chunk.size - comm_size)) return wav;
                cursor += chunk.size - comm_size;
            }
            continue;
        }

        if (container == Container::aiff && std::memcmp(chunk.id, "SSND", 4) == 0) {
            found_data = true;
            unsigned char offset_and_block[8];
            if (!walk.read_all(offset_and_block, 8)) return wav;
            cursor += 8;
            const uint64_t offset = big_endian(offset_and_block, 4);
            wav.data_at = cursor + offset;
            data_size = size > offset ? size - offset : 0;
            size = size + chunk.padding - 8;
            if (!walk.seek_forward(size)) break;
            cursor += size;
            continue;
        }

        size += chunk.padding;
        if (!walk.seek_forward(size)) break;
        cursor += size;
    }

    if (walk.endless()) {
        wav.endless = true;
        return wav;
    }
    if (!found_fmt || !found_data) return wav;
    if (rate == 0 || rate > max_rate || channels == 0 || channels > max_channels || bits == 0 ||
        bits > max_bits || block_align == 0)
        return wav;

    wav.tag = format_tag == extensible ? static_cast<uint16_t>(number(subformat, 2, container)) : format_tag;
    wav.channels = channels;
    wav.bits = bits;
    wav.block_align = block_align;

    if (!walk.seek_from_start(wav.data_at)) {
        wav.endless = walk.endless();
        return wav;
    }
    // dr_wav holds the data to the file's end; past it, the subtraction
    // wraps (an SSND offset past the end of a file read from disk).
    if (data_size + wav.data_at > source.size()) data_size = source.size() - wav.data_at;
    if (data_size == 0xFFFFFFFF && (container == Container::riff || container == Container::rifx))
        data_size = 0;  // dr_wav counts the bytes from the end it sought to

    const uint32_t bytes = frame_bytes(wav);
    if (!compressed(wav.tag) && bytes > 0) data_size -= data_size % bytes;
    wav.data_size = data_size;

    if (fact_frames != 0) {
        wav.frames = fact_frames;
    } else if (aiff_frames != 0) {
        wav.frames = aiff_frames;
    } else {
        if (bytes == 0) return wav;
        wav.frames = data_size / bytes;
        if (compressed(wav.tag)) {
            uint64_t blocks = data_size / block_align;
            if (blocks * block_align < data_size) blocks += 1;
            const uint64_t header = wav.tag == adpcm ? 6 : 4;
            // In dr_wav's unsigned arithmetic: fewer bytes than headers wrap.
            wav.frames = (data_size - blocks * header * channels) * 2 / channels;
            if (wav.tag == dvi_adpcm) wav.frames += blocks;
        }
    }
    if (compressed(wav.tag) && channels > 2) return wav;
    if (bytes == 0) return wav;
    wav.opens = true;
    return wav;
}

// Whether drwav_read_pcm_frames_s16 (or _f32, which for the streams' 16-,
// 24- and 32-bit samples reads alike) yields a frame from the first one.
inline bool yields_frames(const Layout& wav, const Source& source) {
    if (wav.frames == 0) return false;
    unsigned char header[14];
    switch (wav.tag) {
    case adpcm:
        // A block opens with a predictor a channel, an index into a table
        // of 7 coefficients; dr_wav reads the header from the file, past
        // the data if need be.
        if (!source.read(wav.data_at, header, wav.channels == 1 ? 7 : 14)) return false;
        return header[0] < 7 && (wav.channels == 1 || header[1] < 7);
    case dvi_adpcm:
        // A block opens with a step index a channel, into a table of 89.
        if (!source.read(wav.data_at, header, wav.channels == 1 ? 4 : 8)) return false;
        return header[2] < 89 && (wav.channels == 1 || header[6] < 89);
    case pcm:
    case ieee_float:
    case alaw:
    case mulaw: {
        const uint32_t bytes = frame_bytes(wav);
        // All but 16-bit PCM is converted through a buffer of 4096 bytes, in
        // whole samples.
        if (!(wav.tag == pcm && wav.bits == 16) &&
            (bytes / wav.channels == 0 || bytes % wav.channels != 0 || bytes > 4096))
            return false;
        const uint64_t there = wav.data_at < source.size() ? source.size() - wav.data_at : 0;
        return std::min(wav.data_size, there) >= bytes;
    }
    default:
        return false;  // a codec dr_wav does not decode
    }
}

// Whether raylib, reading `source` as `reader` says, cannot read it safely.
inline bool refused(const Source& source, Reader reader) {
    if (!source.looked_at()) return false;
    // Raylib reads a sound's file into memory and decodes it from there.
    const Layout wav = open(source, reader != Reader::stream);
    if (wav.endless) return true;
    if (!wav.opens) return false;
    // A stream's buffer holds samples of 32 bits at most.
    if (reader != Reader::whole && wav.bits > stream_max_bits) return true;
    // raylib counts the frames in an unsigned int; none, and it reads none.
    if (static_cast<uint32_t>(wav.frames) == 0) return false;
    // NOTE: a stream rewinds to the first frame by an int offset: from data
    // that starts past 2 GiB the rewind fails, and each refill after the
    // first pass reads nothing, forever.
    if (reader == Reader::stream && wav.data_at > INT_MAX) return true;
    return !yields_frames(wav, source);
}

}  // namespace lumabo::check::wav
