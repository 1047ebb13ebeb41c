// The index of subscriptions by event type: it offers every subscription
// that can match an event, in delivery order and once, offers none that the
// type rules out, and stays as it was when memory runs out.
#include "subscription_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "failing_new.h"

namespace vavevard {
namespace {

using Keys = std::vector<SubscriptionKey>;

std::string describe(const Keys &keys) {
    std::string s;
    for (const SubscriptionKey &k : keys)
        s += std::to_string(k.client) + "/" + std::to_string(k.subscriber) + " ";
    return s;
}

Keys candidates(const SubscriptionIndex &index, std::string_view type) {
    Keys out;
    index.candidates(type, out);
    return out;
}

// Filters over a vocabulary of short types, so that random types often fall
// under their prefixes.
struct Maker {
    std::mt19937 rng{42};
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    std::string text(int length, std::string_view alphabet) {
        std::string t;
        while (length-- > 0) t += alphabet[pick(int(alphabet.size()))];
        return t;
    }
    std::string type() { return text(pick(7), "AB/"); }
    std::string pattern() { return text(1 + pick(4), "AB/AB/*?"); }
    std::string filter(int depth = 0) {
        switch (pick(depth > 2 ? 7 : 10)) {
        case 0: case 1: return pattern();
        case 2: return "type = " + pattern();
        case 3: return "eventType == '" + pattern() + "'";
        case 4: return "type != " + pattern();
        case 5: return pick(2) ? "component = c*" : "null";
        case 6: return "not " + filter(depth + 1);
        case 7: case 8: return "(" + filter(depth + 1) + " and " + filter(depth + 1) + ")";
        default: return "(" + filter(depth + 1) + " or " + filter(depth + 1) + ")";
        }
    }
};

bool admits(const Filter &f, const std::string &type) {
    auto anchors = f.type_anchors();
    return !anchors || std::any_of(anchors->begin(), anchors->end(), [&](const TypeAnchor &a) {
               return a.suffix ? type.ends_with(a.text) : type.starts_with(a.text);
           });
}

TEST(DaemonSubscriptionIndex, OffersEveryMatchingSubscriptionAndOnlyThoseTheTypeAdmits) {
    Maker make;
    SubscriptionIndex index;
    std::map<SubscriptionKey, Filter> model;
    int offered = 0, matched = 0;
    for (int round = 0; round < 40; ++round) {
        // Adds, replacements and removals, keys drawn from a small space so
        // that the same key comes back.
        for (int i = 0; i < 40; ++i) {
            SubscriptionKey key{static_cast<ClientId>(1 + make.pick(12)), make.pick(20) - 5};
            if (make.pick(5) == 0) {
                index.remove(key);
                model.erase(key);
                continue;
            }
            Filter f = Filter::compile(make.filter());
            ASSERT_TRUE(f.ok()) << f.error();
            index.add(key, f);
            model.insert_or_assign(key, std::move(f));
        }
        ASSERT_EQ(index.size(), model.size());
        for (int j = 0; j < 40; ++j) {
            Notification e;
            e.type = make.type();
            e.generatingComponent = make.pick(2) ? "cx" : "d";
            NotificationView view(e);
            Keys got = candidates(index, e.type), admitted, matching;
            for (const auto &[key, filter] : model) {
                if (admits(filter, e.type)) admitted.push_back(key);
                if (filter.evaluate(view) == Match::yes) matching.push_back(key);
            }
            // Exactly the admitted ones, in order: none missed, none extra,
            // none twice.
            EXPECT_EQ(describe(got), describe(admitted)) << "type '" << e.type << "'";
            EXPECT_TRUE(std::includes(got.begin(), got.end(), matching.begin(), matching.end()))
                << "type '" << e.type << "': " << describe(matching);
            offered += int(got.size());
            matched += int(matching.size());
        }
    }
    // The index did filter, and the filters did match.
    EXPECT_GT(matched, 1000);
    EXPECT_LT(offered, int(model.size()) * 40 * 40 * 3 / 4);
}

TEST(DaemonSubscriptionIndex, AddIsAllOrNothingWhenMemoryRunsOut) {
    if (!test::new_seam_available()) GTEST_SKIP() << "no allocation seam under this sanitizer";
    SubscriptionIndex index;
    index.add({1, 1}, Filter::compile("A* or B*"));
    index.add({1, 2}, Filter::compile("C*"));
    index.add({2, 1}, Filter::compile("not X"));
    // What types see of the index, to compare before and after.
    auto snapshot = [&] {
        std::string seen = std::to_string(index.size());
        for (const char *type : {"", "A", "AB", "ABC", "B", "BA", "C", "CAT", "X"})
            seen += " | " + describe(candidates(index, type));
        return seen;
    };
    const std::pair<SubscriptionKey, const char *> changes[] = {
        {{3, 1}, "AB* or BA* or CAT or X*"},  // new, several prefixes
        {{1, 1}, "AB* or C* or X*"},          // replaced: some prefixes kept
        {{1, 2}, "component = x"},            // constrained to unconstrained
        {{2, 1}, "ABC or BA"},                // and back
    };
    // The first, second, third ... allocation fails until the add succeeds;
    // until then the index is as it was.
    for (const auto &[key, text] : changes) {
        Filter f = Filter::compile(text);
        const std::string before = snapshot();
        bool added = false;
        int k = 0;
        for (; !added && k < 10000; ++k) {
            {
                test::NewFault fault(k);
                try {
                    index.add(key, f);
                    added = true;
                } catch (const std::bad_alloc &) {
                }
            }
            if (!added) {
                EXPECT_EQ(snapshot(), before) << text;
            }
        }
        EXPECT_GE(k, 2) << text;  // failures were met and survived
        EXPECT_NE(snapshot(), before) << text;
    }
}

TEST(DaemonSubscriptionIndex, CandidatesAllocateNothingOnceTheVectorHasGrown) {
    if (!test::new_seam_available()) GTEST_SKIP() << "no allocation seam under this sanitizer";
    SubscriptionIndex index;
    for (int i = 0; i < 300; ++i)
        index.add({static_cast<ClientId>(i % 7), i},
                  Filter::compile(i % 3 == 0 ? "ALARM/*" : i % 3 == 1 ? "ALARM/DISK/* or X" : "prop.p"));
    Keys out;
    index.candidates("ALARM/DISK/FULL", out);
    EXPECT_EQ(out.size(), 300u);
    std::uint64_t before = test::new_calls();
    for (const char *type : {"ALARM/DISK/FULL", "ALARM/NET", "X"}) index.candidates(type, out);
    EXPECT_EQ(test::new_calls(), before);
    EXPECT_EQ(out.size(), 200u);
}

}  // namespace
}  // namespace vavevard
