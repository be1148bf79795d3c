#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "test_data.hpp"
#include "vendrask.hpp"

using namespace vendrask;

namespace {

// Reference size from a different drive of zlib: one deflate call with room
// for the whole output, and the dictionary rule applied here, not by the probe.
std::int32_t referenceSize(const std::string* dictionary, const std::string& data) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 3, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    if (dictionary != nullptr && dictionary->size() >= 3) {
        const std::string tail = dictionary->substr(dictionary->size() - std::min<std::size_t>(dictionary->size(), 32506));
        EXPECT_EQ(deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(tail.data()),
                                       static_cast<uInt>(tail.size())), Z_OK);
    }
    std::vector<unsigned char> out(deflateBound(&stream, data.size()) + 64);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    const auto size = static_cast<std::int32_t>(stream.total_out);
    EXPECT_EQ(deflateEnd(&stream), Z_OK);
    return size;
}

std::int32_t probe(const std::string* dictionary, const std::string& data,
                   ProbeArena* arena = &moduleArena()) {
    std::int32_t size = -7;
    const char* dict = dictionary != nullptr ? dictionary->data() : nullptr;
    const std::size_t dictLength = dictionary != nullptr ? dictionary->size() : 0;
    EXPECT_EQ(probeSize(arena, dict, dictLength, data.data(), data.size(), size), ProbeStatus::Ok);
    return size;
}

}  // namespace

TEST(Probe, EmptyDataIsTwoBytesWithOrWithoutDictionary) {
    const std::string empty, dictionary = proseLike(500);
    EXPECT_EQ(probe(nullptr, empty), 2);
    EXPECT_EQ(probe(&empty, empty), 2);
    EXPECT_EQ(probe(&dictionary, empty), 2);
}

TEST(Probe, DictionariesShorterThanThreeBytesHaveNoEffect) {
    const std::string data = "abcabcabxabc" + proseLike(300);
    const std::int32_t alone = probe(nullptr, data);
    for (const std::string dictionary : {"", "a", "ab"}) EXPECT_EQ(probe(&dictionary, data), alone);
}

TEST(Probe, OnlyTheLast32506BytesOfADictionaryCount) {
    const std::string head = randomBytes(4000, 5), tail = randomBytes(32506, 6);
    const std::string dictionary = head + tail;
    // The data repeats the dropped head: a probe that used it would shrink it.
    const std::string data = head.substr(0, 2000) + tail.substr(tail.size() - 2000);
    EXPECT_EQ(probe(&dictionary, data), probe(&tail, data));
    EXPECT_LT(probe(&dictionary, data), probe(nullptr, data));
}

TEST(Probe, OutputLongerThanTheScratchAreaIsCountedInFull) {
    const std::string data = randomBytes(20000);
    EXPECT_GT(probe(nullptr, data), static_cast<std::int32_t>(PROBE_OUTPUT_CHUNK));
    EXPECT_EQ(probe(nullptr, data), referenceSize(nullptr, data));
}

TEST(Probe, IncompressibleDataPrimedWithItselfShrinks) {
    const std::string data = randomBytes(1000);
    EXPECT_LT(probe(&data, data) * 10, probe(nullptr, data));
}

TEST(Probe, MatchesADirectDriveOfZlib) {
    const std::string prose = proseLike(3000), binary = randomBytes(2000, 9);
    const std::string mixed = prose.substr(100, 800) + binary.substr(0, 300) + prose.substr(0, 50);
    const std::string* none = nullptr;
    const std::vector<std::pair<const std::string*, const std::string*>> cases = {
        {none, &prose}, {none, &binary}, {&prose, &mixed}, {&binary, &mixed},
        {&mixed, &prose}, {&prose, &prose}, {&mixed, &binary},
    };
    for (const auto& [dictionary, data] : cases)
        EXPECT_EQ(probe(dictionary, *data), referenceSize(dictionary, *data));
}

TEST(Probe, ArenaIsRewoundAndMatchesTheDefaultAllocator) {
    const std::string data = proseLike(5000), dictionary = randomBytes(700);
    EXPECT_EQ(probe(&dictionary, data), probe(&dictionary, data, nullptr));
    EXPECT_EQ(moduleArena().live, 0u);
    EXPECT_EQ(moduleArena().used, 0u);
}

TEST(Probe, FullArenaFallsBackToTheHeap) {
    auto arena = std::make_unique<ProbeArena>();
    arena->used = sizeof arena->bytes - 64;
    const std::string data = proseLike(5000);
    EXPECT_EQ(probe(nullptr, data, arena.get()), probe(nullptr, data, nullptr));
    EXPECT_EQ(arena->live, 0u);
}

TEST(Probe, CompressedSizeReportsThroughTheModuleArena) {
    const std::string data = proseLike(400);
    std::int32_t size = 0;
    EXPECT_EQ(compressedSize(nullptr, 0, data.data(), data.size(), size), 0);
    EXPECT_EQ(size, referenceSize(nullptr, data));
}

TEST(Probe, EveryFailureHasItsFixedMessage) {
    EXPECT_EQ(probeMessage(ProbeStatus::Ok), nullptr);
    EXPECT_STREQ(probeMessage(ProbeStatus::InitFailed), "Inside Vendrask: deflateInit");
    EXPECT_STREQ(probeMessage(ProbeStatus::DictionaryRefused), "Inside Vendrask: deflateSetDictionary");
    EXPECT_STREQ(probeMessage(ProbeStatus::StepFailed), "Inside Vendrask: inflate");
    EXPECT_STREQ(probeMessage(ProbeStatus::EndFailed), "Inside Vendrask: deflateEnd");
}
