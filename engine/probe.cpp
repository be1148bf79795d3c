// The compressed-size probe: one fresh raw Deflate stream per call, its output
// written over a scratch area and only counted.
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <cstdlib>

#include "vendrask.hpp"

namespace vendrask {
namespace {

constexpr int LEVEL = 3;
constexpr int RAW_WINDOW_BITS = -15;  // 32 KiB window, no header, no checksum
constexpr int MEMORY_LEVEL = 8;
// The defining zlib release ignored dictionaries shorter than a match and kept
// only what fits in the window less the lookahead (32768 - 262 bytes).
constexpr std::size_t MIN_DICTIONARY = 3;
constexpr std::size_t MAX_DICTIONARY = 32506;
constexpr std::size_t ALIGNMENT = alignof(std::max_align_t);

bool inArena(const ProbeArena& arena, const void* address) {
    const auto begin = reinterpret_cast<std::uintptr_t>(arena.bytes);
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    return at >= begin && at < begin + sizeof arena.bytes;
}

voidpf arenaAlloc(voidpf opaque, uInt items, uInt size) {
    auto& arena = *static_cast<ProbeArena*>(opaque);
    const std::size_t bytes = static_cast<std::size_t>(items) * size;  // 64-bit: no overflow
    const std::size_t rounded = (bytes + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    if (rounded > sizeof arena.bytes - arena.used) return std::malloc(bytes);
    void* block = arena.bytes + arena.used;
    arena.used += rounded;
    ++arena.live;
    return block;
}

void arenaFree(voidpf opaque, voidpf address) {
    auto& arena = *static_cast<ProbeArena*>(opaque);
    if (!inArena(arena, address)) {
        std::free(address);
        return;
    }
    if (--arena.live == 0) arena.used = 0;
}

// Ends the stream on every early return; the normal path ends it itself to
// check the result.
class StreamGuard {
public:
    explicit StreamGuard(z_stream& stream) : stream_(&stream) {}
    StreamGuard(const StreamGuard&) = delete;
    StreamGuard& operator=(const StreamGuard&) = delete;
    ~StreamGuard() {
        if (stream_ != nullptr) deflateEnd(stream_);
    }
    int end() {
        const int status = deflateEnd(stream_);
        stream_ = nullptr;
        return status;
    }

private:
    z_stream* stream_;
};

// zlib counts input in 32-bit units; longer data is fed in pieces.
void refill(z_stream& stream, const unsigned char*& next, std::size_t& remaining) {
    const std::size_t piece = remaining < UINT_MAX ? remaining : UINT_MAX;
    stream.next_in = const_cast<Bytef*>(next);
    stream.avail_in = static_cast<uInt>(piece);
    next += piece;
    remaining -= piece;
}

}  // namespace

const char* probeMessage(ProbeStatus status) {
    switch (status) {
        case ProbeStatus::Ok: return nullptr;
        case ProbeStatus::InitFailed: return message::DEFLATE_INIT;
        case ProbeStatus::DictionaryRefused: return message::DEFLATE_SET_DICTIONARY;
        case ProbeStatus::StepFailed: return message::DEFLATE_STEP;
        case ProbeStatus::EndFailed: return message::DEFLATE_END;
    }
    return message::DEFLATE_STEP;
}

ProbeStatus probeSize(ProbeArena* arena, const char* dictionary, std::size_t dictionaryLength,
                      const char* data, std::size_t dataLength, std::int32_t& size) {
    z_stream stream{};
    if (arena != nullptr) {
        stream.zalloc = arenaAlloc;
        stream.zfree = arenaFree;
        stream.opaque = arena;
    }
    if (deflateInit2(&stream, LEVEL, Z_DEFLATED, RAW_WINDOW_BITS, MEMORY_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return ProbeStatus::InitFailed;
    StreamGuard guard(stream);

    if (dictionary != nullptr && dictionaryLength >= MIN_DICTIONARY) {
        if (dictionaryLength > MAX_DICTIONARY) {
            dictionary += dictionaryLength - MAX_DICTIONARY;
            dictionaryLength = MAX_DICTIONARY;
        }
        if (deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary),
                                 static_cast<uInt>(dictionaryLength)) != Z_OK)
            return ProbeStatus::DictionaryRefused;
    }

    unsigned char scratch[PROBE_OUTPUT_CHUNK];
    auto next = reinterpret_cast<const unsigned char*>(data);
    std::size_t remaining = dataLength;
    int flush = Z_NO_FLUSH;
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) refill(stream, next, remaining);
        stream.next_out = scratch;
        stream.avail_out = sizeof scratch;
        if (stream.avail_in == 0) flush = Z_FINISH;
        const int status = deflate(&stream, flush);
        if (status == Z_STREAM_END) break;
        if (status != Z_OK) return ProbeStatus::StepFailed;
    }

    const uLong total = stream.total_out;
    if (guard.end() != Z_OK) return ProbeStatus::EndFailed;
    // Only a native caller compressing gigabytes gets here; a count that does
    // not fit must not wrap into a wrong size.
    if (total > static_cast<uLong>(INT32_MAX)) return ProbeStatus::StepFailed;
    size = static_cast<std::int32_t>(total);
    return ProbeStatus::Ok;
}

ProbeArena& moduleArena() {
    static ProbeArena arena{};  // constant-initialised: no global constructor
    return arena;
}

int compressedSize(const char* dictionary, std::size_t dictionaryLength, const char* data,
                   std::size_t dataLength, std::int32_t& size) {
    const ProbeStatus status =
        probeSize(&moduleArena(), dictionary, dictionaryLength, data, dataLength, size);
    if (status == ProbeStatus::Ok) return 0;
    setLastError(probeMessage(status));
    return -1;
}

}  // namespace vendrask
