// vavevar for C++20: owners and views over the C interface in vavevar.h.
//
// Header only; link the library as for C.
//
// Errors: a C call that fails makes the C++ call throw vavevar::error, which
// carries the C result and the call's name. Absence that is not a failure (no
// property of that name, no body, nothing received in time) is a
// std::optional or an empty view instead.
//
// Ownership follows the C rules and makes them automatic:
//  - runtime is one counted start of the library. Publishers, subscribers,
//    received notifications and streams each keep the start they were made
//    under, so the library stops only when the last of them is gone, in
//    whatever order they are destroyed.
//  - notification owns a notification: one the program made (destroyed if
//    never published; publishing hands it to the library), or one received,
//    which keeps its subscriber open and is given back through it.
//  - Views (notification_view, segment, element) borrow and never outlive
//    what they were taken from.
// Owners are move-only; a moved-from owner is empty and every close() is
// idempotent.
//
// Callbacks run on library threads. Nothing may leave them by exception: one
// that escapes a callback is a bug in the program, so the library prints its
// message on standard error and calls std::terminate. Once a subscriber's
// callback is cancelled or the subscriber closed, the callback is never
// entered again, and cancel/close return only after calls already inside it
// have returned (except the caller's own, when it cancels from inside).
#ifndef VAVEVAR_HPP
#define VAVEVAR_HPP

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vavevar.h"

namespace vavevar {

// A failed C call: its name and what it returned (0 where it returned NULL).
class error : public std::runtime_error {
public:
    error(const char *call, int result, const std::string &what)
        : std::runtime_error(std::string(call) + ": " + what), call_(call), result_(result) {}
    const char *call() const noexcept { return call_; }
    int result() const noexcept { return result_; }

private:
    const char *call_;
    int result_;
};

inline std::string_view version() noexcept { return lumo_version(); }

namespace detail {

// The C calls want NUL-terminated texts.
inline std::string text(std::string_view s) { return std::string(s); }

inline std::int32_t length32(std::size_t size, const char *call) {
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw error(call, 0, "more than 2 GiB in one piece");
    return static_cast<std::int32_t>(size);
}

inline std::optional<std::string_view> maybe(const char *s) {
    if (s == nullptr) return std::nullopt;
    return std::string_view(s);
}

struct free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

inline std::string take_text(char *s) {
    std::unique_ptr<char, free_deleter> owned(s);
    return s != nullptr ? std::string(s) : std::string();
}

// One counted start of the library; the last reference ends it.
struct start {
    std::atomic<bool> write_out{true};
    start() = default;
    start(const start &) = delete;
    start &operator=(const start &) = delete;
    ~start() {
        if (write_out.load())
            lumo_shutdown();
        else
            lumo_shutdown_nowait();
    }
};

// A handle closed by its last owner, before the start it was made under ends
// (members go after the destructor's body).
struct publisher_core {
    lumo_publisher *handle;
    std::shared_ptr<start> started;
    publisher_core(lumo_publisher *h, std::shared_ptr<start> s) noexcept : handle(h), started(std::move(s)) {}
    publisher_core(const publisher_core &) = delete;
    publisher_core &operator=(const publisher_core &) = delete;
    ~publisher_core() { lumo_publisher_close(handle); }
};

struct subscriber_core {
    lumo_subscriber *handle;
    std::shared_ptr<start> started;
    subscriber_core(lumo_subscriber *h, std::shared_ptr<start> s) noexcept : handle(h), started(std::move(s)) {}
    subscriber_core(const subscriber_core &) = delete;
    subscriber_core &operator=(const subscriber_core &) = delete;
    ~subscriber_core() { lumo_subscriber_close(handle); }
};

}  // namespace detail

// ---------------------------------------------------------------------------
// Runtime

class runtime {
public:
    // Configuration from the environment (as lumo_init).
    runtime() { begin(lumo_init(), "lumo_init"); }
    // The daemon's port given; 0 takes it from the environment.
    explicit runtime(std::uint16_t port) { begin(lumo_init_with_port(port), "lumo_init_with_port"); }
    // The daemon's home directory given.
    static runtime with_home(std::string_view home) {
        runtime r(no_start{});
        r.begin(lumo_init_wtamrixhome(detail::text(home).c_str()), "lumo_init_wtamrixhome");
        return r;
    }

