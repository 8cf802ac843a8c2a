// A look at a tracker module (XM, MOD) before raylib opens it.
//
// raylib plays XM with jar_xm and MOD with jar_mod, which trust the counts,
// sizes and indices in the module's headers. jar_xm reads past the file as
// zeros, but sizes its one allocation from the headers and then writes the
// pattern data, envelopes and play counters where the headers say; it loops
// over channels and the order table with byte counters. jar_mod copies a
// full header whatever the file's size, keeps room for 128 patterns, and
// plays a sample loop that starts past its sample from outside the sample.
// Each of these is decided by the headers, the order table and the pattern
// data, read here as the players read them: a module that fails is never
// handed to raylib, and the caller makes the empty record raylib returns for
// a file it cannot read. Ordinary modules of every shape trackers write
// pass; what raylib's players get wrong while playing a good module (the
// length they measure, a jump past a pattern's end) is mended in raylib
// itself (distrib/patches).
#pragma once

#include <cstdint>
#include <vector>

#include "source.hpp"

namespace lumabo::check::tracker {

// `n` bytes at `at` into `out`, and zeros where the file ends: how jar_xm
// reads every field (READ_U8 and READ_MEMCPY).
inline void read_padded(const Source& source, uint64_t at, unsigned char* out, uint64_t n) {
    if (n == 0) return;  // `out` may be the null data of an empty vector
    const uint64_t got = source.read_some(at, out, n);
    std::memset(out + got, 0, n - got);
}

inline uint64_t u16(const Source& source, uint64_t at) {
    unsigned char b[2];
    read_padded(source, at, b, 2);
    return little_endian(b, 2);
}

inline uint64_t u32(const Source& source, uint64_t at) {
    unsigned char b[4];
    read_padded(source, at, b, 4);
    return little_endian(b, 4);
}

namespace xm {

// The format (jar_xm.h).
constexpr uint64_t module_header = 60;   // ID text, name, tracker name, version
constexpr uint64_t max_rows = 256;       // rows a play counter is kept for
constexpr unsigned max_points = 12;      // envelope points an instrument keeps
constexpr uint64_t max_channels = 255;   // jar_xm counts channels in a byte
constexpr uint64_t max_instruments = 255;  // a pattern slot names no more
constexpr uint64_t max_samples = 255;    // an instrument's note map names no more
constexpr uint64_t max_length = 255;     // jar_xm counts order entries in a byte
// Speed (ticks a row) and bpm as FT2 writes them and its Fxx effect sets
// them. A speed beyond them makes a row last thousands of ticks, a bpm
// below them stretches each tick: the length raylib measures by playing the
// song then never ends.
constexpr uint64_t max_speed = 31;
constexpr uint64_t min_bpm = 32;

// NOTE: jar_xm lays out its context, patterns, instruments, samples and
// channels in one allocation, padding the pool to 16 bytes at points its
// count of the allocation leaves out. Its play counters (one a row of each
// order entry) come last; the padding takes their last bytes, which a long
// last pattern then writes past the allocation. These are jar_xm's sizes on
// the 64-bit platforms the package is built for.
static_assert(sizeof(void*) == 8, "jar_xm's layout below is the LP64 one");
constexpr uint64_t context_size = 424;
constexpr uint64_t pattern_size = 16;
constexpr uint64_t instrument_size = 272;
constexpr uint64_t sample_size = 80;
constexpr uint64_t slot_size = 5;
constexpr uint64_t channel_size = 256;

constexpr uint64_t align16(uint64_t x) { return (x + 15) & ~uint64_t{15}; }

// How many pattern slots jar_xm writes from `packed` bytes of packed
// pattern data (read past the file as zeros, each zero a full slot).
inline uint64_t slots_written(const unsigned char* data, uint64_t packed) {
    uint64_t slots = 0;
    for (uint64_t j = 0; j < packed; ++slots) {
        const unsigned char note = data[j];
        if (note & 0x80) {
            ++j;
            for (int bit = 0; bit < 5; ++bit)
                if (note & (1 << bit)) ++j;
        } else {
            j += 5;
        }
    }
    return slots;
}

// What a pattern asks of the change of pattern after it: the highest row
// the next pattern is to begin at (a pattern break names one, and the start
// of a pattern loop, E60, leaves its own row for the next change, as in
// FT2; -1 for none), and the order positions a position jump (Bxx) goes to.
struct Asked {
    int row = -1;
    std::vector<uint64_t> jumps;
};

inline Asked asked_of(const unsigned char* data, uint64_t packed, uint64_t channels) {
    Asked asked;
    auto at = [&](uint64_t j) -> unsigned { return j < packed ? data[j] : 0; };
    for (uint64_t j = 0, slot = 0; j < packed; ++slot) {
        const unsigned char note = data[j];
        unsigned effect = 0, param = 0;
        if (note & 0x80) {
            ++j;
            for (int bit = 0; bit < 5; ++bit) {
                if (!(note & (1 << bit))) continue;
                if (bit == 3) effect = at(j);
                if (bit == 4) param = at(j);
                ++j;
            }
        } else {
            effect = at(j + 3);
            param = at(j + 4);
            j += 5;
        }
        if (effect == 0xd) asked.row = std::max(asked.row, static_cast<int>((param >> 4) * 10 + (param & 0xf)));
        if (effect == 0xe && param == 0x60 && channels)
            asked.row = std::max(asked.row, static_cast<int>(slot / channels));
        if (effect == 0xb) asked.jumps.push_back(param);
    }
    return asked;
}

struct Envelope {
    unsigned points, sustain, loop_start, loop_end, flags;
};

// Whether jar_xm keeps an envelope within its twelve points: it stores as
// many points as the header says, and an envelope in use reads its
// sustain and loop points by index.
inline bool envelope_fits(const Envelope& e) {
    if (e.points > max_points) return false;
    const bool enabled = e.flags & 1, sustain = e.flags & 2, loop = e.flags & 4;
    if (!enabled || e.points < 2) return true;
    if (sustain && e.sustain >= max_points) return false;
    return !(loop && (e.loop_start >= max_points || e.loop_end >= max_points));
}

// Whether jar_xm starts a sample's loop within the sample, in its own units
// (16-bit samples in samples; a stereo sample's loop in halves of the
// header's values, its length in frames of one channel). A loop that ends
// past the sample it cuts short at the sample's end; one that starts past
// it, it plays from past the sample's data.
inline bool loop_fits(uint64_t length, uint64_t loop_start, unsigned flags) {
    if (!(flags & 3)) return true;
    const bool wide = flags & 0x10, stereo = flags & 0x20;
    if (wide) length >>= 1;
    if (stereo) length /= 2;
    if (wide && !stereo) loop_start >>= 1;
    if (stereo) loop_start /= 2;
    return length == 0 || loop_start < length;  // of no length, it plays nothing
}

// Whether raylib's XM player (jar_xm) cannot read `source` safely.
inline bool refused(const Source& source) {
    const uint64_t size = source.size();
    // jar_xm's own look at the ID and version: what fails it, it refuses.
    unsigned char id[module_header];
    if (source.read_some(0, id, sizeof id) != sizeof id) return false;
    if (std::memcmp(id, "Extended Module: ", 17) != 0 || id[37] != 0x1a || id[58] != 0x04 || id[59] != 0x01)
        return false;

    uint64_t at = module_header;
    const uint64_t header_size = u32(source, at);
    const uint64_t length = u16(source, at + 4);
    const uint64_t restart = u16(source, at + 6);
    const uint64_t channels = u16(source, at + 8);
    const uint64_t patterns = u16(source, at + 10);
    const uint64_t instruments = u16(source, at + 12);
    const uint64_t speed = u16(source, at + 16);
    const uint64_t bpm = u16(source, at + 18);
    unsigned char order[256];
    read_padded(source, at + 20, order, sizeof order);

    // An empty song plays a pattern the order table does not name, and
    // counts its rows in no room at all.
    if (length == 0 || length > max_length) return true;
    if (channels > max_channels || instruments > max_instruments) return true;
    if (speed > max_speed || bpm < min_bpm) return true;
    // jar_xm drops a last order entry that names no pattern; any other such
    // entry it refuses, and from memory then frees the module twice.
    uint64_t played = length;
    if (order[length - 1] >= patterns && length > 1) --played;
    for (uint64_t i = 0; i < played; ++i)
        if (order[i] >= patterns) return true;
    // The song starts over at the restart entry, read as an order entry.
    if (restart >= played) return true;

    // The patterns: their slots, and the rows a break asks for.
    at += header_size;
    std::vector<uint64_t> rows(patterns);
    std::vector<Asked> asked(patterns);
    std::vector<unsigned char> data;
    uint64_t all_rows = 0;
    for (uint64_t i = 0; i < patterns; ++i) {
        rows[i] = u16(source, at + 5);
        const uint64_t packed = u16(source, at + 7);
        at += u32(source, at);
        data.resize(packed);
        read_padded(source, at, data.data(), packed);
        if (slots_written(data.data(), packed) > rows[i] * channels) return true;
        asked[i] = asked_of(data.data(), packed, channels);
        all_rows += rows[i];
        at += packed;
    }
    // A pattern played has rows, and the row a pattern asks the next one to
    // begin at is one of the pattern that comes next: the next order entry
    // (the restart entry after the last), or the entry a jump goes to.
    for (uint64_t i = 0; i < played; ++i)
        if (rows[order[i]] == 0) return true;
    auto begins_within = [&](int row, uint64_t position) {
        return position >= played || row < static_cast<int>(std::min(rows[order[position]], max_rows));
    };
    for (uint64_t i = 0; i < played; ++i) {
        const Asked& a = asked[order[i]];
        if (a.row < 0) continue;
        if (!begins_within(a.row, i + 1 < played ? i + 1 : restart)) return true;
        for (uint64_t jump : a.jumps)
            if (!begins_within(a.row, jump)) return true;
    }

    // The instruments and their samples.
    uint64_t sample_records = 0, sample_bytes = 0;
    bool shifted = false;
    for (uint64_t i = 0; i < instruments; ++i) {
        // NOTE: jar_xm steps over a 16-bit sample's data by whole samples,
        // its count of the allocation by bytes: past half a sample the two
        // read the instruments after it at different places.
        if (shifted) return true;
        unsigned char head[243];
        read_padded(source, at, head, sizeof head);
        const uint64_t samples = little_endian(head + 27, 2);
        uint64_t sample_header = 0;
        if (samples > 0) {
            if (samples > max_samples) return true;
            sample_header = little_endian(head + 29, 4);
            const Envelope volume{head[225], head[227], head[228], head[229], head[233]};
            const Envelope panning{head[226], head[230], head[231], head[232], head[234]};
            if (!envelope_fits(volume) || !envelope_fits(panning)) return true;
        }
        at += little_endian(head, 4);
        uint64_t data_at = at + samples * sample_header;
        for (uint64_t j = 0; j < samples; ++j, at += sample_header) {
            unsigned char sample[15];
            read_padded(source, at, sample, sizeof sample);
            const uint64_t bytes = little_endian(sample, 4);
            const unsigned flags = sample[14];
            if (!loop_fits(bytes, little_endian(sample + 4, 4), flags)) return true;
            sample_bytes += (flags & 0x10) ? bytes * 2 : bytes * 4;
            data_at += (flags & 0x10) ? bytes & ~uint64_t{1} : bytes;
            shifted = shifted || ((flags & 0x10) && (bytes & 1));
            // jar_xm allocates (four bytes a sample) for the samples the
            // headers declare and reads what the file lacks as zeros. A file
            // cut short plays; one that declares more than twice what it
            // holds would have raylib allocate gigabytes (and a failed
            // allocation ends the process).
            if (data_at > 2 * size) return true;
        }
        sample_records += samples;
        at = data_at;
    }

    // The play counters: one a row of each order entry, after the rest of
    // the allocation, laid out as jar_xm lays it out.
    const uint64_t slots = slot_size * channels * all_rows;
    const uint64_t samples_end = sample_size * sample_records + sample_bytes;
    uint64_t pool = context_size + pattern_size * patterns;
    pool = align16(pool) + instrument_size * instruments;
    pool = align16(align16(pool) + slots) + samples_end;
    pool = align16(align16(pool) + channel_size * channels);
    uint64_t counted = align16(pattern_size * patterns) + instrument_size * instruments;
    counted = align16(align16(counted) + max_rows * length + slots) + samples_end;
    counted += channel_size * channels + context_size;
    uint64_t counters = 0;
    for (uint64_t i = 0; i < played; ++i)
        counters = std::max(counters, max_rows * i + std::min(rows[order[i]], max_rows));
    return pool + counters > counted;
}

}  // namespace xm

namespace mod {

// The format (jar_mod.h): a header of 31 samples (15 in the oldest
// modules, which have no signature) and a table of 128 order entries.
constexpr uint64_t header_size = 1084;
constexpr uint64_t old_header_size = 600;
constexpr uint64_t max_patterns = 128;   // jar_mod keeps room for no more
constexpr uint64_t max_size = 32 << 20;  // jar_mod reads no larger module
constexpr uint64_t rows = 64;

struct Signature {
    char text[5];
    uint64_t channels;
};
constexpr Signature signatures[] = {
    {"M!K!", 4}, {"M.K.", 4}, {"FLT4", 4}, {"FLT8", 8}, {"4CHN", 4}, {"6CHN", 6}, {"8CHN", 8},
    {"10CH", 10}, {"12CH", 12}, {"14CH", 14}, {"16CH", 16}, {"18CH", 18}, {"20CH", 20},
    {"22CH", 22}, {"24CH", 24}, {"26CH", 26}, {"28CH", 28}, {"30CH", 30}, {"32CH", 32},
};

// Whether raylib's MOD player (jar_mod) cannot read `source` safely.
inline bool refused(const Source& source, Reader reader) {
    const uint64_t size = source.size();
    // jar_mod copies a full header out of whatever it was handed. A module
    // from memory past its size limit it neither reads nor frees.
    if (size < header_size) return true;
    if (size >= max_size) return reader == Reader::stream_in_memory;
    unsigned char head[header_size];
    if (!source.read(0, head, sizeof head)) return true;

    uint64_t channels = 0;
    for (const Signature& s : signatures)
        if (std::memcmp(head + 1080, s.text, 4) == 0) channels = s.channels;
    const unsigned char* samples = head + 20;
    uint64_t sample_count = 31, at = header_size;
    if (!channels) {
        channels = 4;
        sample_count = 15;
        at = old_header_size;
    }
    const unsigned char* table = samples + 30 * sample_count;
    const uint64_t length = table[0];
    const unsigned char* order = table + 2;

    // Order entries past the song's length are never played, but jar_mod
    // loads every pattern the whole table names.
    if (length == 0 || length > max_patterns) return true;
    uint64_t patterns = 0;
    for (uint64_t i = 0; i < max_patterns; ++i) patterns = std::max<uint64_t>(patterns, order[i] + 1);
    if (patterns > max_patterns) return true;
    const uint64_t pattern_bytes = rows * 4 * channels;
    if (at + patterns * pattern_bytes >= size) return true;

    // A pattern break to a row past the pattern's end leaves jar_mod
    // reading rows past it, and past the module.
    std::vector<unsigned char> pattern(pattern_bytes);
    std::vector<bool> seen(patterns);
    for (uint64_t i = 0; i < length; ++i) {
        if (seen[order[i]]) continue;
        seen[order[i]] = true;
        if (!source.read(at + order[i] * pattern_bytes, pattern.data(), pattern_bytes)) return true;
        for (uint64_t n = 0; n < pattern_bytes; n += 4) {
            const unsigned effect = pattern[n + 2] & 0xf, param = pattern[n + 3];
            if (effect == 0xd && (param >> 4) * 10 + (param & 0xf) >= rows) return true;
        }
    }

    // The samples: their data follows the patterns, and a loop that starts
    // past the sample's end wraps jar_mod's loop length around (it counts
    // both in 16 bits, as it does the lengths) to play from past the sample.
    uint64_t data_at = at + patterns * pattern_bytes;
    for (uint64_t i = 0; i < sample_count; ++i) {
        const unsigned char* s = samples + 30 * i;
        const auto words = [s](int at) { return static_cast<uint16_t>(big_endian(s + at, 2) * 2); };
        const uint16_t sample_length = words(22), loop_start = words(26);
        if (sample_length == 0) continue;
        data_at += sample_length;
        if (data_at > size) return true;
        if (loop_start > sample_length) return true;
    }
    return false;
}

}  // namespace mod

// Whether raylib's XM player cannot read `source` safely.
inline bool xm_refused(const Source& source, Reader reader) {
    (void)reader;  // read whole, from a file and from memory alike
    return source.looked_at() && xm::refused(source);
}

// Whether raylib's MOD player cannot read `source` safely.
inline bool mod_refused(const Source& source, Reader reader) {
    return source.looked_at() && mod::refused(source, reader);
}

}  // namespace lumabo::check::tracker
