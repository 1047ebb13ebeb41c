#include "config_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vavevard {
namespace {

std::string_view trim(std::string_view s) {
    const char *blanks = " \t\r";
    std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

bool key_character(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

}  // namespace

bool parse_config_text(std::string_view text, std::vector<ConfigSetting> &out, std::string &error) {
    int number = 0;
    while (!text.empty() || number == 0) {
        ++number;
        std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line[0] == '#') {
            if (text.empty()) break;
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            error = "line " + std::to_string(number) + ": expected 'key = value'";
            return false;
        }
        std::string_view whole = trim(line.substr(0, eq)), key = whole, subject;
        if (std::size_t blank = whole.find_first_of(" \t"); blank != std::string_view::npos) {
            key = whole.substr(0, blank);
            subject = trim(whole.substr(blank));
        }
        bool valid = !key.empty() && subject.find_first_of(" \t") == std::string_view::npos;
        for (char c : key) valid = valid && key_character(c);
        if (!valid) {
            error = "line " + std::to_string(number) + ": invalid key '" + std::string(whole) + "'";
            return false;
        }
        out.push_back({std::string(key), std::string(trim(line.substr(eq + 1))), std::string(subject), number});
    }
    return true;
}

bool read_config_file(const std::string &path, bool mayBeMissing, std::vector<ConfigSetting> &out,
                      std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int why = errno;
        if (why == ENOENT && mayBeMissing) return true;
        error = "configuration file '" + path + "': " + std::strerror(why);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = "configuration file '" + path + "': cannot be read";
        return false;
    }
    if (!parse_config_text(text.str(), out, error)) {
        error = path + ":" + error.substr(5);
        return false;
    }
    return true;
}

}  // namespace vavevard
