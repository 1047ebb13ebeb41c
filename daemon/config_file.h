// The daemon's configuration file: "key = value" lines, where the keys are
// the command line's option names without their leading "--". Blank lines and
// lines whose first non-blank character is '#' are skipped; blanks around key
// and value are dropped, and the value is the rest of the line as it stands
// (no quoting, so a '#' inside a value is part of it). A key may be followed,
// after blanks, by one word naming whom the setting is about
// ("allow-publish user:alice = billing/*"); only the access rules take one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vavevard {

inline constexpr const char *kDefaultConfigFile = "/etc/vavevar/vavevard.conf";

struct ConfigSetting {
    std::string key, value;
    std::string subject;  // the word after the key, "" when none
    int line = 0;
};

// False with `error` ("line N: ...") at the first line that is neither blank,
// a comment nor a setting.
bool parse_config_text(std::string_view text, std::vector<ConfigSetting> &out, std::string &error);

// Reads and parses `path`. A file that does not exist is no settings when
// `mayBeMissing`, an error otherwise; errors name the file.
bool read_config_file(const std::string &path, bool mayBeMissing, std::vector<ConfigSetting> &out,
                      std::string &error);

}  // namespace vavevard
