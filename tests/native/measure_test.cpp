#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "test_data.hpp"
#include "vendrask.hpp"

using namespace vendrask;

namespace {

double measure(const std::string& t, const std::string& s) {
    return measureCore(t.data(), t.size(), s.data(), s.size());
}

// Runs `call` with debug mode on and returns what it wrote to stderr.
template <typename Call>
std::string tracedStderr(Call call) {
    testing::internal::CaptureStderr();
    debugSwitch("TRACEUP");
    call();
    debugSwitch("off");
    const std::string out = testing::internal::GetCapturedStderr();
    const std::string echoOn = "vendrask: abcdefgh: TRACEUP\n", echoOff = "vendrask: abcdefgh: off\n";
    EXPECT_EQ(out.substr(0, echoOn.size()), echoOn);
    EXPECT_EQ(out.substr(out.size() - echoOff.size()), echoOff);
    return out.substr(echoOn.size(), out.size() - echoOn.size() - echoOff.size());
}

const std::string FOX = "the quick brown fox jumps over the lazy dog";
const std::string DOG = "the lazy dog sleeps under the quick brown fox";

}  // namespace

TEST(Measure, KnownAnswer) {
    // Sizes 46, 18, 16, 6, 6 from Python's zlib module with the same
    // parameters: (46 - 18) / (46 + 16 - 6 - 6).
    EXPECT_EQ(measure(FOX, DOG), 0.56);
}

TEST(Measure, IdenticalStringsAreOneWithoutProbesOrTrace) {
    setLastError(message::DEFLATE_END);
    const std::string big = randomBytes(100000), copy = big;
    const std::string trace = tracedStderr([&] {
        EXPECT_EQ(measure("", ""), 1.0);
        EXPECT_EQ(measure(big, copy), 1.0);  // far over the joint size limit
        EXPECT_EQ(measureCore(big.data(), big.size(), big.data(), big.size()), 1.0);
    });
    EXPECT_EQ(trace, "");
    EXPECT_STREQ(lastError(), message::DEFLATE_END);
}

TEST(Measure, EmptyAgainstNonEmptyIsZero) {
    EXPECT_EQ(measure("", "abcdef"), 0.0);
    EXPECT_EQ(measure("abcdef", ""), 0.0);
}

TEST(Measure, JointSizeLimitIsInclusive) {
    const std::string data = proseLike(32767);
    const double inside = measure(data.substr(0, 20000), data.substr(20000));
    EXPECT_GE(inside, 0.0);
    EXPECT_LE(inside, MEASURE_CLAMPED);

    setLastError(nullptr);
    const std::string longer = proseLike(32768);
    EXPECT_EQ(measure(longer.substr(0, 20001), longer.substr(20001)), -1.0);
    EXPECT_STREQ(lastError(), "Joint size of data should be less than 32 Kb");
}

// Lengths past 32 bits must never be cut down: 2^32 + 5 read as 32 bits is 5,
// which would make these pairs look small, or even identical.
TEST(Measure, HugeLengthsAreRefusedWithoutReadingTheData) {
    const char small[8] = "abcde";
    constexpr std::size_t MAX = std::numeric_limits<std::size_t>::max();
    const std::pair<std::size_t, std::size_t> lengths[] = {
        {std::size_t{1} << 31, 1}, {(std::size_t{1} << 32) + 5, 5}, {5, (std::size_t{1} << 32) + 5},
        {std::size_t{1} << 63, 3}, {MAX, 1}, {1, MAX}, {MAX, MAX - 1}, {32767, MAX - 32766},
    };
    for (const auto& [n_t, n_s] : lengths) {
        setLastError(nullptr);
        EXPECT_EQ(measureCore(small, n_t, small, n_s), -1.0) << n_t << ", " << n_s;
        EXPECT_STREQ(lastError(), message::JOINT_SIZE);
    }
}

TEST(Measure, QuotientClampsAtBothEnds) {
    auto q = [](std::int32_t e, std::int32_t st, std::int32_t ts, std::int32_t ss, std::int32_t tt) {
        return quotient(PairSizes{e, st, ts, ss, tt});
    };
    EXPECT_EQ(q(10, 11, 10, 5, 5), 0.0);                 // priming costs a byte
    EXPECT_EQ(q(10000, 2, 2, 1, 1), 0.9998);             // exactly the ceiling stays
    EXPECT_EQ(q(10000, 1, 2, 1, 1), 0.99980002641677856);  // just above is clamped
    EXPECT_EQ(q(8, 4, 3, 6, 6), 0.99980002641677856);    // D <= 0 counts as 1
    EXPECT_EQ(q(INT32_MAX, 1, INT32_MAX, 1, 1), 0.5);   // sums do not overflow
}

TEST(Measure, NegativeSavingGivesZero) {
    // A pair whose s compresses worse after t (sizes from this zlib).
    const std::string t = "abddaadaadabaacdcdbbc", s = "ddbddbdc";
    PairSizes k;
    ASSERT_EQ(pairSizes(nullptr, t.data(), t.size(), s.data(), s.size(), k), ProbeStatus::Ok);
    ASSERT_GT(k.k_s_t, k.k_s_e);
    EXPECT_EQ(measure(t, s), 0.0);
}

TEST(Measure, CloseStringsAreClampedExactly) {
    EXPECT_EQ(measure("hello world", "hello world!"), 0.99980002641677856);
}

TEST(Measure, TraceLineGivesLengthOfSFirstAndTheFiveSizes) {
    const std::string t = FOX + FOX, s = DOG;
    PairSizes k;
    ASSERT_EQ(pairSizes(nullptr, t.data(), t.size(), s.data(), s.size(), k), ProbeStatus::Ok);
    const std::string trace = tracedStderr([&] { measure(t, s); });
    const std::string expected =
        "vendrask, after measure: l_s: " + std::to_string(s.size()) + ", l_t: " +
        std::to_string(t.size()) + ", k_s_e: " + std::to_string(k.k_s_e) + ", k_s_t: " +
        std::to_string(k.k_s_t) + ", k_t_s: " + std::to_string(k.k_t_s) + ", k_s_s: " +
        std::to_string(k.k_s_s) + ", k_t_t: " + std::to_string(k.k_t_t) + "\n";
    EXPECT_EQ(trace, expected);
}

TEST(Measure, FailureMessageSurvivesLaterSuccesses) {
    const std::string longer = proseLike(40000);
    EXPECT_EQ(measure(longer, "x"), -1.0);
    EXPECT_GT(measure(FOX, DOG), 0.0);
    EXPECT_EQ(measure(FOX, FOX), 1.0);
    EXPECT_STREQ(lastError(), message::JOINT_SIZE);
}

TEST(Measure, NullDataIsRefused) {
    setLastError(nullptr);
    EXPECT_EQ(measureCore(nullptr, 0, "a", 1), -1.0);
    EXPECT_EQ(measureCore("a", 1, nullptr, 0), -1.0);
    EXPECT_STREQ(lastError(), "Null pointer");
}

TEST(Adjust, MeanInDoublePrecisionOfSingleInputs) {
    EXPECT_EQ(adjustCore(0.5f, 0.25f), 0.375);
    EXPECT_EQ(adjustCore(0.1f, 0.2f), 0.15000000223517418);
    EXPECT_EQ(adjustCore(-1.0f, 3.0f), 1.0);
}
