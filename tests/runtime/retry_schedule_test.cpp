#include "runtime/retry_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace vavevar {
namespace {

TEST(RetrySchedule, ConnectPausesStayAtOneSecondFor31FailuresThenClimbToFive) {
    ConnectPause pause;
    std::vector<std::uint32_t> pauses, expected(31, 1000);
    for (std::uint32_t ms : {2000, 3000, 4000, 5000, 5000, 5000}) expected.push_back(ms);
    for (std::size_t i = 0; i < expected.size(); ++i) pauses.push_back(pause.after_failure());
    EXPECT_EQ(pauses, expected);
}

TEST(RetrySchedule, HandshakeBackoffDoublesFromZeroAndCapsAt32Seconds) {
    HandshakeBackoff backoff;
    std::vector<std::uint32_t> pauses;
    for (int i = 0; i < 9; ++i) pauses.push_back(backoff.after_failure_ms());
    EXPECT_EQ(pauses, (std::vector<std::uint32_t>{0, 1000, 2000, 4000, 8000, 16000, 32000, 32000,
                                                 32000}));
    backoff.succeeded();
    EXPECT_EQ(backoff.after_failure_ms(), 0u);
}

}  // namespace
}  // namespace vavevar