    runtime(runtime &&) noexcept = default;
    runtime &operator=(runtime &&) noexcept = default;
    runtime(const runtime &) = delete;
    runtime &operator=(const runtime &) = delete;
    ~runtime() = default;

    // What ending the start does with notifications still queued for the
    // daemon: write them out (lumo_shutdown) or drop them (..._nowait).
    void drop_queued_on_stop() { if (start_) start_->write_out.store(false); }

    // Gives up this owner's share of the start; the library stops once
    // nothing made under it is left either.
    void close() noexcept { start_.reset(); }
    bool is_open() const noexcept { return start_ != nullptr; }

    // The instance name the daemon reported (waits up to 10 s for the link).
    std::optional<std::string> instance_name() const {
        char *name = nullptr;
        lumo_get_instancename(&name);
        if (name == nullptr) return std::nullopt;
        return detail::take_text(name);
    }

    const std::shared_ptr<detail::start> &share(const char *call) const {
        if (!start_) throw error(call, 0, "the runtime is closed");
        return start_;
    }

private:
    struct no_start {};
    explicit runtime(no_start) {}
    void begin(std::int32_t result, const char *call) {
        // -3 is a start all the same (counted), so it is owned like one.
        if (result != 0 && result != -3)
            throw error(call, result, result == -1 ? "home or port missing or invalid"
                                                   : "the system refused a resource");
        start_ = std::make_shared<detail::start>();
    }
    std::shared_ptr<detail::start> start_;
};

// ---------------------------------------------------------------------------
// Notifications

struct property {
    std::string_view name;
    std::string_view value;
    bool operator==(const property &) const = default;
};

// Every property of a notification, newest first; valid while the
// notification is.
class property_range {
public:
    class iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = property;
        using difference_type = std::ptrdiff_t;
        using reference = property;
        using pointer = void;
        iterator() = default;
        explicit iterator(const lumo_property *p) : p_(p) {}
        property operator*() const { return {p_->name, p_->value}; }
        property operator[](difference_type i) const { return *(*this + i); }
        iterator &operator++() { ++p_; return *this; }
        iterator operator++(int) { auto old = *this; ++p_; return old; }
        iterator &operator--() { --p_; return *this; }
        iterator operator--(int) { auto old = *this; --p_; return old; }
        iterator &operator+=(difference_type d) { p_ += d; return *this; }
        iterator &operator-=(difference_type d) { p_ -= d; return *this; }
        friend iterator operator+(iterator i, difference_type d) { return i += d; }
        friend iterator operator+(difference_type d, iterator i) { return i += d; }
        friend iterator operator-(iterator i, difference_type d) { return i -= d; }
        friend difference_type operator-(iterator a, iterator b) { return a.p_ - b.p_; }
        friend auto operator<=>(iterator a, iterator b) = default;

    private:
        const lumo_property *p_ = nullptr;
    };

    explicit property_range(const lumo_notification *n) {
        std::int32_t count = 0;
        array_.reset(lumo_notification_getAllProperties(n, &count));
        count_ = array_ ? static_cast<std::size_t>(count) : 0;
    }
    iterator begin() const { return iterator(array_.get()); }
    iterator end() const { return iterator(array_.get() + count_); }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

private:
    std::unique_ptr<lumo_property, detail::free_deleter> array_;
    std::size_t count_ = 0;
};

enum class notification_class : std::int32_t {
    message = 0,
    membership_list = 1,
    membership_delta = 2,
    outgoing_stream = 3,
    incoming_stream = 4,
    state_get = 5,
    state_set = 6,
    leave_group = 7,
    other = 8,
};

// Read access to a notification someone else owns.
class notification_view {
public:
    explicit notification_view(const lumo_notification *n) noexcept : n_(n) {}

    std::optional<std::string_view> type() const { return detail::maybe(lumo_notification_type(n_)); }
    std::optional<std::string_view> id() const { return detail::maybe(lumo_notification_id(n_)); }
    std::optional<std::string_view> stamp() const { return detail::maybe(lumo_notification_stamp(n_)); }
    std::optional<std::string_view> generating_component() const {
        return detail::maybe(lumo_notification_generatingComponent(n_));
    }
    std::optional<std::string_view> generating_node() const {
        return detail::maybe(lumo_notification_generatingNode(n_));
    }
    std::optional<std::string_view> generating_process() const {
        return detail::maybe(lumo_notification_generatingProcess(n_));
    }
    std::optional<std::string_view> instance_name() const {
        return detail::maybe(lumo_notification_instanceName(n_));
    }
    std::optional<std::string_view> affected_components() const {
        return detail::maybe(lumo_notification_affectedComponents(n_));
    }
    std::optional<std::string_view> affected_nodes() const {
        return detail::maybe(lumo_notification_affectedNodes(n_));
    }
    notification_class cls() const { return notification_class{lumo_notification_getClass(n_)}; }
    std::chrono::seconds creation_time() const { return std::chrono::seconds(lumo_notification_creationTime(n_)); }
    std::chrono::seconds delivery_time() const { return std::chrono::seconds(lumo_notification_deliveryTime(n_)); }
    bool local_only() const { return lumo_notification_localOnly(n_) != 0; }

