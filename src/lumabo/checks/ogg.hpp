// A look at an Ogg Vorbis file before raylib opens it.
//
// raylib's decoder (stb_vorbis) trusts the lengths in the comment header,
// the second packet of the stream: it allocates what the vendor length, the
// comment count and each comment's length say, and reads the bytes one at a
// time, taking the end of the packet for data. A length of gigabytes in a
// small file costs seconds of CPU (and as much address space) on every load.
// A count of that size allocates a list of pointers it never clears, and
// when a comment then fails, stb_vorbis frees every entry of it: the process
// aborts. (The raylib that lumabo builds bounds them itself.)
//
// The packet's length is told by the lacing values of the pages it spans,
// read here as stb_vorbis reads them (start_decoder, next_segment): a comment
// header whose lengths run past its packet is corrupt, libvorbis refuses it
// too, and it is never handed to raylib. Any other shape of file is left to
// stb_vorbis, which reads what it can of it in time bounded by its size.
#pragma once

#include <utility>
#include <vector>

#include "source.hpp"

namespace lumabo::check::ogg {

// The format (Ogg framing, Vorbis headers).
constexpr unsigned char capture[4] = {'O', 'g', 'g', 'S'};
constexpr uint64_t page_header_size = 27;  // up to the segment count
constexpr uint64_t identification_size = 30;
constexpr uint64_t comment_start = 7;  // packet type and "vorbis"

// Where a piece of a packet lies in the file: its bytes on one page.
struct Span {
    uint64_t packet_at;
    uint64_t file_at;
    uint64_t size;
};

// The pieces of the packet that starts at the first segment of the page at
// `page`, in order, as far as stb_vorbis reads it: up to a lacing value below
// 255, on through the pages that follow. NOTE: stb_vorbis goes on to the next
// page whether or not it is marked as continuing the packet (it reports one
// end of the packet, then reads on), and stops at a page it cannot read. A
// page's body past the end of the file it reads as zeros.
inline std::vector<Span> packet_at(const Source& source, uint64_t page, uint64_t& length) {
    std::vector<Span> spans;
    length = 0;
    for (;;) {
        unsigned char header[page_header_size];
        if (!source.read(page, header, sizeof header) || std::memcmp(header, capture, 4) != 0) break;
        const unsigned segments = header[26];
        unsigned char lacing[255];
        if (!source.read(page + page_header_size, lacing, segments)) break;
        const uint64_t body = page + page_header_size + segments;
        uint64_t size = 0;
        bool ended = false;
        for (unsigned i = 0; i < segments && !ended; ++i) {
            size += lacing[i];
            ended = lacing[i] < 255;
        }
        if (size) spans.push_back({length, body, size});
        length += size;
        if (ended) break;
        page = body + size;  // the packet took the whole body
    }
    return spans;
}

// A packet's bytes read in order, across the pages it spans.
class Packet {
public:
    Packet(const Source& source, std::vector<Span> spans, uint64_t length)
        : source_(source), spans_(std::move(spans)), length_(length) {}

    uint64_t left() const { return length_ - at_; }

    // Skips `n` bytes: false if the packet does not hold them.
    bool skip(uint64_t n) {
        if (n > left()) return false;
        at_ += n;
        return true;
    }

    // The little-endian 32-bit value next in the packet: false if the packet
    // does not hold it.
    bool le32(uint64_t& value) {
        if (left() < 4) return false;
        unsigned char bytes[4];
        for (unsigned char& b : bytes) b = next();
        value = little_endian(bytes, 4);
        return true;
    }

private:
    unsigned char next() {
        while (at_ >= spans_[span_].packet_at + spans_[span_].size) ++span_;
        const uint64_t file_at = spans_[span_].file_at + (at_ - spans_[span_].packet_at);
        ++at_;
        // NOTE: a packet of many empty comments is read four bytes at a time
        // through its whole length: from a file, a block at a time.
        if (file_at < cached_at_ || file_at >= cached_at_ + cached_) {
            cached_at_ = file_at;
            cached_ = source_.read_some(file_at, cache_, sizeof cache_);
            if (!cached_) return 0;  // past the end of the file: stb_vorbis reads zeros
        }
        return cache_[file_at - cached_at_];
    }

    const Source& source_;
    std::vector<Span> spans_;
    uint64_t length_;
    uint64_t at_ = 0;
    size_t span_ = 0;
    unsigned char cache_[4096];
    uint64_t cached_at_ = 0;
    uint64_t cached_ = 0;
};

// Whether the comment header's lengths fit in its packet, read in the order
// stb_vorbis reads them. Each comment takes at least its own four-byte
// length, so the walk takes no more steps than the packet has bytes.
inline bool lengths_fit(Packet& packet) {
    uint64_t vendor = 0, count = 0;
    if (!packet.skip(comment_start) || !packet.le32(vendor) || !packet.skip(vendor)) return false;
    if (!packet.le32(count) || count > packet.left() / 4) return false;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t length = 0;
        if (!packet.le32(length) || !packet.skip(length)) return false;
    }
    return true;
}

// Whether raylib, reading `source` (as any of its loaders does: they all
// read these headers the same way), cannot read it safely.
inline bool refused(const Source& source, Reader) {
    if (!source.looked_at()) return false;
    // stb_vorbis reads no further than a first page of one 30-byte packet,
    // the identification header; the comment header begins the next page.
    unsigned char first[page_header_size + 1];
    if (!source.read(0, first, sizeof first) || std::memcmp(first, capture, 4) != 0) return false;
    if (first[26] != 1 || first[27] != identification_size) return false;
    const uint64_t second = sizeof first + identification_size;
    uint64_t length = 0;
    std::vector<Span> spans = packet_at(source, second, length);
    if (spans.empty()) return false;
    // Only a comment header (packet type 3) is read on; stb_vorbis stops at
    // any other packet.
    unsigned char type = 0;
    if (!source.read(spans.front().file_at, &type, 1) || type != 3) return false;
    Packet packet(source, std::move(spans), length);
    return !lengths_fit(packet);
}

}  // namespace lumabo::check::ogg
