// The files the daemon writes, made so that whatever another user planted at
// their paths (a symbolic link to a file of root's, a FIFO) is never followed
// into nor waited on.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace vavevard {

// Puts `text` at `path` in one step: written to a new file of unpredictable
// name beside it (created exclusively, so never through a link), given
// `mode` whatever the umask, and renamed over `path`. Whatever was at `path`
// (a file, a link, a FIFO) is replaced, not opened; a reader sees the old
// content or the whole new one. False with `error` set, and nothing left
// behind, when it cannot.
bool replace_file(const std::string &path, std::string_view text, mode_t mode, std::string &error);

// Opens `path` for appending, creating it with `mode` when missing. Refused,
// with `error` saying why (without the path), when the last component is a symbolic link or
// what is there is not a regular file (a FIFO would stall the daemon, a
// device is no log). Returns the descriptor (close-on-exec, blocking) or -1.
int open_for_append(const std::string &path, mode_t mode, std::string &error);

}  // namespace vavevard