    // The newest value of `name`.
    std::optional<std::string_view> property(std::string_view name) const {
        return detail::maybe(lumo_notification_getProperty(n_, detail::text(name).c_str()));
    }
    property_range properties() const { return property_range(n_); }

    // Empty when there is no body.
    std::span<const std::byte> body() const {
        std::int32_t length = 0;
        const char *body = lumo_notification_body(n_, &length);
        if (body == nullptr || length <= 0) return {};
        return {reinterpret_cast<const std::byte *>(body), static_cast<std::size_t>(length)};
    }
    std::string_view body_text() const {
        auto bytes = body();
        return {reinterpret_cast<const char *>(bytes.data()), bytes.size()};
    }

    // As lumo_notification_toString (mode 0: no body, 1 hex, 2 text, 3 body
    // block, 4 body block or hex).
    std::string to_string(int mode = 0) const {
        char *s = lumo_notification_toString(n_, mode);
        if (s == nullptr) throw error("lumo_notification_toString", 0, "out of memory");
        return detail::take_text(s);
    }

    const lumo_notification *get() const noexcept { return n_; }

protected:
    const lumo_notification *n_;
};

class instream;
class publisher;
class subscriber;
class outstream;

// Owns a notification: made here until published, or received until dropped.
class notification : public notification_view {
public:
    // A message notification of `type` with a copy of `body`.
    explicit notification(std::string_view type, std::span<const std::byte> body = {})
        : notification_view(nullptr) {
        auto length = detail::length32(body.size(), "lumo_notification_create");
        n_ = lumo_notification_create(detail::text(type).c_str(), body.empty() ? nullptr : body.data(), length);
        if (n_ == nullptr) throw error("lumo_notification_create", 0, "out of memory");
    }
    notification(std::string_view type, std::string_view body)
        : notification(type, std::as_bytes(std::span<const char>(body.data(), body.size()))) {}

    // The head of an outgoing stream, for publisher::open_stream.
    static notification stream_head(std::string_view type) {
        lumo_notification *n = lumo_notification_createstream(detail::text(type).c_str());
        if (n == nullptr) throw error("lumo_notification_createstream", 0, "out of memory");
        return notification(n, nullptr);
    }

    notification(notification &&other) noexcept
        : notification_view(std::exchange(other.n_, nullptr)), from_(std::move(other.from_)) {}
    notification &operator=(notification &&other) noexcept {
        if (this != &other) {
            reset();
            n_ = std::exchange(other.n_, nullptr);
            from_ = std::move(other.from_);
        }
        return *this;
    }
    notification(const notification &) = delete;
    notification &operator=(const notification &) = delete;
    ~notification() { reset(); }

    // Adds `name` = `value` in front of the others. A name holding ':', CR or
    // LF, or a value holding CR or LF, throws (the notification then carries
    // the library's error text under that property, as in C).
    notification &set_property(std::string_view name, std::string_view value) {
        check_mine("lumo_notification_setProperty");
        std::int32_t r = lumo_notification_setProperty(mutable_n(), detail::text(name).c_str(),
                                                       detail::text(value).c_str());
        if (r == -1) throw error("lumo_notification_setProperty", r, "forbidden character in name or value");
        if (r != 0) throw error("lumo_notification_setProperty", r, "out of memory");
        return *this;
    }
    notification &set_local_only() {
        check_mine("lumo_notification_setLocalOnly");
        lumo_notification_setLocalOnly(mutable_n());
        return *this;
    }

    // The input stream of the first notification of a received stream; the
    // stream outlives the notification.
    std::optional<instream> input_stream() const;

