// Run once per value of VENDRASK_DEBUG_MODE; EXPECT_DEBUG says whether debug
// mode, switched on beforehand, must be on after the first measure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "vendrask.hpp"

using namespace vendrask;

TEST(Environment, ReadOnceAtTheFirstMeasurePastTheNullCheck) {
    const char* expected = std::getenv("EXPECT_DEBUG");
    ASSERT_NE(expected, nullptr);
    const bool expectOn = std::string(expected) == "on";

    EXPECT_EQ(lastError(), nullptr);
    testing::internal::CaptureStderr();
    debugSwitch("TRACEUP");

    EXPECT_EQ(measureCore(nullptr, 0, "b", 1), -1.0);
    EXPECT_TRUE(firstMeasurePending());
    EXPECT_TRUE(debugMode());

    measureCore("ab", 2, "ab", 2);  // identical: still reads the environment
    EXPECT_FALSE(firstMeasurePending());
    EXPECT_EQ(debugMode(), expectOn);

    // Never read again, whatever it becomes.
    setenv("VENDRASK_DEBUG_MODE", expectOn ? "OFF" : "ON", 1);
    measureCore("ab", 2, "cd", 2);
    EXPECT_EQ(debugMode(), expectOn);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("vendrask, after measure: l_s: 2, l_t: 2,") != std::string::npos, expectOn);
}
