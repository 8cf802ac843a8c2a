// The look at a file, or a file's bytes, that comes before raylib decodes
// it: each format raylib decodes from what the file itself tells, with a
// check of its own where raylib's decoder trusts the file too far.
#pragma once

#include <cstring>

#include "ogg.hpp"
#include "qoa.hpp"
#include "source.hpp"
#include "tracker.hpp"
#include "wav.hpp"

namespace lumabo::check {

// Which check a type of file gets, by the extension raylib goes by.
using Check = bool (*)(const Source&, Reader);
struct Format {
    const char* ext;
    Check refused;
    bool music_only;  // raylib's sound (and wave) loader does not read it
};
constexpr Format formats[] = {
    {".qoa", qoa::refused, false},
    {".ogg", ogg::refused, false},
    {".wav", wav::refused, false},
    {".xm", tracker::xm_refused, true},
    {".mod", tracker::mod_refused, true},
};

inline bool applies(const Format& format, Reader reader) {
    return !(format.music_only && reader == Reader::whole);
}

// Whether raylib, handed `path` by the loader `reader` names, would take it
// for a file that it cannot read safely.
inline bool refused(const char* path, Reader reader) {
    for (const Format& format : formats) {
        if (!applies(format, reader) || !named(path, format.ext, reader)) continue;
        const Source source(path);
        return format.refused(source, reader);
    }
    return false;
}

// Whether raylib, handed `size` bytes at `data` as a file of `file_type`
// (one of raylib's lower-case extensions), cannot read them safely.
inline bool refused(const char* file_type, const unsigned char* data, uint64_t size, Reader reader) {
    for (const Format& format : formats)
        if (applies(format, reader) && std::strcmp(file_type, format.ext) == 0)
            return format.refused(Source(data, size), reader);
    return false;
}

// raylib's `load` of `path`, or for a file refused above the empty record
// that raylib returns for a file it cannot read.
template <typename Record>
Record load(Record (*load)(const char*), const char* path, Reader reader) {
    return refused(path, reader) ? Record{} : load(path);
}

}  // namespace lumabo::check