    // Destroys (made here) or gives back (received) now.
    void reset() noexcept {
        if (n_ != nullptr) lumo_subscriber_relinquish(from_ ? from_->handle : nullptr, mutable_n());
        n_ = nullptr;
        from_.reset();
    }
    explicit operator bool() const noexcept { return n_ != nullptr; }
    bool received() const noexcept { return from_ != nullptr; }

    // Hands the C handle over; for a received one the caller then relinquishes
    // it through its subscriber while that is open.
    lumo_notification *release() noexcept {
        from_.reset();
        return const_cast<lumo_notification *>(std::exchange(n_, nullptr));
    }

private:
    friend class publisher;
    friend class subscriber;
    notification(lumo_notification *n, std::shared_ptr<detail::subscriber_core> from)
        : notification_view(n), from_(std::move(from)) {}
    lumo_notification *mutable_n() const noexcept { return const_cast<lumo_notification *>(n_); }
    void check_mine(const char *call) const {
        if (n_ == nullptr) throw error(call, 0, "empty notification");
    }
    std::shared_ptr<detail::subscriber_core> from_;
};

// ---------------------------------------------------------------------------
// Streams

class instream {
public:
    instream(instream &&other) noexcept
        : s_(std::exchange(other.s_, nullptr)), started_(std::move(other.started_)) {}
    instream &operator=(instream &&other) noexcept {
        if (this != &other) {
            close();
            s_ = std::exchange(other.s_, nullptr);
            started_ = std::move(other.started_);
        }
        return *this;
    }
    instream(const instream &) = delete;
    instream &operator=(const instream &) = delete;
    ~instream() { close(); }

    // Waits for the first byte, then takes what has already arrived; 0 at the
    // end of the stream (or once its subscriber closed it).
    std::size_t read(std::span<std::byte> buffer) {
        if (s_ == nullptr) throw error("lumo_instream_read", 0, "closed stream");
        if (buffer.empty()) return 0;
        auto length = static_cast<std::int32_t>(
            std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())));
        return static_cast<std::size_t>(lumo_instream_read(s_, buffer.data(), length));
    }
    // Everything up to the end.
    std::string read_all() {
        std::string all;
        std::byte chunk[4096];
        while (std::size_t got = read(chunk)) all.append(reinterpret_cast<const char *>(chunk), got);
        return all;
    }
    void close() noexcept {
        lumo_instream_close(&s_);
        started_.reset();
    }
    bool is_open() const noexcept { return s_ != nullptr; }

private:
    friend class notification;
    instream(lumo_instream *s, std::shared_ptr<detail::start> started) : s_(s), started_(std::move(started)) {}
    lumo_instream *s_;
    std::shared_ptr<detail::start> started_;
};

inline std::optional<instream> notification::input_stream() const {
    lumo_instream *s = lumo_notification_getInputStream(n_);
    if (s == nullptr) return std::nullopt;
    return instream(s, from_ ? from_->started : nullptr);
}

class outstream {
public:
    outstream(outstream &&other) noexcept
        : s_(std::exchange(other.s_, nullptr)), publisher_(std::move(other.publisher_)) {}
    outstream &operator=(outstream &&other) noexcept {
        if (this != &other) {
            close();
            s_ = std::exchange(other.s_, nullptr);
            publisher_ = std::move(other.publisher_);
        }
        return *this;
    }
    outstream(const outstream &) = delete;
    outstream &operator=(const outstream &) = delete;
    ~outstream() { close(); }

    // Sends `data` as one block; an empty one sends nothing.
    void write(std::span<const std::byte> data) {
        if (s_ == nullptr) throw error("lumo_outstream_write", 0, "closed stream");
        if (data.empty()) return;
        auto length = detail::length32(data.size(), "lumo_outstream_write");
        std::int32_t r = lumo_outstream_write(s_, data.data(), length);
        if (r == length) return;
        throw error("lumo_outstream_write", r, r == -1 ? "out of memory" : "refused");
    }
    void write(std::string_view text) { write(std::as_bytes(std::span<const char>(text.data(), text.size()))); }

    // Sends the end of the stream.
    void close() noexcept {
        lumo_outstream_close(&s_);
        publisher_.reset();
    }
    bool is_open() const noexcept { return s_ != nullptr; }

private:
    friend class publisher;
    outstream(lumo_outstream *s, std::shared_ptr<detail::publisher_core> p) : s_(s), publisher_(std::move(p)) {}
    lumo_outstream *s_;
    std::shared_ptr<detail::publisher_core> publisher_;  // must stay open until the end is sent
};

