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
#include <vector>

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
    alignas(std::max_align_t) unsigned char bytes[PROBE_ARENA_BYTES]{};
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

// ---- Many pairs at once ------------------------------------------------------

struct ByteView {
    const char* data;
    std::size_t size;
};

// The measures of every pair of two lists: cell (i, j) equals
// measureCore(ts[i], ss[j]) bit for bit, but each distinct string's lone and
// self-primed sizes are probed once and each distinct ordered cross size once
// (for one list against itself, size(x after y) serves both (x, y) and (y, x)).
// Probes run on worker threads with arenas of their own; nothing module-wide
// is touched. The strings are borrowed and must outlive the object.
class MeasureMatrix {
public:
    MeasureMatrix(const std::vector<ByteView>& ts, const std::vector<ByteView>& ss);

    std::size_t taskCount() const { return tasks_; }

    // Runs every probe on `workers` threads; call once. The calling thread calls
    // poll(tasks done) before they start and every `interval` while they run;
    // if poll returns false the workers stop early and run returns false.
    bool run(unsigned workers, const std::function<bool(std::size_t)>& poll,
             std::chrono::milliseconds interval);

    // Writes the row-major ts.size() x ss.size() measures to `out`: NaN for
    // pairs over the limit and pairs whose probes failed. Returns the message
    // of the first failure, or nullptr if there was none.
    const char* fill(double* out) const;

private:
    bool overLimit(std::uint32_t a, std::uint32_t b) const;
    void runTask(std::size_t task, ProbeArena& arena);
    void work();

    std::vector<ByteView> strings_;  // the distinct strings of both lists
    std::vector<std::uint32_t> tRow_, sColumn_;             // input index -> row / column
    std::vector<std::uint32_t> rowString_, columnString_;   // row / column -> distinct string
    bool square_ = false;  // rows and columns are the same strings in the same order
    std::vector<bool> needsAlone_;
    std::vector<std::int32_t> alone_, self_;       // per distinct string
    std::vector<std::int32_t> sAfterT_, tAfterS_;  // rows x columns; tAfterS_ unused if square_
    std::size_t tasks_ = 0;
    std::atomic<std::size_t> next_{0}, done_{0};
    std::atomic<bool> stop_{false};
    std::atomic<int> failure_{static_cast<int>(ProbeStatus::Ok)};
};

}  // namespace vendrask
