// A look at a tracker module (XM, MOD) before raylib opens it.
#pragma once

#include "source.hpp"

namespace lumabo::check::tracker {

// Whether raylib's XM player cannot read `source` safely.
inline bool xm_refused(const Source& source, Reader reader) {
    (void)source;
    (void)reader;
    return false;
}

// Whether raylib's MOD player cannot read `source` safely.
inline bool mod_refused(const Source& source, Reader reader) {
    (void)source;
    (void)reader;
    return false;
}

}  // namespace lumabo::check::tracker