// ---------------------------------------------------------------------------
// Publishers

class publisher {
public:
    // Waits up to 5 s for the daemon, and works without it.
    publisher(const runtime &rt, std::string_view component) {
        const auto &started = rt.share("lumo_publisher_create");
        lumo_publisher *p = lumo_publisher_create(detail::text(component).c_str());
        if (p == nullptr) throw error("lumo_publisher_create", 0, "the library refused a publisher");
        core_ = std::make_shared<detail::publisher_core>(p, started);
    }
    publisher(publisher &&) noexcept = default;
    publisher &operator=(publisher &&) noexcept = default;
    publisher(const publisher &) = delete;
    publisher &operator=(const publisher &) = delete;
    ~publisher() = default;

    // Hands `n` to the library; `n` is empty afterwards.
    void publish(notification &&n) {
        check("lumo_publisher_publish");
        if (!n) throw error("lumo_publisher_publish", 0, "empty notification");
        if (n.received()) throw error("lumo_publisher_publish", 0, "a received notification belongs to its subscriber");
        if (n.cls() == notification_class::outgoing_stream)
            throw error("lumo_publisher_publish", 0, "a stream head is published with open_stream");
        lumo_publisher_publish(core_->handle, n.release());
    }

    // Publishes the stream head `head` (from notification::stream_head) and
    // returns the stream to write to; this publisher stays open until the
    // stream is closed.
    outstream open_stream(notification &&head) {
        check("lumo_notification_getOutputStream");
        if (!head || head.received() || head.cls() != notification_class::outgoing_stream)
            throw error("lumo_notification_getOutputStream", 0, "not a stream head");
        lumo_outstream *s = lumo_notification_getOutputStream(const_cast<lumo_notification *>(head.get()));
        if (s == nullptr) throw error("lumo_notification_getOutputStream", 0, "out of memory");
        lumo_publisher_publish(core_->handle, head.release());
        return outstream(s, core_);
    }

    // Closes now unless a stream still needs it; notifications already
    // published still go out.
    void close() noexcept { core_.reset(); }
    bool is_open() const noexcept { return core_ != nullptr; }

private:
    void check(const char *call) const {
        if (!core_) throw error(call, 0, "closed publisher");
    }
    std::shared_ptr<detail::publisher_core> core_;
};

// ---------------------------------------------------------------------------
// Subscribers

struct subscriber_options {
    std::optional<std::string> filter;  // the daemon's filter text; none: everything
    std::optional<std::string> group;   // group to join
    std::vector<std::pair<std::string, std::string>> properties;
    bool deltas = false;                       // membership changes too
    std::chrono::milliseconds timeout{0};      // for the daemon's answer; 0 waits without limit
};

enum class callback_mode : std::int32_t {
    in_order = 0,    // one library thread, in delivery order
    concurrent = 1,  // a thread per notification; calls may overlap
};

namespace detail {

// The C callback's context is a number looked up here, never a pointer: a
// library thread may still be on its way to a callback that was cancelled, and
// must then find nothing rather than freed memory.
class callback_table {
public:
    struct slot {
        std::function<void(const notification_view &)> fn;
        std::mutex lock;
        std::condition_variable idle;
        int inside = 0;
    };

    static callback_table &instance() {
        // Never destroyed: detached library threads may look here during exit.
        static auto *table = new callback_table;
        return *table;
    }

    std::uintptr_t add(std::function<void(const notification_view &)> fn) {
        auto s = std::make_shared<slot>();
        s->fn = std::move(fn);
        std::lock_guard guard(lock_);
        std::uintptr_t key = ++last_;
        slots_.emplace(key, std::move(s));
        return key;
    }

    // After this no call enters the callback, and those inside have left
    // (all but the calling thread's own).
    void remove(std::uintptr_t key) {
        std::shared_ptr<slot> s;
        {
            std::lock_guard guard(lock_);
            auto it = slots_.find(key);
            if (it == slots_.end()) return;
            s = std::move(it->second);
            slots_.erase(it);
        }
        std::unique_lock guard(s->lock);
        const int own = current_ == s.get() ? 1 : 0;
        s->idle.wait(guard, [&] { return s->inside <= own; });
    }

