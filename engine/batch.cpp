// Many probes at once: a batch of (dictionary, data) index pairs run on worker
// threads, each with an arena of its own, or on the calling thread when one is
// enough or no thread can be started. The calling thread polls for progress
// and stop requests meanwhile.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "vendrask.hpp"

namespace vendrask {
namespace {

// Probes taken from the shared counter at a time: few enough to balance the
// end of a batch, enough that the counter is not contended.
constexpr std::size_t PROBES_PER_GRAB = 8;
// Batches smaller than this run on the calling thread: starting threads would
// cost more than they save.
constexpr std::size_t INLINE_BELOW = 64;
// Arenas kept for the next batch, so that small batches do not pay for fresh
// memory. At most this many stay allocated for the life of the process.
constexpr std::size_t CACHED_ARENAS = 8;

// A free list of arenas. Constant-initialised and trivially destructible:
// nothing runs at load or exit, and cached arenas stay reachable.
struct ArenaCache {
    std::mutex mutex;
    ProbeArena* free[CACHED_ARENAS] = {};
    std::size_t count = 0;
};
ArenaCache arenaCache;

struct ReturnArena {
    void operator()(ProbeArena* arena) const {
        {
            std::lock_guard lock(arenaCache.mutex);
            if (arenaCache.count < CACHED_ARENAS) {
                arenaCache.free[arenaCache.count++] = arena;
                return;
            }
        }
        delete arena;
    }
};
using ArenaHandle = std::unique_ptr<ProbeArena, ReturnArena>;

ArenaHandle acquireArena() {
    {
        std::lock_guard lock(arenaCache.mutex);
        if (arenaCache.count > 0) return ArenaHandle(arenaCache.free[--arenaCache.count]);
    }
    return ArenaHandle(new ProbeArena);  // default-initialised: the bytes are not zeroed
}

// What the workers share.
class Batch {
public:
    Batch(const ByteView* strings, const std::uint32_t* dictionaries, const std::uint32_t* data,
          std::int32_t* sizes, std::size_t count)
        : strings_(strings), dictionaries_(dictionaries), data_(data), sizes_(sizes), count_(count) {}

    // Runs chunks until the batch is done or stopped; after each chunk calls
    // between(), which may ask to stop by returning false.
    template <typename Between>
    void work(ProbeArena& arena, Between&& between) {
        while (!stop_.load(std::memory_order_relaxed)) {
            const std::size_t first = next_.fetch_add(PROBES_PER_GRAB, std::memory_order_relaxed);
            if (first >= count_) return;
            const std::size_t last = std::min(first + PROBES_PER_GRAB, count_);
            for (std::size_t k = first; k < last; ++k) probe(k, arena);
            done_.fetch_add(last - first, std::memory_order_relaxed);
            if (!between()) stop_ = true;
        }
    }

    void fail(std::exception_ptr error) {
        std::lock_guard lock(errorMutex_);
        if (!error_) error_ = std::move(error);
        stop_ = true;
    }
    void rethrowAnyError() {
        if (error_) std::rethrow_exception(error_);
    }

    std::size_t done() const { return done_.load(std::memory_order_relaxed); }
    void stop() { stop_ = true; }
    bool stopped() const { return stop_.load(); }
    ProbeStatus failure() const { return static_cast<ProbeStatus>(failure_.load()); }

private:
    void probe(std::size_t k, ProbeArena& arena) {
        const std::uint32_t d = dictionaries_[k];
        const ByteView& text = strings_[data_[k]];
        const char* dictionary = d == NO_DICTIONARY ? nullptr : strings_[d].data;
        const std::size_t dictionaryLength = d == NO_DICTIONARY ? 0 : strings_[d].size;
        std::int32_t size = -1;
        const ProbeStatus status =
            probeSize(&arena, dictionary, dictionaryLength, text.data, text.size, size);
        if (status != ProbeStatus::Ok) {
            int ok = static_cast<int>(ProbeStatus::Ok);
            failure_.compare_exchange_strong(ok, static_cast<int>(status));
        }
        sizes_[k] = status == ProbeStatus::Ok ? size : -1;
    }

