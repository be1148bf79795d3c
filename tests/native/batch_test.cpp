#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_data.hpp"
#include "vendrask.hpp"

using namespace vendrask;

namespace {

// Threads this binary may still start (-1: any number) and the starts refused.
std::atomic<int> threadsLeft{-1};
std::atomic<int> threadsRefused{0};

}  // namespace

// Thread creation that fails on demand, as it does when no stack can be mapped:
// the executable's definition comes before the C library's (or a sanitizer's),
// so std::thread's start reaches it through the dynamic linker.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) noexcept {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    for (int left = threadsLeft.load(); left >= 0;) {
        if (left == 0) {
            ++threadsRefused;
            return EAGAIN;
        }
        if (threadsLeft.compare_exchange_weak(left, left - 1)) break;
    }
    return next(thread, attributes, start, argument);
}

namespace {

// Lets `allowed` more threads start (-1: any number) while it lives.
class ThreadLimit {
public:
    explicit ThreadLimit(int allowed) {
        threadsRefused = 0;
        threadsLeft = allowed;
    }
    ThreadLimit(const ThreadLimit&) = delete;
    ThreadLimit& operator=(const ThreadLimit&) = delete;
    ~ThreadLimit() { threadsLeft = -1; }
};

const std::vector<std::string> DOCS = {
    "",  proseLike(300), proseLike(301), randomBytes(200), "x", proseLike(3000),
    randomBytes(2000, 3) + proseLike(900), "abc", "abcabc",
};

const std::string BIG = randomBytes(16000, 5);

struct Probes {
    std::vector<ByteView> strings;
    std::vector<std::uint32_t> dictionaries, data;
    std::vector<std::int32_t> sizes;
};

// Every ordered pair, every string alone and after itself, `rounds` times over.
Probes everyProbe(const std::vector<std::string>& docs, unsigned rounds = 1) {
    Probes p;
    for (const std::string& doc : docs) p.strings.push_back({doc.data(), doc.size()});
    const auto n = static_cast<std::uint32_t>(docs.size());
    for (unsigned r = 0; r < rounds; ++r)
        for (std::uint32_t data = 0; data < n; ++data)
            for (std::uint32_t dictionary = 0; dictionary <= n; ++dictionary) {
                p.data.push_back(data);
                p.dictionaries.push_back(dictionary == n ? NO_DICTIONARY : dictionary);
            }
    p.sizes.assign(p.data.size(), -2);
    return p;
}

BatchOutcome run(Probes& p, unsigned workers, const Poll& poll = nullptr,
                 std::chrono::milliseconds interval = std::chrono::milliseconds(1)) {
    return probeBatch(p.strings.data(), p.dictionaries.data(), p.data.data(), p.sizes.data(),
                      p.sizes.size(), workers, poll, interval);
}

}  // namespace

// Workers asked for, and how many threads may start (-1: any number). With
// fewer the batch must behave the same: on those that did, or on the caller.
struct Setup {
    unsigned workers;
    int threads;
};

std::ostream& operator<<(std::ostream& out, const Setup& setup) {
    return out << setup.workers << " workers, " << setup.threads << " threads";
}

class Batch : public testing::TestWithParam<Setup> {
protected:
    unsigned workers() const { return GetParam().workers; }

private:
    ThreadLimit limit_{GetParam().threads};
};

TEST_P(Batch, GivesWhatOneProbeAtATimeGives) {
    Probes p = everyProbe(DOCS);
    // The caller's thread measures meanwhile: the workers share no state with it.
    const BatchOutcome outcome = run(p, workers(), [](std::size_t) { return measureCore("ab", 2, "cd", 2) >= 0; });
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.failure, ProbeStatus::Ok);
    for (std::size_t k = 0; k < p.sizes.size(); ++k) {
        const ByteView& data = p.strings[p.data[k]];
        const bool alone = p.dictionaries[k] == NO_DICTIONARY;
        const ByteView& dictionary = p.strings[alone ? 0 : p.dictionaries[k]];
        std::int32_t expected = -1;
        ASSERT_EQ(probeSize(nullptr, alone ? nullptr : dictionary.data, dictionary.size, data.data,
                            data.size, expected),
                  ProbeStatus::Ok);
        EXPECT_EQ(p.sizes[k], expected) << "probe " << k;
    }
}

TEST_P(Batch, AnEmptyBatchPollsOnceAndFinishes) {
    Probes p;
    std::size_t polls = 0;
    EXPECT_TRUE(run(p, workers(), [&](std::size_t) { return ++polls > 0; }).finished);
    EXPECT_EQ(polls, 1u);
}