    static void trampoline(lumo_notification *n, void *context) noexcept {
        auto key = reinterpret_cast<std::uintptr_t>(context);
        std::shared_ptr<slot> s;
        {
            std::lock_guard guard(instance().lock_);
            auto it = instance().slots_.find(key);
            if (it == instance().slots_.end()) return;
            s = it->second;
            std::lock_guard inner(s->lock);
            ++s->inside;
        }
        slot *outer = std::exchange(current_, s.get());
        try {
            s->fn(notification_view(n));
        } catch (const std::exception &e) {
            std::fprintf(stderr, "vavevar: exception escaped a subscriber callback: %s\n", e.what());
            std::terminate();
        } catch (...) {
            std::fprintf(stderr, "vavevar: exception escaped a subscriber callback\n");
            std::terminate();
        }
        current_ = outer;
        std::lock_guard guard(s->lock);
        if (--s->inside <= 1) s->idle.notify_all();
    }

private:
    std::mutex lock_;
    std::uintptr_t last_ = 0;
    std::map<std::uintptr_t, std::shared_ptr<slot>> slots_;
    static inline thread_local slot *current_ = nullptr;
};

}  // namespace detail

class subscriber {
public:
    // Creates the subscriber and waits for the daemon to accept it; throws
    // with the daemon's message when it refuses.
    subscriber(const runtime &rt, std::string_view component, const subscriber_options &options = {}) {
        const auto &started = rt.share("lumo_subscriber_create");
        std::unique_ptr<lumo_proplist, void (*)(lumo_proplist *)> list(nullptr, [](lumo_proplist *l) {
            lumo_proplist_destroy(&l);
        });
        if (!options.properties.empty()) {
            list.reset(lumo_proplist_create());
            if (!list) throw error("lumo_proplist_create", 0, "out of memory");
            for (const auto &[name, value] : options.properties)
                if (lumo_proplist_put(list.get(), name.c_str(), value.c_str()) == nullptr)
                    throw error("lumo_proplist_put", 0, "out of memory");
        }
        const char *filter = options.filter ? options.filter->c_str() : nullptr;
        const char *group = options.group ? options.group->c_str() : nullptr;
        std::string name(component);
        char *status = nullptr;
        lumo_subscriber *s;
        const char *call;
        if (options.deltas) {
            call = "lumo_subscriber_create_wdeltas";
            s = lumo_subscriber_create_wdeltas(filter, name.c_str(), group, list.get(), &status);
        } else {
            call = "lumo_subscriber_create_wtimeout";
            auto ms = std::min<std::chrono::milliseconds::rep>(options.timeout.count(),
                                                               std::numeric_limits<std::int32_t>::max());
            s = lumo_subscriber_create_wtimeout(filter, name.c_str(), group, list.get(), &status,
                                                static_cast<std::int32_t>(ms));
        }
        std::string message = detail::take_text(status);
        if (s == nullptr) throw error(call, 0, message.empty() ? "refused" : message);
        core_ = std::make_shared<detail::subscriber_core>(s, started);
    }
    subscriber(subscriber &&other) noexcept
        : core_(std::move(other.core_)), callback_(std::exchange(other.callback_, 0)) {}
    subscriber &operator=(subscriber &&other) noexcept {
        if (this != &other) {
            close();
            core_ = std::move(other.core_);
            callback_ = std::exchange(other.callback_, 0);
        }
        return *this;
    }
    subscriber(const subscriber &) = delete;
    subscriber &operator=(const subscriber &) = delete;
    ~subscriber() { close(); }

    // The next delivered notification: waits at most `timeout` (0: only
    // looks), or without limit when none is given.
    std::optional<notification> receive(std::optional<std::chrono::milliseconds> timeout = std::nullopt) {
        check("lumo_subscriber_receive");
        std::int32_t wait = 1, ms = 0;
        if (timeout) {
            if (timeout->count() <= 0)
                wait = 0;
            else
                ms = static_cast<std::int32_t>(std::min<std::chrono::milliseconds::rep>(
                    timeout->count(), std::numeric_limits<std::int32_t>::max()));
        }
        lumo_notification *n = lumo_subscriber_receive(core_->handle, wait, ms);
        if (n == nullptr) return std::nullopt;
        return notification(n, core_);
    }

