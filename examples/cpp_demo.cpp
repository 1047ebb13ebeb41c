// The C++ interface: subscribes, publishes an alarm with a body block and a
// note, receives both, then sends a small stream and reads it back, through
// the daemon that TAMRIX_LUMO_PROXY_PORT names (home directory from
// TAMRIX_CONFIG_HOME or TAMRIX_HOME). Exits 0 when everything arrived.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "vavevar.hpp"

int main() try {
    using namespace std::chrono_literals;
    vavevar::runtime rt;  // configuration from the environment
    std::printf("vavevar %s\n", std::string(vavevar::version()).c_str());

    vavevar::subscriber_options options;
    options.filter = "cppdemo/*";
    options.timeout = 5s;
    vavevar::subscriber sub(rt, "cpp-demo", options);
    vavevar::publisher pub(rt, "cpp-demo");

    vavevar::body_block block;
    auto alarm = block.add_segment("alarm");
    alarm.set("text", "pressure high");
    alarm.add_segment("where").set("valve", "7");
    auto body = block.encode();
    vavevar::notification n("cppdemo/alarm", body);
    n.set_property("severity", "3");
    pub.publish(std::move(n));  // the library owns it now
    pub.publish(vavevar::notification("cppdemo/note", "valve 7 closed"));

    int received = 0;
    while (auto got = sub.receive(5s)) {  // given back to the subscriber at the end of each turn
        std::printf("%s", got->to_string(4).c_str());
        if (++received == 2) break;
    }

    auto out = pub.open_stream(vavevar::notification::stream_head("cppdemo/stream"));
    out.write("one block, ");
    out.write("then another");
    out.close();
    std::string streamed;
    if (auto first = sub.receive(5s))
        if (auto in = first->input_stream()) streamed = in->read_all();
    std::printf("streamed: %s\n", streamed.c_str());

    const bool ok = received == 2 && streamed == "one block, then another";
    std::printf("%s\n", ok ? "all arrived" : "something is missing");
    return ok ? 0 : 1;
} catch (const vavevar::error &e) {
    std::fprintf(stderr, "cpp_demo: %s\n", e.what());
    return 1;
}