TEST_P(Batch, PollCanStopIt) {
    // The first poll comes before any work; the second only if the work is
    // still running, however the threads happen to be scheduled.
    for (const std::size_t stopAt : {1u, 2u}) {
        Probes p = everyProbe(DOCS, 20);
        std::size_t polls = 0;
        // A slow probe keeps the workers busy after the stop, while polls
        // would come every millisecond.
        p.strings.push_back({BIG.data(), BIG.size()});
        const auto big = static_cast<std::uint32_t>(p.strings.size() - 1);
        p.data.insert(p.data.begin(), 16, big);
        p.dictionaries.insert(p.dictionaries.begin(), 16, big);
        p.sizes.assign(p.data.size(), -2);
        const BatchOutcome outcome =
            run(p, workers(), [&](std::size_t) { return ++polls < stopAt; }, std::chrono::milliseconds(1));
        EXPECT_EQ(outcome.finished, polls < stopAt);
        EXPECT_LE(polls, stopAt) << "polled again after being told to stop";
        EXPECT_TRUE(stopAt > 1 || !outcome.finished);
        if (stopAt == 1) {
            EXPECT_EQ(std::count(p.sizes.begin(), p.sizes.end(), -2), std::ptrdiff_t(p.sizes.size()));
        }
    }
}

TEST_P(Batch, AnExceptionFromPollReachesTheCallerAfterTheWorkersStop) {
    // As above: the first poll always comes, the second only while the
    // work still runs.
    for (const std::size_t throwAt : {1u, 2u}) {
        Probes p = everyProbe(DOCS, 20);
        std::size_t polls = 0;
        bool threw = false;
        try {
            run(p, workers(),
                [&](std::size_t) -> bool {
                    if (++polls == throwAt) throw std::runtime_error("stop");
                    return true;
                },
                std::chrono::milliseconds(0));
        } catch (const std::runtime_error&) {
            threw = true;
        }
        EXPECT_EQ(threw, polls >= throwAt);
        EXPECT_TRUE(throwAt > 1 || threw);
    }
}

static std::string setupName(const testing::TestParamInfo<Setup>& info) {
    const Setup& setup = info.param;
    return std::to_string(setup.workers) + "_workers_" +
           (setup.threads < 0 ? std::string("any") : std::to_string(setup.threads)) + "_threads";
}

INSTANTIATE_TEST_SUITE_P(Workers, Batch,
                         testing::Values(Setup{1, -1}, Setup{2, -1}, Setup{7, -1}, Setup{2, 0},
                                         Setup{7, 0}, Setup{7, 1}),
                         setupName);

class ThreadsRefused : public testing::TestWithParam<Setup> {};

TEST_P(ThreadsRefused, TheBatchRunsOnWhatStartedOrOnTheCaller) {
    Probes alone = everyProbe(DOCS, 3);
    ASSERT_TRUE(run(alone, 1).finished);
    Probes p = everyProbe(DOCS, 3);
    const ThreadLimit limit(GetParam().threads);
    std::size_t polls = 0;
    const BatchOutcome outcome = run(p, GetParam().workers, [&](std::size_t) { return ++polls > 0; });
    EXPECT_GT(threadsRefused.load(), 0) << "no thread start was refused: the test proves nothing";
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.failure, ProbeStatus::Ok);
    EXPECT_GE(polls, 1u);
    EXPECT_EQ(p.sizes, alone.sizes);
}

INSTANTIATE_TEST_SUITE_P(Workers, ThreadsRefused,
                         testing::Values(Setup{2, 0}, Setup{7, 0}, Setup{7, 1}, Setup{7, 3}), setupName);

TEST(InlineBatch, OneWorkerOrASmallBatchAsksForNoThread) {
    const ThreadLimit limit(0);
    const std::vector<std::string> few = {"a", "b", "c"};
    Probes big = everyProbe(DOCS, 3), small = everyProbe(few);
    ASSERT_TRUE(run(big, 1).finished);
    ASSERT_TRUE(run(small, 7).finished);
    EXPECT_EQ(threadsRefused.load(), 0);
}

TEST(MeasureFromSizes, IsTheMeasureOrNaN) {
    EXPECT_EQ(measureFromSizes({46, 18, 16, 6, 6}), 0.56);
    EXPECT_TRUE(std::isnan(measureFromSizes({46, -1, 16, 6, 6})));
    EXPECT_TRUE(std::isnan(measureFromSizes({46, 18, 16, 0, 6})));
}
