// The C++ interface against the real library and a real daemon started here:
// round trips, ownership through moves and closes in any order, callbacks and
// their end, streams, and how failures surface.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/programs.h"
#include "support/temp_home.h"
#include "vavevar.hpp"

namespace vavevar::test {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 15s;

template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = kWait) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// True when no start of the library is left in this process: a new start is
// then a first one (0), not a counted repeat (-3).
bool library_stopped() {
    std::int32_t r = lumo_init_with_port(1);
    lumo_shutdown_nowait();
    return r == 0;
}

class CppInterface : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(daemon_.ok()) << daemon_.log(); }
    void TearDown() override { EXPECT_TRUE(library_stopped()) << "an owner left the library running"; }

    static subscriber_options only(const char *filter) {
        subscriber_options o;
        o.filter = filter;
        o.timeout = kWait;
        return o;
    }

    TempHome home_;
    ScopedEnv config_home_{"TAMRIX_CONFIG_HOME", home_.c_str()};
    DaemonProcess daemon_{{"--home", home_.path(), "--instance-name", "cpp"}};
};

TEST_F(CppInterface, PublishedNotificationArrivesWithItsTextsPropertiesAndBody) {
    runtime rt(daemon_.port());
    subscriber sub(rt, "cpp-sub", only("CPP/*"));
    publisher pub(rt, "cpp-pub");

    const std::string body("a\0b", 3);
    notification n("CPP/ONE", body);
    n.set_property("first", "1").set_property("second", "2").set_property("first", "again");
    EXPECT_EQ(n.property("first"), "again");
    {
        auto range = n.properties();
        std::vector<property> all(range.begin(), range.end());
        std::vector<property> want{{"first", "again"}, {"second", "2"}, {"first", "1"}};
        EXPECT_EQ(all, want);
        EXPECT_EQ(range.end() - range.begin(), 3);
        EXPECT_EQ(range.begin()[1], (property{"second", "2"}));
    }
    pub.publish(std::move(n));
    EXPECT_FALSE(n);  // handed over

    std::optional<notification> got = sub.receive(kWait);
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->received());
    EXPECT_EQ(got->type(), "CPP/ONE");
    EXPECT_EQ(got->generating_component(), "cpp-pub");
    EXPECT_EQ(got->cls(), notification_class::message);
    EXPECT_EQ(got->body_text(), body);
    EXPECT_EQ(got->body().size(), 3u);
    EXPECT_EQ(got->property("missing"), std::nullopt);
    // Every property arrives (their order across the daemon is the C
    // library's business, not this layer's).
    auto range = got->properties();
    std::vector<std::string> all;
    for (property p : range) all.push_back(std::string(p.name) + "=" + std::string(p.value));
    std::sort(all.begin(), all.end());
    // The daemon adds the publisher's user as the kernel names it.
    EXPECT_EQ(all, (std::vector<std::string>{"first=1", "first=again", "second=2",
                                             "vavevard.publisherUid=" + std::to_string(::geteuid())}));
    EXPECT_EQ(rt.instance_name(), "cpp");

    // Nothing else is there.
    EXPECT_FALSE(sub.receive(0ms));
}

TEST_F(CppInterface, MovedFromOwnersAreEmptyAndRefuseUse) {
    runtime first(daemon_.port());
    runtime rt(std::move(first));
    EXPECT_FALSE(first.is_open());
    EXPECT_THROW(publisher(first, "x"), error);

    publisher p1(rt, "cpp-pub");
    publisher pub(std::move(p1));
    EXPECT_THROW(p1.publish(notification("CPP/X")), error);

    subscriber s1(rt, "cpp-sub", only("CPP/*"));
    subscriber sub = std::move(s1);
    EXPECT_FALSE(s1.is_open());
    EXPECT_THROW(s1.receive(0ms), error);
    EXPECT_EQ(s1.get(), nullptr);

    notification made("CPP/MOVED");
    notification moved = std::move(made);
    EXPECT_FALSE(made);
    EXPECT_THROW(made.set_property("a", "b"), error);
    EXPECT_THROW(pub.publish(std::move(made)), error);
    pub.publish(std::move(moved));

    auto got = sub.receive(kWait);
    ASSERT_TRUE(got);
    notification kept = std::move(*got);
    EXPECT_FALSE(*got);
    EXPECT_EQ(kept.type(), "CPP/MOVED");
    // Move-assigning over a received notification gives the old one back.
    kept = notification("CPP/LOCAL");
    EXPECT_FALSE(kept.received());

    // Every close may be repeated.
    auto stream = pub.open_stream(notification::stream_head("CPP/STREAM"));
    for (int i = 0; i < 2; ++i) {
        stream.close();
        sub.close();
        pub.close();
        kept.reset();
        rt.close();
    }
    EXPECT_THROW(stream.write("late"), error);
    sub.cancel_callback();
}

