// What the checks of raylib's file formats read: a file, or a file's bytes
// in memory, and how raylib will read it.
//
// Each check looks at what the file itself tells (headers, sizes, tables)
// the way raylib's decoder will read it, and says whether raylib can be
// handed the file safely. A file the checks refuse never reaches raylib; the
// caller makes the empty record raylib returns for a file it cannot read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumabo::check {

// How raylib reads the file: a music stream one piece at a time from the
// file, a sound (and a wave) whole into one allocation, a music stream from
// memory one piece at a time from the caller's bytes.
enum class Reader { stream, whole, stream_in_memory };

// Whether raylib, handed `path` by the loader that `reader` names, takes it
// for a file of type `ext` (".wav", lower case). LoadMusicStream compares
// the text after the last dot without regard to case; LoadWave (and so
// LoadSound) compares it with the lower and the upper case spelling only.
inline bool named(const char* path, const char* ext, Reader reader) {
    const char* dot = std::strrchr(path, '.');
    if (!dot || dot == path) return false;
    const size_t length = std::strlen(ext);
    if (std::strlen(dot) != length) return false;
    bool lower = true, upper = true, any_case = true;
    for (size_t i = 0; i < length; ++i) {
        const char c = dot[i], e = ext[i];
        const char e_upper = (e >= 'a' && e <= 'z') ? static_cast<char>(e - 32) : e;
        lower = lower && c == e;
        upper = upper && c == e_upper;
        any_case = any_case && (c == e || c == e_upper);
    }
    return reader == Reader::whole ? lower || upper : any_case;
}

// The bytes a check reads: a file through its descriptor, or memory. A file
// that cannot be opened, or that is neither a regular file nor a directory
// (a pipe would be read, not looked at), is left to raylib, which cannot
// open it either: `looked_at()` is false for it. A directory opens, but
// holds no bytes.
class Source {
public:
    Source(const unsigned char* data, uint64_t size)
        : data_(data), size_(data ? size : 0), in_memory_(true), looked_at_(true) {}

    explicit Source(const char* path) {
        fd_ = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        // statx, not fstat: glibc exports fstat itself only since 2.33, which
        // the wheel's oldest supported C library does not have; statx is 2.28.
        struct statx st;
        if (statx(fd_, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE, &st) != 0) return;
        if (S_ISREG(st.stx_mode)) {
            size_ = static_cast<uint64_t>(st.stx_size);
            looked_at_ = true;
        } else if (S_ISDIR(st.stx_mode)) {
            looked_at_ = true;  // size_ stays 0: nothing to read
        }
    }

    ~Source() {
        if (fd_ >= 0) close(fd_);
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    bool looked_at() const { return looked_at_; }
    uint64_t size() const { return size_; }

    // Reads `n` bytes at `at` into `out`: false unless all of them are there.
    bool read(uint64_t at, void* out, uint64_t n) const {
        if (at > size_ || n > size_ - at) return false;
        if (n == 0) return true;
        if (in_memory_) {
            std::memcpy(out, data_ + at, n);
            return true;
        }
        return pread(fd_, out, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    }

    // Reads up to `n` bytes at `at`; returns how many it read.
    uint64_t read_some(uint64_t at, void* out, uint64_t n) const {
        if (at >= size_) return 0;
        n = std::min(n, size_ - at);
        return read(at, out, n) ? n : 0;
    }

private:
    const unsigned char* data_ = nullptr;
    int fd_ = -1;
    uint64_t size_ = 0;
    bool in_memory_ = false;
    bool looked_at_ = false;
};

// Little- and big-endian integers in the bytes at `p`.
inline uint64_t little_endian(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
inline uint64_t big_endian(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}

}  // namespace lumabo::check