    // Calls `fn` on a library thread for each delivery; the notification is
    // valid during the call only. One callback at a time per subscriber.
    void on_notification(std::function<void(const notification_view &)> fn,
                         callback_mode mode = callback_mode::in_order) {
        check("lumo_subscriber_registercallback");
        if (!fn) throw error("lumo_subscriber_registercallback", 0, "empty callback");
        if (callback_ != 0) throw error("lumo_subscriber_registercallback", -1, "a callback is already registered");
        auto &table = detail::callback_table::instance();
        std::uintptr_t key = table.add(std::move(fn));
        std::int32_t r = lumo_subscriber_registercallback(core_->handle, &detail::callback_table::trampoline,
                                                          reinterpret_cast<void *>(key),
                                                          static_cast<std::int32_t>(mode));
        if (r != 0) {
            table.remove(key);
            throw error("lumo_subscriber_registercallback", r, "a callback is already registered");
        }
        callback_ = key;
    }

    // After it returns the callback is not running (but on this thread) and
    // is not called again.
    void cancel_callback() noexcept {
        if (callback_ == 0) return;
        if (core_) lumo_subscriber_cancelcallback(core_->handle);
        detail::callback_table::instance().remove(std::exchange(callback_, 0));
    }

    // Ends the callback and gives up this owner's share; the subscription
    // closes once no received notification of it is left either.
    void close() noexcept {
        cancel_callback();
        core_.reset();
    }
    bool is_open() const noexcept { return core_ != nullptr; }

    std::int32_t id() const { check("lumo_subscriber_id"); return lumo_subscriber_id(core_->handle); }
    std::string_view component() const {
        check("lumo_subscriber_component");
        return lumo_subscriber_component(core_->handle);
    }
    std::optional<std::string_view> filter() const {
        check("lumo_subscriber_subscription");
        return detail::maybe(lumo_subscriber_subscription(core_->handle));
    }
    // Not to be called while another thread names or closes the subscriber.
    std::string_view name() const {
        check("lumo_subscriber_getName");
        return lumo_subscriber_getName(core_->handle);
    }
    void set_name(std::string_view name) {
        check("lumo_subscriber_setName");
        lumo_subscriber_setName(core_->handle, detail::text(name).c_str());
    }

    lumo_subscriber *get() const noexcept { return core_ ? core_->handle : nullptr; }

private:
    void check(const char *call) const {
        if (!core_) throw error(call, 0, "closed subscriber");
    }
    std::shared_ptr<detail::subscriber_core> core_;
    std::uintptr_t callback_ = 0;
};

// ---------------------------------------------------------------------------
// Body blocks

class element {
public:
    explicit element(lumo_bb_elem *e) noexcept : e_(e) {}
    std::string_view name() const { return lumo_bb_elem_getname(e_); }
    std::string_view value() const {
        std::uint32_t length = 0;
        const char *v = lumo_bb_elem_getvalue(e_, &length);
        return v != nullptr ? std::string_view(v, length) : std::string_view();
    }
    std::span<const std::byte> bytes() const { return std::as_bytes(std::span<const char>(value())); }
    lumo_bb_elem *get() const noexcept { return e_; }

private:
    lumo_bb_elem *e_;
};

namespace detail {

// A forward range over a C list walked with first/next.
template <typename Item, typename Handle, typename List, Handle *(*First)(List *), Handle *(*Next)(Handle *)>
class list_range {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Item;
        using difference_type = std::ptrdiff_t;
        using reference = Item;
        using pointer = void;
        iterator() = default;
        explicit iterator(Handle *h) : h_(h) {}
        Item operator*() const { return Item(h_); }
        iterator &operator++() { h_ = Next(h_); return *this; }
        iterator operator++(int) { auto old = *this; ++*this; return old; }
        bool operator==(const iterator &) const = default;

    private:
        Handle *h_ = nullptr;
    };
    explicit list_range(List *list) : list_(list) {}
    iterator begin() const { return iterator(list_ != nullptr ? First(list_) : nullptr); }
    iterator end() const { return iterator(); }

private:
    List *list_;
};

}  // namespace detail

class segment;
using segment_range = detail::list_range<segment, lumo_bb_seg, lumo_bb_seglist, lumo_bb_seglist_getfirst,
                                         lumo_bb_seglist_getnext>;
using element_range = detail::list_range<element, lumo_bb_elem, lumo_bb_elemlist, lumo_bb_elemlist_getfirst,
                                         lumo_bb_elemlist_getnext>;

// A segment of a body block, valid while the block is.
class segment {
public:
    explicit segment(lumo_bb_seg *s) noexcept : s_(s) {}
    std::string_view name() const { return lumo_bb_seg_getname(s_); }