// Owners keep what they need: the library runs until the last of them goes,
// and a received notification keeps its subscriber, in whatever order the
// program drops them.
TEST_F(CppInterface, OwnersMayBeDestroyedInAnyOrder) {
    auto rt = std::make_unique<runtime>(daemon_.port());
    auto sub = std::make_unique<subscriber>(*rt, "cpp-sub", only("CPP/*"));
    auto pub = std::make_unique<publisher>(*rt, "cpp-pub");
    rt.reset();
    EXPECT_FALSE(library_stopped());  // the publisher and subscriber hold it

    pub->publish(notification("CPP/AFTER-RUNTIME", "body"));
    auto got = sub->receive(kWait);
    ASSERT_TRUE(got);
    sub.reset();
    pub.reset();
    // The subscriber's handle, and so this notification, are still there.
    EXPECT_EQ(got->type(), "CPP/AFTER-RUNTIME");
    EXPECT_EQ(got->body_text(), "body");
    got.reset();  // the last owner: the library stops (checked on tear-down)
}

TEST_F(CppInterface, CallbacksSeeEveryDeliveryAndNoneAfterCancel) {
    runtime rt(daemon_.port());
    subscriber sub(rt, "cpp-sub", only("CPP/*"));
    publisher pub(rt, "cpp-pub");

    std::mutex lock;
    std::vector<std::string> seen;
    // Each delivery on a thread of its own: once cancelled, later deliveries
    // go to receive() (the in-order thread would compete for them).
    sub.on_notification(
        [&](const notification_view &n) {
            std::lock_guard guard(lock);
            seen.emplace_back(n.type().value_or("?"));
        },
        callback_mode::concurrent);
    EXPECT_THROW(sub.on_notification([](const notification_view &) {}), error);
    for (const char *type : {"CPP/1", "CPP/2", "CPP/3"}) pub.publish(notification(type));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard guard(lock);
        return seen.size() == 3;
    }));
    {
        std::lock_guard guard(lock);
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<std::string>{"CPP/1", "CPP/2", "CPP/3"}));
    }

    sub.cancel_callback();
    pub.publish(notification("CPP/4"));
    auto queued = sub.receive(kWait);  // goes to receivers now
    ASSERT_TRUE(queued);
    EXPECT_EQ(queued->type(), "CPP/4");
    {
        std::lock_guard guard(lock);
        EXPECT_EQ(seen.size(), 3u);
    }

    // An in-order callback may cancel itself: the call must not wait for itself.
    std::atomic<int> calls{0};
    sub.on_notification([&](const notification_view &) {
        sub.cancel_callback();
        calls.fetch_add(1);
    });
    pub.publish(notification("CPP/5"));
    ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
    pub.publish(notification("CPP/6"));
    EXPECT_TRUE(sub.receive(kWait));
    EXPECT_EQ(calls.load(), 1);
}

// Cancelling waits for a call in progress: what the callback uses may go once
// cancel_callback returns.
TEST_F(CppInterface, CancelWaitsForACallInProgressAndCloseEndsCallbacks) {
    runtime rt(daemon_.port());
    subscriber sub(rt, "cpp-sub", only("CPP/*"));
    publisher pub(rt, "cpp-pub");

    std::atomic<bool> inside{false}, finished{false};
    std::atomic<int> calls{0};
    sub.on_notification(
        [&](const notification_view &) {
            calls.fetch_add(1);
            inside = true;
            std::this_thread::sleep_for(300ms);
            finished = true;
        },
        callback_mode::concurrent);
    pub.publish(notification("CPP/SLOW"));
    ASSERT_TRUE(eventually([&] { return inside.load(); }));
    sub.cancel_callback();
    EXPECT_TRUE(finished.load());

    // A callback registered again, then the subscriber closed: nothing more.
    std::atomic<int> later{0};
    sub.on_notification([&](const notification_view &) { later.fetch_add(1); });
    sub.close();
    subscriber other(rt, "cpp-other", only("CPP/*"));
    pub.publish(notification("CPP/AFTER-CLOSE"));
    ASSERT_TRUE(other.receive(kWait));
    EXPECT_EQ(later.load(), 0);
    EXPECT_EQ(calls.load(), 1);
}

