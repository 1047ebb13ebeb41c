// Notification streams: the blocks sent, how they are gathered into one input
// stream and read, and who frees the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "notification/notification.h"
#include "pubsub/instream.h"
#include "pubsub/stream_table.h"
#include "runtime/runtime_state.h"
#include "pubsub/subscriber.h"
#include "support/pubsub_fixture.h"
#include "support/threading.h"

namespace vavevar::test {
namespace {

constexpr char kIncoming[] = "IncomingStreamingNotification";

class Streams : public PubSubTest {
protected:
    void SetUp() override {
        PubSubTest::SetUp();
        s = subscribe();
        publisher = ::lumo_publisher_create("streamer");
        ASSERT_TRUE(s && publisher);
    }
    void TearDown() override {
        if (s != nullptr) ::lumo_subscriber_close(s);
        ::lumo_publisher_close(publisher);
        PubSubTest::TearDown();
    }

    void send_block(const std::string &key, const std::string &body) {
        InboundEvent event;
        event.class_name = kIncoming;
        event.stream_key = key;
        event.body = body;
        ASSERT_TRUE(daemon.send(event.bytes()));
    }

    lumo_instream *receive_stream() {
        representative = ::lumo_subscriber_receive(s, 1, 10000);
        if (representative == nullptr) return nullptr;
        return ::lumo_notification_getInputStream(representative);
    }

    // Read under the runtime's lock, as delivery does.
    std::int32_t open_streams() {
        LockGuard guard(lumo_runtime_current()->lock);
        return s->streams->count;
    }

    lumo_subscriber *s = nullptr;
    lumo_publisher *publisher = nullptr;
    lumo_notification *representative = nullptr;
};

TEST_F(Streams, AnOutputStreamSendsEachWriteAsABlockThenAnEmptyEnd) {
    lumo_notification *head = ::lumo_notification_createstream("bulk");
    ASSERT_EQ(::lumo_notification_setProperty(head, "first", "1"), 0);
    ASSERT_EQ(::lumo_notification_setProperty(head, "second", "2"), 0);
    lumo_outstream *out = ::lumo_notification_getOutputStream(head);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(::lumo_notification_getOutputStream(head), out);  // one per head
    EXPECT_EQ(::lumo_outstream_write(out, "x", 1), 0);  // unpublished: nothing to send through
    ::lumo_publisher_publish(publisher, head);
    const std::string key = ::lumo_notification_id(head);
    EXPECT_EQ(::lumo_outstream_write(out, "abc", 3), 3);
    EXPECT_EQ(::lumo_outstream_write(out, "defgh", 5), 5);
    EXPECT_EQ(::lumo_outstream_flush(out), 0);
    EXPECT_EQ(::lumo_outstream_write(out, "ij", 2), 2);
    ::lumo_outstream_close(&out);
    EXPECT_EQ(out, nullptr);

    ASSERT_TRUE(daemon.wait_for_requests(Request::Kind::event, 4));
    auto events = daemon.requests(Request::Kind::event);
    ASSERT_EQ(events.size(), 4u);
    const char *bodies[] = {"abc", "defgh", "ij", ""};
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].header("className"), kIncoming);
        EXPECT_EQ(events[i].header("eventType"), "bulk");
        EXPECT_EQ(events[i].header("streamKey"), key);
        EXPECT_NE(events[i].header("eventId"), key);  // each block has its own
        EXPECT_EQ(events[i].body, bodies[i]);
        // The head's properties, in the order they were set.
        auto names = events[i].header_names();
        auto first = std::find(names.begin(), names.end(), "first");
        EXPECT_LT(first, std::find(names.begin(), names.end(), "second"));
    }
}

TEST_F(Streams, AStreamArrivesAsOneNotificationWhoseReadsSpanItsBlocks) {
    const std::vector<std::string> blocks{"abc", "defgh", "ij", ""};
    const struct {
        std::string key;
        std::vector<std::string> blocks;
        std::int32_t buffer;
        std::vector<std::string> reads;
    } cases[] = {{"big", blocks, 100, {"abcdefghij", "", ""}},
                 {"small", blocks, 4, {"abcd", "efgh", "ij", ""}},
                 // Ended with its first block: it never stays in the table.
                 {"empty", {""}, 8, {"", ""}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        for (const std::string &body : c.blocks) send_block(c.key, body);
        lumo_instream *in = receive_stream();
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(::lumo_notification_getClass(representative), 4);
        ASSERT_TRUE(wait_until([&] { return lumo_queue_count(in->chunks) >= std::ssize(c.blocks); }));
        EXPECT_EQ(::lumo_subscriber_receive(s, 0, 0), nullptr);  // one per stream
        EXPECT_EQ(open_streams(), 0);
        char buffer[100];
        std::vector<std::string> reads;
        for (std::size_t i = 0; i < c.reads.size(); ++i)
            reads.emplace_back(buffer, static_cast<std::size_t>(::lumo_instream_read(in, buffer, c.buffer)));
        EXPECT_EQ(reads, c.reads);
        ::lumo_instream_close(&in);
        ::lumo_subscriber_relinquish(s, representative);
    }
}

TEST_F(Streams, ClosingEarlyDropsLaterBlocksUntilTheEnd) {
    send_block("k4", "kept");
    lumo_instream *in = receive_stream();
    ASSERT_NE(in, nullptr);
    ::lumo_subscriber_relinquish(s, representative);  // the handle keeps it
    ::lumo_instream_close(&in);
    EXPECT_EQ(open_streams(), 1);
    send_block("k4", "dropped");
    send_block("k4", "");
    // The end marker frees it (the sanitizers watch); dropped blocks never
    // reach the application as notifications.
    ASSERT_TRUE(wait_until([&] { return open_streams() == 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(::lumo_subscriber_receive(s, 0, 0), nullptr);
}

TEST_F(Streams, AReadWaitsForTheFirstByteOnlyUntilTheSubscriberCloses) {
    send_block("k5", "partial");
    lumo_instream *in = receive_stream();
    ASSERT_NE(in, nullptr);
    ::lumo_subscriber_relinquish(s, representative);
    char buffer[64];
    ASSERT_EQ(::lumo_instream_read(in, buffer, 64), 7);  // the rest has not come
    std::atomic<std::int32_t> last{-1};
    auto wait_in_read = [&] {
        last = -1;
        std::thread reader([&] { last = ::lumo_instream_read(in, buffer, 64); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(last.load(), -1);  // waiting for more
        return reader;
    };
    std::thread reader = wait_in_read();
    send_block("k5", "second");
    reader.join();
    EXPECT_EQ(last.load(), 6);
    reader = wait_in_read();
    ::lumo_subscriber_close(s);
    s = nullptr;
    reader.join();
    EXPECT_EQ(last.load(), 0);
    ::lumo_instream_close(&in);  // still valid: the handle kept it
}

}  // namespace
}  // namespace vavevar::test