    const ByteView* strings_;
    const std::uint32_t* dictionaries_;
    const std::uint32_t* data_;
    std::int32_t* sizes_;
    std::size_t count_;
    std::atomic<std::size_t> next_{0}, done_{0};
    std::atomic<bool> stop_{false};
    std::atomic<int> failure_{static_cast<int>(ProbeStatus::Ok)};
    std::mutex errorMutex_;
    std::exception_ptr error_;
};

// The worker threads of one batch. Whatever way the caller leaves (a return,
// an exception from poll, or the unwinding of a thread that the interpreter
// ends at exit) the destructor stops and joins them before the batch they
// work on goes away. With none started it leaves the batch as it was, for
// the caller to run.
class Workers {
public:
    explicit Workers(Batch& batch) : batch_(batch) {}
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    ~Workers() {
        if (threads_.empty()) return;
        batch_.stop();
        join();
    }

    // Starts up to `wanted` threads, each with an arena; returns how many
    // started, which may be none. A thread that cannot be started (no arena,
    // no stack, no memory for its state, a process limit) ends the starting:
    // the work goes to the ones that did, or to the caller.
    unsigned start(unsigned wanted) {
        try {
            threads_.reserve(wanted);  // so that emplace_back never reallocates
        } catch (const std::bad_alloc&) {
            return 0;
        }
        for (unsigned w = 0; w < wanted; ++w) {
            // The arena comes from this thread: a worker that ran out of
            // memory would have to throw, and a new thread's first exception
            // needs thread-local memory that glibc cannot do without (it
            // aborts the process instead of failing).
            ArenaHandle arena;
            try {
                arena = acquireArena();
            } catch (const std::bad_alloc&) {
                break;
            }
            setRunning(+1);  // before the thread exists, so its own -1 comes after
            try {
                threads_.emplace_back([this, arena = std::move(arena)] { run(*arena); });
            } catch (const std::system_error&) {
                setRunning(-1);
                break;
            } catch (const std::bad_alloc&) {
                setRunning(-1);
                break;
            }
        }
        return static_cast<unsigned>(threads_.size());
    }

    // Waits up to `interval` for the workers; true once all have finished.
    bool waitFor(std::chrono::milliseconds interval) {
        std::unique_lock lock(mutex_);
        return finished_.wait_for(lock, interval, [this] { return running_ == 0; });
    }

    void join() {
        for (std::thread& thread : threads_)
            if (thread.joinable()) thread.join();
    }

private:
    void run(ProbeArena& arena) {
        try {
            batch_.work(arena, [] { return true; });
        } catch (...) {
            batch_.fail(std::current_exception());
        }
        setRunning(-1);
    }

    void setRunning(int change) {
        std::lock_guard lock(mutex_);
        running_ += change;
        if (running_ == 0) finished_.notify_all();
    }

    Batch& batch_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable finished_;
    int running_ = 0;
};

// Runs the whole batch on the calling thread, polling between chunks about
// every interval.
BatchOutcome runHere(Batch& batch, const Poll& poll, std::chrono::milliseconds interval) {
    ArenaHandle arena = acquireArena();
    auto last = std::chrono::steady_clock::now();
    batch.work(*arena, [&] {
        if (!poll) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now - last < interval) return true;
        last = now;
        return poll(batch.done());
    });
    return {!batch.stopped(), batch.failure()};
}

}  // namespace

BatchOutcome probeBatch(const ByteView* strings, const std::uint32_t* dictionaries,
                        const std::uint32_t* data, std::int32_t* sizes, std::size_t count,
                        unsigned workers, const Poll& poll, std::chrono::milliseconds interval) {
    Batch batch(strings, dictionaries, data, sizes, count);
    if (poll && !poll(0)) return {false, ProbeStatus::Ok};
    const std::size_t useful = (count + PROBES_PER_GRAB - 1) / PROBES_PER_GRAB;
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, useful));
    if (workers <= 1 || count < INLINE_BELOW) return runHere(batch, poll, interval);

    {
        Workers threads(batch);
        if (threads.start(workers) > 0) {
            bool polling = static_cast<bool>(poll);
            while (!threads.waitFor(interval)) {
                // Once told to stop, never ask again: the caller's error is pending.
                if (polling && !poll(batch.done())) {
                    batch.stop();
                    polling = false;
                }
            }
            threads.join();
            batch.rethrowAnyError();
            return {!batch.stopped(), batch.failure()};
        }
    }
    // Not one thread could be started (their stacks may not fit in the address
    // space left, say), but the caller can still do the work itself: nothing
    // has run or stopped the batch yet.
    return runHere(batch, poll, interval);
}

}  // namespace vendrask
