// A file through a notification stream with the tool at both ends.
#include <filesystem>
#include <fstream>

#include "harness.h"

namespace vavevar::test {
namespace {

using StreamsAcrossProcesses = IntegrationTest;

TEST_F(StreamsAcrossProcesses, AFileSentInChunksIsSavedWholeUnderItsName) {
    std::string in_dir = home_.path() + "/in", out_dir = home_.path() + "/out";
    std::filesystem::create_directories(in_dir);
    std::filesystem::create_directories(out_dir);
    std::string data;
    for (long long i = 0; data.size() < 3 * 1024 * 1024 + 17; ++i) data += std::to_string(i * 7919) + '\0';
    std::ofstream(in_dir + "/data.bin", std::ios::binary) << data;

    auto recv = tool({"stream", "recv", "BACKUP/*", out_dir, "--count", "1", "--timeout", "30",
                          "--progress", "always", "--verbose"});
    std::string line;
    ASSERT_TRUE(recv->read_stderr_line(line, kLongWaitMs)) << recv->stderr_;
    ASSERT_EQ(line.rfind("vavevar stream: subscribed as ", 0), 0u) << line;
    // Not a stream: skipped, with a word on standard error.
    auto plain = tool({"pub", "BACKUP/NOTE", "--body", "x"});
    ASSERT_EQ(plain->wait(kLongWaitMs), 0) << plain->stderr_;
    auto send = tool({"stream", "send", "BACKUP/FILE", in_dir + "/data.bin", "--chunk", "100000",
                          "--progress", "always"});
    ASSERT_EQ(send->wait(kLongWaitMs), 0) << send->stderr_;
    EXPECT_NE(send->stderr_.find("sent data.bin: 3.0 MiB of 3.0 MiB (100%)\n"), std::string::npos)
        << send->stderr_;

    ASSERT_EQ(recv->wait(kLongWaitMs), 0) << recv->stderr_;
    EXPECT_EQ(recv->stdout_, out_dir + "/data.bin\n");
    EXPECT_NE(recv->stderr_.find("skipping 'BACKUP/NOTE', not a stream"), std::string::npos) << recv->stderr_;
    EXPECT_NE(recv->stderr_.find("received data.bin: 3.0 MiB of 3.0 MiB (100%)\n"), std::string::npos)
        << recv->stderr_;
    std::ifstream saved(out_dir + "/data.bin", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(saved), {}) == data);
    EXPECT_FALSE(std::filesystem::exists(out_dir + "/.data.bin.part"));
}

}  // namespace
}  // namespace vavevar::test
