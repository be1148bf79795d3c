#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_data.hpp"
#include "vendrask.hpp"

using namespace vendrask;

namespace {

std::vector<ByteView> views(const std::vector<std::string>& strings) {
    std::vector<ByteView> out;
    for (const std::string& s : strings) out.push_back({s.data(), s.size()});
    return out;
}

// What a loop of measureCore gives, with NaN where it fails.
std::vector<double> loop(const std::vector<std::string>& ts, const std::vector<std::string>& ss) {
    std::vector<double> out;
    for (const std::string& t : ts)
        for (const std::string& s : ss) {
            const double x = measureCore(t.data(), t.size(), s.data(), s.size());
            out.push_back(x < 0 ? std::nan("") : x);
        }
    return out;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    return true;
}

const std::vector<std::string> DOCS = {
    "",  proseLike(300), proseLike(301), randomBytes(200), proseLike(300), "x",
    proseLike(32000), randomBytes(2000, 3) + proseLike(900), "abc", "abcabc",
};

}  // namespace

class Matrix : public testing::TestWithParam<unsigned> {};

TEST_P(Matrix, EqualsALoopOfMeasures) {
    const std::vector<std::string> others = {"abc", proseLike(500), "", randomBytes(64, 7)};
    for (const auto& [ts, ss] : {std::pair{DOCS, DOCS}, std::pair{DOCS, others}, std::pair{others, DOCS}}) {
        MeasureMatrix matrix(views(ts), views(ss));
        // The caller's thread measures meanwhile: the workers share no state with it.
        ASSERT_TRUE(matrix.run(GetParam(), [](std::size_t) { return measureCore("ab", 2, "cd", 2) >= 0; },
                               std::chrono::milliseconds(1)));
        std::vector<double> out(ts.size() * ss.size());
        EXPECT_EQ(matrix.fill(out.data()), nullptr);
        EXPECT_TRUE(sameBits(out, loop(ts, ss)));
    }
}

TEST_P(Matrix, OneListAgainstItselfProbesEachOrderedPairOnce) {
    const std::vector<std::string> docs = {"a1", "b22", "c333", "a1"};  // three distinct strings
    EXPECT_EQ(MeasureMatrix(views(docs), views(docs)).taskCount(), 2 * 3 + 3 * 3);
    EXPECT_EQ(MeasureMatrix(views(docs), views({"x"})).taskCount(), 2 * 4 + 2 * 3);
}

TEST_P(Matrix, EmptyListsNeedNoWork) {
    MeasureMatrix matrix(views({}), views(DOCS));
    EXPECT_TRUE(matrix.run(GetParam(), nullptr, std::chrono::milliseconds(1)));
    EXPECT_EQ(matrix.fill(nullptr), nullptr);
}

TEST_P(Matrix, PollCanStopTheWorkers) {
    std::vector<std::string> docs;
    for (unsigned i = 0; i < 100; ++i) docs.push_back(proseLike(3000 + i));
    // The first poll comes before any work; the second only if the workers
    // are still running, however the threads happen to be scheduled.
    for (const std::size_t stopAt : {1u, 2u}) {
        MeasureMatrix matrix(views(docs), views(docs));
        std::size_t polls = 0;
        const bool completed = matrix.run(
            GetParam(), [&](std::size_t) { return ++polls < stopAt; }, std::chrono::milliseconds(0));
        EXPECT_EQ(completed, polls < stopAt);
        EXPECT_TRUE(stopAt > 1 || !completed);
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, Matrix, testing::Values(1u, 3u));
