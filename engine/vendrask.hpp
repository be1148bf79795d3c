// The measure engine: how much of one byte string the compressor can express
// through another, from the sizes of raw Deflate streams. Plain functions over
// plain values; nothing here knows about Python.
//
// Module-wide state (last error, debug mode, the one-time environment read and
// the probe arena) is unsynchronised: callers serialise their calls.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace vendrask {

// Largest allowed n_t + n_s, in bytes, for two strings that are not identical.
constexpr std::size_t JOINT_SIZE_LIMIT = 32767;
// Quotients above this are clamped...
constexpr double MEASURE_CEILING = 0.9998;
// ...to this: 0.9998 rounded to single precision (0.99980002641677856).
constexpr double MEASURE_CLAMPED = static_cast<double>(0.9998f);
// Bytes of scratch output per compression step; the output is only counted.
constexpr std::size_t PROBE_OUTPUT_CHUNK = 10240;
// zlib's working memory for one stream (about 270 KB for our parameters),
// with headroom for other zlib releases.
constexpr std::size_t PROBE_ARENA_BYTES = 384 * 1024;

// ---- Diagnostic state ------------------------------------------------------

// The message of the most recent failure, or nullptr before the first one.
// Always one of the fixed texts below; never cleared by a success.
const char* lastError();
void setLastError(const char* message);

bool debugMode();
// Echoes "vendrask: abcdefgh: <text>" to stderr, then turns debug mode on for
// the access code and off for any other text; nullptr leaves it unchanged.
void debugSwitch(const char* text);
// True until the first measure has read VENDRASK_DEBUG_MODE.
bool firstMeasurePending();
// Reads VENDRASK_DEBUG_MODE once: "ON" turns debug mode on, any other value
// off, unset leaves it.
void readDebugEnvironment();

namespace message {
constexpr const char* NULL_POINTER = "Null pointer";
constexpr const char* JOINT_SIZE = "Joint size of data should be less than 32 Kb";
constexpr const char* ZERO_SIZE = "An impossible zero value has appeared in the calculation";
constexpr const char* DEFLATE_INIT = "Inside Vendrask: deflateInit";
constexpr const char* DEFLATE_SET_DICTIONARY = "Inside Vendrask: deflateSetDictionary";
constexpr const char* DEFLATE_STEP = "Inside Vendrask: inflate";
constexpr const char* DEFLATE_END = "Inside Vendrask: deflateEnd";
}  // namespace message

// ---- Compressed-size probe ---------------------------------------------------

// Memory that zlib carves its stream state from, reused by every probe so that
// no probe touches the heap (or page-faults fresh memory in). One probe at a
// time per arena; a request that does not fit goes to the heap instead.
struct ProbeArena {
    // Not zeroed when made with new: zlib never depends on what the memory held.
    alignas(std::max_align_t) unsigned char bytes[PROBE_ARENA_BYTES];
    std::size_t used = 0;  // bump offset into bytes
    std::size_t live = 0;  // allocations not yet freed; at 0 the arena rewinds
};

enum class ProbeStatus { Ok, InitFailed, DictionaryRefused, StepFailed, EndFailed };

// The arena that compressedSize and measureCore use.
ProbeArena& moduleArena();

// The fixed message of a failed probe (nullptr for Ok).
const char* probeMessage(ProbeStatus status);

// Size in bytes of `data` compressed as raw Deflate (level 3, 32 KiB window,
// memory level 8), primed with `dictionary` when it is not nullptr. A
// dictionary shorter than 3 bytes has no effect and only its last 32506 bytes
// count, as in the zlib release that defines the values. `arena` may be
// nullptr for zlib's default allocator. Touches no module-wide state.
ProbeStatus probeSize(ProbeArena* arena, const char* dictionary, std::size_t dictionaryLength,
                      const char* data, std::size_t dataLength, std::int32_t& size);

// probeSize on the module-wide arena: 0 on success, -1 after setLastError.
int compressedSize(const char* dictionary, std::size_t dictionaryLength, const char* data,
                   std::size_t dataLength, std::int32_t& size);

// ---- Measure and mean --------------------------------------------------------

// The five sizes of a pair: s alone, s after t, t after s, s after s, t after t.
struct PairSizes {
    std::int32_t k_s_e = 0, k_s_t = 0, k_t_s = 0, k_s_s = 0, k_t_t = 0;
};

// Runs the five probes in their fixed order, stopping at the first failure.
ProbeStatus pairSizes(ProbeArena* arena, const char* t, std::size_t n_t, const char* s,
                      std::size_t n_s, PairSizes& sizes);

// n_t + n_s <= JOINT_SIZE_LIMIT, for any two lengths.
bool withinJointLimit(std::size_t n_t, std::size_t n_s);

bool hasZeroSize(const PairSizes& sizes);
// The clamped quotient of the five sizes, in [0, MEASURE_CLAMPED]. Requires
// !hasZeroSize(sizes).
double quotient(const PairSizes& sizes);

// The measure of s through t: exactly 1.0 for identical strings, otherwise a
// value in [0, MEASURE_CLAMPED], or -1.0 after setLastError.
double measureCore(const char* t, std::size_t n_t, const char* s, std::size_t n_s);

// The mean of two values, in double precision. No checks.
double adjustCore(float a, float b);

// ---- Many probes at once ----------------------------------------------------

struct ByteView {
    const char* data;
    std::size_t size;
};

// A probe's dictionary index that stands for no dictionary at all.
constexpr std::uint32_t NO_DICTIONARY = UINT32_MAX;

// Called from the calling thread with the number of probes done so far: once
// before any work and about every interval while it runs. Returning false
// stops the batch, and poll is not called again; anything it throws also
// stops the batch and reaches the caller once every worker has stopped.
using Poll = std::function<bool(std::size_t done)>;

struct BatchOutcome {
    bool finished = true;                    // false: poll stopped the batch
    ProbeStatus failure = ProbeStatus::Ok;   // the first failed probe seen
};

// sizes[k] = probeSize of strings[data[k]] primed with strings[dictionaries[k]]
// (or with no dictionary for NO_DICTIONARY), for every k < count; a failed
// probe leaves -1. Indices must be below the number of strings. Runs on up to
// `workers` threads, each with an arena of its own, or on the calling thread
// for one worker or a small batch. Touches no module-wide state.
//
// If fewer threads than asked can be started the batch runs on those; if none
// can, on the calling thread, as for one worker. std::bad_alloc and any other
// exception from a worker are carried back and rethrown here after all have
// stopped.
BatchOutcome probeBatch(const ByteView* strings, const std::uint32_t* dictionaries,
                        const std::uint32_t* data, std::int32_t* sizes, std::size_t count,
                        unsigned workers, const Poll& poll, std::chrono::milliseconds interval);

// The measure from five sizes, as measureCore combines them: NaN when a size
// is negative (a probe that failed or was never run) or 0.
double measureFromSizes(const PairSizes& sizes);

}  // namespace vendrask
