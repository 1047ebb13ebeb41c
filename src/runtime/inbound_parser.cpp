#include "runtime/inbound_parser.h"

#include <cstring>
#include <string_view>

#include "port/decimal.h"
#include "port/memory.h"
#include "wire/control_texts.h"
#include "wire/event_texts.h"
#include "wire/flow_texts.h"

namespace vavevar {
namespace {

// "name: value" with the value from the second character after the colon.
bool split_header(char *line, const char **name, const char **value) {
    char *colon = std::strchr(line, ':');
    if (colon == nullptr) return false;
    *colon = '\0';
    *name = line;
    *value = colon[1] != '\0' ? colon + 2 : "";
    return true;
}

}  // namespace

InboundParser::InboundParser(bool connecting) noexcept
    : stage_(connecting ? Stage::reply : Stage::message_line) {}

InboundParser::~InboundParser() { lumo_free(message_); }

InboundParser::Status InboundParser::fail() noexcept {
    event_.reset();
    lumo_free(message_);
    message_ = nullptr;
    stage_ = Stage::failed;
    return Status::failed;
}

void InboundParser::restart() noexcept {
    fail();
    in_.clear();
    stage_ = Stage::reply;
    lineNo_ = 0;
    success_ = false;
}

char *InboundParser::space(std::size_t *length) noexcept {
    char *room = stage_ != Stage::failed ? in_.space(length) : nullptr;
    if (room == nullptr) fail();
    return room;
}

bool InboundParser::feed(const char *bytes, std::size_t length) noexcept {
    if (stage_ != Stage::failed && in_.feed(bytes, length)) return true;
    fail();
    return false;
}

std::uint32_t InboundParser::body_missing() const noexcept {
    return stage_ == Stage::event ? event_.body_missing() : 0;
}

// The reply is read up to its empty line; only line 3 (the result) and line 9
// (the instance name) are looked at, by their numbers.
InboundParser::Status InboundParser::reply_line(const char *line, InboundMessage &out) noexcept {
    const std::string_view text = line;
    ++lineNo_;
    if (text.empty()) {
        out = InboundMessage{};
        out.kind = InboundMessage::Kind::connect_reply;
        out.success = success_;
        stage_ = Stage::message_line;
        return Status::ready;
    }
    if (lineNo_ == wire::kReplyResultLine && text.starts_with(wire::kResult))
        success_ = text.substr(wire::kResult.size()) == wire::kSuccess;
    if (lineNo_ == wire::kReplyInstanceNameLine && text.starts_with(wire::kInstanceName)) {
        out = InboundMessage{};
        out.kind = InboundMessage::Kind::instance_name;
        out.text = line + wire::kInstanceName.size();
        return Status::ready;
    }
    return Status::need_more;
}

void InboundParser::status_line(char *line) noexcept {
    const char *name;
    const char *value;
    if (!split_header(line, &name, &value)) return;
    const std::string_view header = name;
    if (header == wire::name_of(wire::kResult)) {
        success_ = value == wire::kSuccess;
    } else if (header == wire::name_of(wire::kSubscriberId)) {
        id_ = lumo_wire_atoi(value);
        haveId_ = true;
    } else if (header == wire::name_of(wire::kSkipped)) {
        const std::int64_t count = lumo_wire_extract_number(value);
        skipped_ = count > 0 ? static_cast<std::uint64_t>(count) : 0;
    } else if (header == wire::name_of(wire::kMessage)) {
        lumo_free(message_);
        message_ = *value != '\0' ? lumo_strdup(value) : nullptr;
    }
}

InboundParser::Status InboundParser::next(InboundMessage &out) noexcept {
    for (;;) {
        switch (stage_) {
        case Stage::failed:
            return Status::failed;
        case Stage::reply: {
            const char *line = in_.take_line();
            if (line == nullptr) return Status::need_more;
            if (reply_line(line, out) == Status::ready) return Status::ready;
            break;
        }
        case Stage::message_line: {
            const char *line = in_.take_line();
            if (line == nullptr) return Status::need_more;
            // The start of the line is skipped by its length; what follows
            // decides, the resource name being a prefix of it.
            const std::string_view text = line;
            const std::string_view word =
                text.size() >= wire::kMessageLineStart.size() ? text.substr(wire::kMessageLineStart.size())
                                                              : std::string_view{};
            const bool replay = word.starts_with(wire::resource_of(wire::kReplayLine));
            if (replay || word.starts_with(wire::resource_of(wire::kEventLine))) {
                stage_ = Stage::event;
                replayed_ = replay;
            } else if (word.starts_with(wire::resource_of(wire::kStatusLine)) ||
                       word.starts_with(wire::resource_of(wire::kGapLine))) {
                // A gap notice is read as a status answer is: header lines
                // up to an empty one.
                stage_ = word.starts_with(wire::resource_of(wire::kGapLine)) ? Stage::gap : Stage::status;
                lineNo_ = 0;
                success_ = haveId_ = false;
                id_ = 0;
                skipped_ = 0;
            } else {
                out = InboundMessage{};
                out.kind = InboundMessage::Kind::unknown_line;
                out.text = line;
                return Status::ready;
            }
            break;
        }
        case Stage::event:
            switch (event_.parse(in_)) {
            case EventReader::Status::need_more: return Status::need_more;
            case EventReader::Status::failed: return fail();
            case EventReader::Status::done: break;
            }
            out = InboundMessage{};
            out.kind = InboundMessage::Kind::event;
            out.notification = event_.take(&out.ids, &out.idCount);
            out.replayed = replayed_;
            stage_ = Stage::message_line;
            return Status::ready;
        case Stage::status:
        case Stage::gap: {
            char *line = in_.take_line();
            if (line == nullptr) return Status::need_more;
            ++lineNo_;
            if (*line != '\0') {
                status_line(line);
                break;
            }
            if (stage_ == Stage::gap) {
                // Nothing is out of step without an identifier: there is
                // just nobody to tell.
                stage_ = Stage::message_line;
                lumo_free(message_);
                message_ = nullptr;
                if (!haveId_) break;
                out = InboundMessage{};
                out.kind = InboundMessage::Kind::gap;
                out.subscriberId = id_;
                out.count = skipped_;
                return Status::ready;
            }
            if (lineNo_ == 1 || !haveId_) return fail();
            out = InboundMessage{};
            out.kind = InboundMessage::Kind::status;
            out.success = success_;
            out.subscriberId = id_;
            out.message = message_;
            message_ = nullptr;
            stage_ = Stage::message_line;
            return Status::ready;
        }
        }
    }
}

}  // namespace vavevar
