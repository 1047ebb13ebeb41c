// The subcommands. Each takes its arguments after the subcommand's name and
// returns the exit status; it throws UsageError or Failure for the caller to
// report.
#pragma once

#include <string>
#include <vector>

namespace vavevar::cli {

using Args = std::vector<std::string>;

int run_pub(const Args &args);
int run_sub(const Args &args);
int run_stats(const Args &args);
int run_stream(const Args &args);

// The largest body the daemon takes in one event.
inline constexpr std::size_t kMaxBody = 16u * 1024 * 1024;

}  // namespace vavevar::cli
