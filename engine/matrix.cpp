// Many measures at once: the five sizes of every pair assembled from shared
// probes, computed on worker threads.
#include <condition_variable>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "vendrask.hpp"

namespace vendrask {
namespace {

constexpr std::size_t TASKS_PER_GRAB = 8;

class Interner {
public:
    explicit Interner(std::vector<ByteView>& strings) : strings_(strings) {}
    std::uint32_t operator()(ByteView view) {
        const auto [at, added] = ids_.try_emplace(std::string_view(view.data, view.size),
                                                  static_cast<std::uint32_t>(strings_.size()));
        if (added) strings_.push_back(view);
        return at->second;
    }

private:
    std::vector<ByteView>& strings_;
    std::unordered_map<std::string_view, std::uint32_t> ids_;
};

// Maps each input to a dense index of its distinct strings.
void indexDistinct(const std::vector<ByteView>& inputs, Interner& intern,
                   std::vector<std::uint32_t>& position, std::vector<std::uint32_t>& distinct) {
    std::unordered_map<std::uint32_t, std::uint32_t> seen;
    position.reserve(inputs.size());
    for (const ByteView& input : inputs) {
        const std::uint32_t id = intern(input);
        const auto [at, added] = seen.try_emplace(id, static_cast<std::uint32_t>(distinct.size()));
        if (added) distinct.push_back(id);
        position.push_back(at->second);
    }
}

}  // namespace

MeasureMatrix::MeasureMatrix(const std::vector<ByteView>& ts, const std::vector<ByteView>& ss) {
    Interner intern(strings_);
    indexDistinct(ts, intern, tRow_, rowString_);
    indexDistinct(ss, intern, sColumn_, columnString_);
    square_ = rowString_ == columnString_;
    needsAlone_.assign(strings_.size(), false);
    for (const std::uint32_t id : columnString_) needsAlone_[id] = true;
    alone_.assign(strings_.size(), 0);
    self_.assign(strings_.size(), 0);
    if (!columnString_.empty() && rowString_.size() > SIZE_MAX / columnString_.size())
        throw std::bad_alloc();
    const std::size_t cells = rowString_.size() * columnString_.size();
    sAfterT_.assign(cells, 0);
    if (!square_) tAfterS_.assign(cells, 0);
    tasks_ = 2 * strings_.size() + sAfterT_.size() + tAfterS_.size();
}

bool MeasureMatrix::overLimit(std::uint32_t a, std::uint32_t b) const {
    return !withinJointLimit(strings_[a].size, strings_[b].size);
}

void MeasureMatrix::runTask(std::size_t task, ProbeArena& arena) {
    const std::size_t distinct = strings_.size();
    std::int32_t* size = nullptr;
    const ByteView* dictionary = nullptr;
    const ByteView* data = nullptr;
    if (task < 2 * distinct) {
        const std::size_t id = task % distinct;
        if (task < distinct && !needsAlone_[id]) return;
        data = &strings_[id];
        dictionary = task < distinct ? nullptr : data;
        size = task < distinct ? &alone_[id] : &self_[id];
    } else {
        const std::size_t cell = (task - 2 * distinct) % sAfterT_.size();
        const bool sIsData = task - 2 * distinct < sAfterT_.size();
        const std::uint32_t a = rowString_[cell / columnString_.size()];
        const std::uint32_t b = columnString_[cell % columnString_.size()];
        if (a == b || overLimit(a, b)) return;
        dictionary = &strings_[sIsData ? a : b];
        data = &strings_[sIsData ? b : a];
        size = sIsData ? &sAfterT_[cell] : &tAfterS_[cell];
    }
    const char* dictionaryData = dictionary != nullptr ? dictionary->data : nullptr;
    const std::size_t dictionarySize = dictionary != nullptr ? dictionary->size : 0;
    const ProbeStatus status =
        probeSize(&arena, dictionaryData, dictionarySize, data->data, data->size, *size);
    if (status != ProbeStatus::Ok) {
        int ok = static_cast<int>(ProbeStatus::Ok);
        failure_.compare_exchange_strong(ok, static_cast<int>(status));
    }
}

void MeasureMatrix::work() {
    auto arena = std::make_unique<ProbeArena>();
    while (!stop_.load(std::memory_order_relaxed)) {
        const std::size_t first = next_.fetch_add(TASKS_PER_GRAB);
        if (first >= tasks_) break;
        const std::size_t last = std::min(first + TASKS_PER_GRAB, tasks_);
        for (std::size_t task = first; task < last; ++task) runTask(task, *arena);
        done_.fetch_add(last - first);
    }
}

bool MeasureMatrix::run(unsigned workers, const std::function<bool(std::size_t)>& poll,
                        std::chrono::milliseconds interval) {
    if (poll && !poll(0)) return false;  // stopped before any work
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<std::thread> threads;
    const std::size_t useful = (tasks_ + TASKS_PER_GRAB - 1) / TASKS_PER_GRAB;
    workers = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(workers, useful)));
    unsigned running = workers;  // each worker counts itself out
    threads.reserve(workers);
    try {
        for (unsigned w = 0; w < workers; ++w) {
            threads.emplace_back([&] {
                work();
                std::lock_guard lock(mutex);
                --running;
                finished.notify_one();
            });
        }
    } catch (...) {  // no thread to be had: stop the ones started, then report
        stop_ = true;
        for (std::thread& thread : threads) thread.join();
        throw;
    }
    for (std::unique_lock lock(mutex); running > 0;) {
        if (finished.wait_for(lock, interval, [&] { return running == 0; })) break;
        lock.unlock();
        if (poll && !poll(done_.load())) stop_ = true;
        lock.lock();
    }
    for (std::thread& thread : threads) thread.join();
    return !stop_;
}

const char* MeasureMatrix::fill(double* out) const {
    const char* failure = probeMessage(static_cast<ProbeStatus>(failure_.load()));
    const std::size_t columns = columnString_.size();
    for (std::size_t i = 0; i < tRow_.size(); ++i) {
        const std::size_t row = tRow_[i];
        const std::uint32_t a = rowString_[row];
        for (std::size_t j = 0; j < sColumn_.size(); ++j, ++out) {
            const std::size_t column = sColumn_[j];
            const std::uint32_t b = columnString_[column];
            if (a == b) {
                *out = 1.0;
                continue;
            }
            if (overLimit(a, b)) {
                *out = std::nan("");
                continue;
            }
            const std::size_t cell = row * columns + column;
            const PairSizes k{alone_[b], sAfterT_[cell],
                              square_ ? sAfterT_[column * columns + row] : tAfterS_[cell],
                              self_[b], self_[a]};
            if (hasZeroSize(k)) {
                *out = std::nan("");
                if (failure == nullptr) failure = message::ZERO_SIZE;
                continue;
            }
            *out = quotient(k);
        }
    }
    return failure;
}

}  // namespace vendrask
