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
// {"name","value"} objects, and the body as "bodyBlock" (decoded segments),
// "body" (UTF-8 text) or "bodyBase64". `show` none leaves the body out.
std::string render_json(const lumo_notification *n, BodyShow show);

// Helpers shared with the other subcommands' JSON output.
bool is_utf8_text(std::string_view bytes);
void append_json_string(std::string &out, std::string_view text);
std::string base64(std::string_view bytes);

}  // namespace vavevar::cli
