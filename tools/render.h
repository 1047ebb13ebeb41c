// How `vavevar sub` shows a notification: the library's text rendering with
// the body shown in the most readable form, or one JSON object per line.
#pragma once

#include <string>
#include <string_view>

#include "vavevar.h"

namespace vavevar::cli {

enum class BodyShow { automatic, none, hex, text, block };

// "auto", "none", "hex", "text" or "block"; throws UsageError.
BodyShow parse_body_show(const std::string &option, const std::string &text);

// The lumo_notification_toString text: `automatic` decodes a body block,
// shows a body of UTF-8 text as text and anything else as a hex dump.
std::string render_text(const lumo_notification *n, BodyShow show);

// One line of JSON (no line break): header fields, properties newest first as
// {"name","value"} objects (with "nameBase64"/"valueBase64", like
// "typeBase64", when the text is not UTF-8), and the body as "bodyBlock" (decoded segments),
// "body" (UTF-8 text) or "bodyBase64". `show` none leaves the body out.
std::string render_json(const lumo_notification *n, BodyShow show);

// One line (no line break) for `--format line`: the type, the properties
// newest first as [NAME=VALUE ...], and the body unless empty or `show` is
// none: a body block (with auto or block) as SEG{ELEM=VALUE ... SEG{...}},
// hex digits with hex, else the bytes; every text escaped as
// escape_line_text does.
std::string render_line(const lumo_notification *n, BodyShow show);

// Printable UTF-8 characters as they are, '\\' doubled, and every other
// byte (control characters, bytes that are not part of a UTF-8 character)
// as \xHH, so that the result holds no line break and no invalid UTF-8.
std::string escape_line_text(std::string_view text);

// Helpers shared with the other subcommands' JSON output.
// Valid UTF-8 (any characters); is_utf8_text also rules out control
// characters other than tab, CR and LF.
bool is_utf8(std::string_view bytes);
bool is_utf8_text(std::string_view bytes);
// A JSON string; bytes that are not part of a UTF-8 character become U+FFFD
// and control characters \uXXXX escapes, so the result is always valid JSON.
void append_json_string(std::string &out, std::string_view text);
std::string base64(std::string_view bytes);

}  // namespace vavevar::cli