    segment_range segments() const { return segment_range(lumo_bb_seg_getsegments(s_)); }
    element_range elements() const { return element_range(lumo_bb_seg_getelements(s_)); }

    std::optional<segment> child(std::string_view name) const {
        lumo_bb_seg *c = lumo_bb_seg_getsegment(s_, detail::text(name).c_str());
        if (c == nullptr) return std::nullopt;
        return segment(c);
    }
    // The child named `name`, added when there is none.
    segment add_segment(std::string_view name) {
        lumo_bb_seg *c = lumo_bb_seg_addsegment(s_, detail::text(name).c_str());
        if (c == nullptr) throw error("lumo_bb_seg_addsegment", 0, "out of memory");
        return segment(c);
    }

    std::optional<std::string_view> get(std::string_view name) const {
        std::uint32_t length = 0;
        const char *v = lumo_bb_seg_getelement(s_, detail::text(name).c_str(), &length);
        if (v == nullptr) return std::nullopt;
        return std::string_view(v, length);
    }
    // Sets the element `name` to a copy of `value` (any bytes); it moves to
    // the end of the list.
    element set(std::string_view name, std::string_view value) {
        return set(name, std::as_bytes(std::span<const char>(value.data(), value.size())));
    }
    element set(std::string_view name, std::span<const std::byte> value) {
        auto length = detail::length32(value.size(), "lumo_bb_seg_addelement_b");
        static const char none = 0;
        const void *data = value.empty() ? static_cast<const void *>(&none) : value.data();
        lumo_bb_elem *e = lumo_bb_seg_addelement_b(s_, detail::text(name).c_str(), data, length);
        if (e == nullptr) throw error("lumo_bb_seg_addelement_b", 0, "out of memory");
        return element(e);
    }
    lumo_bb_seg *get() const noexcept { return s_; }

private:
    lumo_bb_seg *s_;
};

class body_block {
public:
    body_block() : b_(lumo_bb_create()) {
        if (b_ == nullptr) throw error("lumo_bb_create", 0, "out of memory");
    }
    // Decodes an encoded body; throws when it is not one. A body damaged past
    // its start decodes up to the damage, as in C.
    static body_block decode(std::span<const std::byte> body) {
        auto length = detail::length32(body.size(), "lumo_bb_body2block");
        lumo_bb *b = lumo_bb_body2block(body.data(), length);
        if (b == nullptr) throw error("lumo_bb_body2block", 0, "not a body block");
        return body_block(b);
    }
    body_block(body_block &&other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
    body_block &operator=(body_block &&other) noexcept {
        if (this != &other) {
            lumo_bb_destroy(b_);
            b_ = std::exchange(other.b_, nullptr);
        }
        return *this;
    }
    body_block(const body_block &) = delete;
    body_block &operator=(const body_block &) = delete;
    ~body_block() { lumo_bb_destroy(b_); }

    segment_range segments() const { return segment_range(lumo_bb_getsegments(b_)); }
    std::optional<segment> child(std::string_view name) const {
        lumo_bb_seg *s = lumo_bb_getsegment(b_, detail::text(name).c_str());
        if (s == nullptr) return std::nullopt;
        return segment(s);
    }
    segment add_segment(std::string_view name) {
        lumo_bb_seg *s = lumo_bb_addsegment(b_, detail::text(name).c_str());
        if (s == nullptr) throw error("lumo_bb_addsegment", 0, b_ == nullptr ? "empty block" : "out of memory");
        return segment(s);
    }

    // The notification body that carries the block.
    std::vector<std::byte> encode() const {
        std::uint32_t length = 0;
        void *raw = lumo_bb_block2body(b_, &length);
        if (raw == nullptr) throw error("lumo_bb_block2body", 0, "too large or too deep for the format, or out of memory");
        std::unique_ptr<void, detail::free_deleter> owned(raw);
        auto *bytes = static_cast<const std::byte *>(raw);
        return std::vector<std::byte>(bytes, bytes + length);
    }
    // Empty for a block without segments.
    std::string to_string() const { return detail::take_text(lumo_bb_toString(b_)); }

    lumo_bb *get() const noexcept { return b_; }

private:
    explicit body_block(lumo_bb *b) noexcept : b_(b) {}
    lumo_bb *b_;
};

}  // namespace vavevar

#endif  // VAVEVAR_HPP
