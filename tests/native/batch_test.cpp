#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_data.hpp"
#include "vendrask.hpp"

using namespace vendrask;

namespace {

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

class Batch : public testing::TestWithParam<unsigned> {};

TEST_P(Batch, GivesWhatOneProbeAtATimeGives) {
    Probes p = everyProbe(DOCS);
    // The caller's thread measures meanwhile: the workers share no state with it.
    const BatchOutcome outcome = run(p, GetParam(), [](std::size_t) { return measureCore("ab", 2, "cd", 2) >= 0; });
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
    EXPECT_TRUE(run(p, GetParam(), [&](std::size_t) { return ++polls > 0; }).finished);
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
            run(p, GetParam(), [&](std::size_t) { return ++polls < stopAt; }, std::chrono::milliseconds(1));
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
            run(p, GetParam(),
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

INSTANTIATE_TEST_SUITE_P(Workers, Batch, testing::Values(1u, 2u, 7u));

TEST(MeasureFromSizes, IsTheMeasureOrNaN) {
    EXPECT_EQ(measureFromSizes({46, 18, 16, 6, 6}), 0.56);
    EXPECT_TRUE(std::isnan(measureFromSizes({46, -1, 16, 6, 6})));
    EXPECT_TRUE(std::isnan(measureFromSizes({46, 18, 16, 0, 6})));
}
