#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "vendrask.hpp"

using namespace vendrask;

namespace {

struct SwitchCase {
    const char* text;
    const char* echoed;
    std::optional<bool> after;  // nullopt: unchanged
};

class DebugSwitch : public testing::TestWithParam<SwitchCase> {};

}  // namespace

TEST_P(DebugSwitch, EchoesAndSetsTheMode) {
    const SwitchCase& c = GetParam();
    for (const bool before : {false, true}) {
        debugSwitch(before ? "TRACEUP" : "x");
        testing::internal::CaptureStderr();
        debugSwitch(c.text);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("vendrask: abcdefgh: ") + c.echoed + "\n");
        EXPECT_EQ(debugMode(), c.after.value_or(before));
    }
    debugSwitch("off");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DebugSwitch,
    testing::Values(SwitchCase{"TRACEUP", "TRACEUP", true}, SwitchCase{"TRACEUPS", "TRACEUPS", false},
                    SwitchCase{"TRACEU", "TRACEU", false}, SwitchCase{"traceup", "traceup", false},
                    SwitchCase{"", "", false}, SwitchCase{nullptr, "[null]", std::nullopt}));
