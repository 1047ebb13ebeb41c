#include "runtime/retry_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace vavevar {
namespace {

TEST(RetrySchedule, ConnectPausesStayAtOneSecondFor31FailuresThenClimbToFive) {
    ConnectPause pause;
    std::vector<std::uint32_t> pauses;
    for (int i = 0; i < 40; ++i) pauses.push_back(pause.after_failure());
    for (int i = 0; i < 31; ++i) EXPECT_EQ(pauses[i], 1000u) << "failure " << i + 1;
    EXPECT_EQ(pauses[31], 2000u);
    EXPECT_EQ(pauses[32], 3000u);
    EXPECT_EQ(pauses[33], 4000u);
    for (int i = 34; i < 40; ++i) EXPECT_EQ(pauses[i], 5000u);
}

TEST(RetrySchedule, HandshakeBackoffDoublesFromZeroAndCapsAt32Seconds) {
    HandshakeBackoff backoff;
    std::vector<std::uint32_t> pauses;
    for (int i = 0; i < 9; ++i) pauses.push_back(backoff.after_failure_ms());
    EXPECT_EQ(pauses, (std::vector<std::uint32_t>{0, 1000, 2000, 4000, 8000, 16000, 32000, 32000,
                                                 32000}));
    backoff.succeeded();
    EXPECT_EQ(backoff.after_failure_ms(), 0u);
    EXPECT_EQ(backoff.after_failure_ms(), 1000u);
}

}  // namespace
}  // namespace vavevar
