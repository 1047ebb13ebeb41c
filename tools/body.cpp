#include "body.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "args.h"
#include "vavevar.h"

namespace vavevar::cli {

std::string encode_body_block(const std::vector<std::string> &items) {
    std::unique_ptr<lumo_bb, void (*)(lumo_bb *)> block(lumo_bb_create(), lumo_bb_destroy);
    if (!block) throw Failure("out of memory building the body block");
    for (const std::string &item : items) {
        auto [path, value] = parse_assignment("--bb", item);
        std::size_t last_dot = path.rfind('.');
        if (last_dot == std::string::npos || last_dot == 0 || last_dot + 1 == path.size())
            throw UsageError("--bb: expected SEGMENT.ELEMENT=VALUE, not '" + item + "'");
        std::string segments = path.substr(0, last_dot);
        lumo_bb_seg *seg = nullptr;
        std::size_t start = 0;
        for (;;) {
            std::size_t dot = segments.find('.', start);
            std::string name = segments.substr(start, dot - start);
            if (name.empty())
                throw UsageError("--bb: empty segment name in '" + item + "'");
            seg = seg == nullptr ? lumo_bb_addsegment(block.get(), name.c_str())
                                 : lumo_bb_seg_addsegment(seg, name.c_str());
            if (seg == nullptr) throw Failure("out of memory building the body block");
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
        std::string element = path.substr(last_dot + 1);
        if (lumo_bb_seg_addelement_b(seg, element.c_str(), value.data(),
                                     static_cast<std::int32_t>(value.size())) == nullptr)
            throw Failure("out of memory building the body block");
    }
    std::uint32_t length = 0;
    void *body = lumo_bb_block2body(block.get(), &length);
    if (body == nullptr)
        throw UsageError("--bb: the body block does not fit the format (a name or value is too long)");
    std::string bytes(static_cast<const char *>(body), length);
    std::free(body);
    return bytes;
}

bool read_line(std::FILE *in, std::string &line, std::size_t limit, std::uint64_t number) {
    auto too_long = [&] {
        return Failure("line " + std::to_string(number) + " of standard input is longer than " +
                       std::to_string(limit) + " bytes, the most one notification carries");
    };
    line.clear();
    int c = EOF;
    // One byte over is allowed for the CR of a CR LF.
    while ((c = getc_unlocked(in)) != EOF && c != '\n') {
        if (line.size() > limit) throw too_long();
        line.push_back(static_cast<char>(c));
    }
    if (std::ferror(in)) throw Failure("cannot read standard input: " + std::string(std::strerror(errno)));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > limit) throw too_long();
    return c != EOF || !line.empty();
}

std::string read_file(const std::string &path, std::size_t limit) {
    bool stdin_wanted = path == "-";
    std::FILE *f = stdin_wanted ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
    std::string bytes;
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        bytes.append(chunk, n);
        if (bytes.size() > limit) {
            if (!stdin_wanted) std::fclose(f);
            throw Failure("'" + path + "' is larger than " + std::to_string(limit) +
                          " bytes, the most one notification carries");
        }
    }
    bool failed = std::ferror(f) != 0;
    int saved = errno;
    if (!stdin_wanted) std::fclose(f);
    if (failed) throw Failure("cannot read '" + path + "': " + std::strerror(saved));
    return bytes;
}

}  // namespace vavevar::cli