// Nothing can catch it on the library's thread: the program ends, saying why.
TEST_F(CppInterface, AnExceptionEscapingACallbackTerminatesSayingSo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the library runs threads
    EXPECT_DEATH(
        {
            runtime rt(daemon_.port());
            subscriber sub(rt, "cpp-sub", only("CPP/*"));
            publisher pub(rt, "cpp-pub");
            sub.on_notification([](const notification_view &) { throw std::runtime_error("boom"); });
            pub.publish(notification("CPP/THROW"));
            std::this_thread::sleep_for(kWait);
        },
        "exception escaped a subscriber callback: boom");
}

TEST_F(CppInterface, StreamBlocksArriveInOrderThroughTheInputStream) {
    runtime rt(daemon_.port());
    subscriber sub(rt, "cpp-sub", only("CPP/*"));
    publisher pub(rt, "cpp-pub");

    EXPECT_THROW(pub.open_stream(notification("CPP/NOT-A-HEAD")), error);
    EXPECT_THROW(pub.publish(notification::stream_head("CPP/HEAD")), error);
    auto head = notification::stream_head("CPP/STREAM");
    head.set_property("file", "f.bin");
    outstream out = pub.open_stream(std::move(head));
    pub.close();  // the stream keeps its publisher
    out.write("first;");
    out.write(std::string(10000, 'x'));
    out.write("last");
    out.close();

    auto first = sub.receive(kWait);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->property("file"), "f.bin");
    auto in = first->input_stream();
    ASSERT_TRUE(in);
    first.reset();  // the stream outlives its first notification
    EXPECT_EQ(in->read_all(), "first;" + std::string(10000, 'x') + "last");
    std::byte b[4];
    EXPECT_EQ(in->read(b), 0u);
}

// The error `call` threw, or one saying that nothing was thrown.
template <typename Call>
error thrown(Call call) {
    try {
        call();
    } catch (const error &e) {
        return e;
    }
    return error("(nothing thrown)", 0, "no error");
}

TEST_F(CppInterface, FailuresThrowWithTheCallAndItsResult) {
    {
        ScopedEnv no_home{"TAMRIX_CONFIG_HOME", nullptr};
        ScopedEnv no_home2{"TAMRIX_HOME", nullptr};
        error e = thrown([] { runtime rt; });
        EXPECT_STREQ(e.call(), "lumo_init");
        EXPECT_EQ(e.result(), -1);
    }
    runtime rt(daemon_.port());
    const std::string what = thrown([&] { subscriber bad(rt, "cpp-sub", only("(CPP/*")); }).what();
    EXPECT_NE(what.find("invalid subscription"), std::string::npos) << what;
    notification n("CPP/X");
    EXPECT_EQ(thrown([&] { n.set_property("a:b", "v"); }).result(), -1);
    EXPECT_EQ(n.properties().size(), 1u);  // stored under the error text, as in C
}

TEST(CppBodyBlock, BuildsWalksEncodesAndDecodes) {
    body_block block;
    segment top = block.add_segment("top");
    top.set("text", "value");
    const std::string binary("\0\1\2", 3);
    top.set("bin", binary);
    top.set("empty", "");
    segment child = top.add_segment("child");
    child.set("k", "v");
    block.add_segment("second");
    EXPECT_EQ(top.add_segment("child").get(), child.get());  // the same one again

    std::vector<std::string> names;
    for (segment s : block.segments()) names.emplace_back(s.name());
    EXPECT_EQ(names, (std::vector<std::string>{"top", "second"}));
    std::vector<std::string> elements;
    for (element e : top.elements()) elements.emplace_back(std::string(e.name()) + "=" + std::string(e.value()));
    EXPECT_EQ(elements, (std::vector<std::string>{"text=value", "bin=" + binary, "empty="}));

    body_block copy = body_block::decode(block.encode());
    ASSERT_TRUE(copy.child("top"));
    EXPECT_EQ(copy.child("top")->get("bin"), binary);
    EXPECT_EQ(copy.child("top")->child("child")->get("k"), "v");
    EXPECT_EQ(copy.child("missing"), std::nullopt);
    EXPECT_EQ(copy.to_string(), block.to_string());
    EXPECT_EQ(block.to_string(), "Seg:top\n  text=value\n  bin=<binary-data>\n  empty=\n  Seg:child\n    k=v\nSeg:second\n");

    const std::byte junk[20]{};
    EXPECT_THROW(body_block::decode(junk), error);
    body_block moved = std::move(copy);
    EXPECT_EQ(copy.get(), nullptr);
    EXPECT_EQ(body_block().to_string(), "");
}

}  // namespace
}  // namespace vavevar::test
