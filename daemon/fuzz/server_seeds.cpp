// Writes the seed corpus of the server target (daemon/fuzz/corpus-server/)
// into the directory given as the only argument: short scripts that each take
// the daemon into one state worth exploring from. The encoding is
// server_script.h's and request_templates.h's.
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "request_templates.h"
#include "server_script.h"

namespace {

using namespace vavevard::fuzz;

class Script {
public:
    Script &op(Op o, int slot) {
        s_ += static_cast<char>(op_byte(o, slot));
        return *this;
    }
    // A template request cut to `cut` 256ths of its length.
    Script &prefix(Op o, int slot, int cut) {
        s_ += static_cast<char>(op_byte(o, slot, true));
        return u8(cut);
    }
    Script &u8(int v) {
        s_ += static_cast<char>(v);
        return *this;
    }
    Script &u16(int v) { return u8(v >> 8).u8(v & 0xff); }
    Script &text(Table table, std::string_view v) {
        for (std::size_t i = 0; i < table.size(); ++i)
            if (table[i] == v) return u8(static_cast<int>(i));
        if (v.size() + table.size() > 255) {
            std::fprintf(stderr, "text too long for a field: %.*s\n", static_cast<int>(v.size()), v.data());
            std::exit(2);
        }
        u8(static_cast<int>(table.size() + v.size()));
        s_ += v;
        return *this;
    }
    Script &write(int slot, std::string_view bytes) {
        op(Op::write, slot).u8(static_cast<int>(bytes.size()));
        s_ += bytes;
        return *this;
    }
    Script &repeat(int slot, int count, std::string_view chunk) {
        op(Op::repeat, slot).u16(count - 1).u8(static_cast<int>(chunk.size()) - 1);
        s_ += chunk;
        return *this;
    }
    Script &trickle(int slot, std::string_view bytes) {
        op(Op::trickle, slot).u8(static_cast<int>(bytes.size()));
        s_ += bytes;
        return *this;
    }
    Script &run(int turns) { return op(Op::run, 0).u8(turns - 1); }
    Script &connect(int slot, std::string_view selfId = "Pid=1; Home=/h", std::string_view ff = "desktop") {
        op(Op::connect, slot);
        return connect_fields(selfId, ff);
    }
    Script &connect_fields(std::string_view selfId = "Pid=1; Home=/h", std::string_view ff = "desktop") {
        return text(kFormFactors, ff).text(kSelfIds, selfId);
    }
    Script &subscribe(int slot, int id, std::string_view filter, std::string_view group = "null",
                      bool deltas = false, std::initializer_list<std::string_view> props = {},
                      std::string_view component = "c") {
        op(Op::subscribe, slot).u8(id & 0xff).text(kFilters, filter).text(kComponents, component);
        text(kGroups, group).u8((deltas ? 1 : 0) | static_cast<int>(props.size()) << 1);
        for (std::string_view p : props) text(kProperties, p);
        return *this;
    }
    Script &unsubscribe(int slot, int id) { return op(Op::unsubscribe, slot).u8(id & 0xff); }
    Script &event(int slot, int cls, std::string_view type, std::size_t body = 0,
                  std::initializer_list<std::string_view> props = {}, int addresses = 0) {
        op(Op::event, slot).u8(cls).text(kTypes, type);
        bool big = body >= 65536;
        u8(static_cast<int>(props.size()) | (big ? 8 : 0));
        if (cls == 0 || cls == 3 || cls == 4) {
            text(kComponents, "storage");
            for (std::string_view p : props) text(kProperties, p);
        }
        return u16(static_cast<int>(big ? body - 65536 : body)).u8('b').u8(addresses);
    }
    const std::string &bytes() const { return s_; }

private:
    std::string s_;
};

bool save(const std::string &dir, const char *name, const Script &script) {
    std::FILE *out = std::fopen((dir + "/" + name).c_str(), "wb");
    if (out == nullptr) return false;
    bool ok = std::fwrite(script.bytes().data(), 1, script.bytes().size(), out) == script.bytes().size();
    return std::fclose(out) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    // A subscriber and a publisher: routing, filters on properties, rendering.
    ok &= save(dir, "publish", Script()
                                   .connect(0)
                                   .subscribe(0, 1, "ALARM/* and prop.severity >= 3")
                                   .subscribe(0, 2, "class < 3")
                                   .connect(1, "Pid=2; Home=/tmp/x")
                                   .event(1, 0, "ALARM/DISK/FULL", 12, {"severity: 3", "ticket: 42"})
                                   .event(1, 0, "WARNING/CPU", 0, {"load: 0.25"})
                                   .op(Op::stats, 1)
                                   .run(4));

    // A group with deltas; members leave by unsubscribing, resubscribing,
    // half-closing and closing.
    ok &= save(dir, "membership", Script()
                                      .connect(0)
                                      .subscribe(0, 1, "null", "g1", true, {"role: main"})
                                      .connect(1, "Pid=2; Home=/tmp/x")
                                      .subscribe(1, 1, "null", "g1", true, {"severity: 1"})
                                      .connect(2)
                                      .subscribe(2, 5, "*", "g1", false)
                                      .subscribe(2, 5, "*", "g2", true)
                                      .unsubscribe(1, 1)
                                      .op(Op::shut_write, 2)
                                      .op(Op::close, 0)
                                      .run(8));

    // A subscriber that stops reading while events with large bodies arrive:
    // its output backs up until it is dropped as a slow consumer, and its
    // group is told.
    ok &= save(dir, "slow-consumer", Script()
                                         .connect(0)
                                         .subscribe(0, 1, "null", "g1", true)
                                         .op(Op::stall, 0)
                                         .connect(1)
                                         .subscribe(1, 1, "null", "g1", true)
                                         .connect(2)
                                         .event(2, 0, "A/B", 30000)
                                         .event(2, 4, "BACKUP/NIGHTLY", 30000)
                                         .run(8)
                                         .op(Op::drain, 0));

    // A stream event (class 3) with and without a body, to a subscriber that
    // reads streams, and an event of an unknown class.
    ok &= save(dir, "stream", Script()
                                  .connect(0)
                                  .subscribe(0, 3, "class = IncomingStreamingNotification and type = BACKUP/*")
                                  .connect(1)
                                  .event(1, 3, "BACKUP/NIGHTLY", 100)
                                  .event(1, 3, "BACKUP/NIGHTLY", 0)
                                  .event(1, 9, "A/B", 3)
                                  .run(4));

    // Lines at the bound: an event type just under 64 KiB is routed, a line
    // over it closes the connection.
    ok &= save(dir, "long-lines", Script()
                                      .connect(0)
                                      .subscribe(0, 1, "")
                                      .write(1, "POST /connect HTTP/1.1\r\nSelfId: x\r\n\r\n")
                                      .write(1, "POST /event HTTP/1.1\r\nclassName: MessageNotification\r\neventType: ")
                                      .repeat(1, 8190, "ALARM/x/")
                                      .write(1, "\r\nContent-Length: 2\r\n\r\nhi")
                                      .write(2, "POST /stats HTTP/1.1\r\nx: ")
                                      .repeat(2, 8200, "12345678")
                                      .run(4));

    // Requests cut short, finished later one byte at a time, or never.
    ok &= save(dir, "partial", Script()
                                   .prefix(Op::connect, 0, 100)
                                   .connect_fields()
                                   .run(2)
                                   .trickle(0, "ctory\r\nSelfId: Pid=1; Home=/h\r\n\r\n")
                                   .prefix(Op::subscribe, 0, 128)
                                   .u8(1).text(kFilters, "ALARM/*").text(kComponents, "c")
                                   .text(kGroups, "g2").u8(1)
                                   .prefix(Op::connect, 1, 200)
                                   .connect_fields()
                                   .op(Op::close, 1)
                                   .run(4));

    // More clients than the daemon takes, a request before the handshake and
    // one that is not a request at all.
    Script crowd;
    for (int slot = 0; slot < 7; ++slot) crowd.connect(slot);
    crowd.op(Op::open, 7).op(Op::stats, 7).subscribe(7, 1, "ALARM/*");
    crowd.write(6, "GET / HTTP/1.1\r\n\r\n").run(4);
    ok &= save(dir, "crowd", crowd);

    // A subscriber whose reading side is shut: the daemon's writes fail.
    ok &= save(dir, "shut-read", Script()
                                     .connect(0)
                                     .subscribe(0, 1, "null", "g1", true)
                                     .op(Op::shut_read, 0)
                                     .connect(1)
                                     .subscribe(1, 2, "null", "g1", true)
                                     .event(1, 0, "A/B", 10)
                                     .run(4));

    // The daemon stopping with members, pending output and a partial request.
    ok &= save(dir, "stop", Script()
                                .connect(0)
                                .subscribe(0, 1, "null", "g1", true)
                                .op(Op::stall, 0)
                                .connect(1)
                                .subscribe(1, 1, "null", "g1", true)
                                .event(1, 0, "A/B", 20000)
                                .prefix(Op::event, 1, 77)
                                .u8(0).text(kTypes, "A/B").u8(0).text(kComponents, "c").u16(10).u8('z').u8(0)
                                .op(Op::stop, 0));

    if (!ok) std::fprintf(stderr, "cannot write the seeds into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
