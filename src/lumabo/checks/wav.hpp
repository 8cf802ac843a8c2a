// A look at a WAV file (RIFF, RF64, W64 or AIFF, as dr_wav reads them)
// before raylib opens it.
#pragma once

#include "source.hpp"

namespace lumabo::check::wav {

// Whether raylib, reading `source` as `reader` says, cannot read it safely.
inline bool refused(const Source& source, Reader reader) {
    (void)source;
    (void)reader;
    return false;
}

}  // namespace lumabo::check::wav
