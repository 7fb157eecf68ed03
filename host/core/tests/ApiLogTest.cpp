#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "common/Utf8Text.h"
#include "host/core/ApiLog.h"

namespace quorvane {
namespace {

ApiLogEntry entryWithPayload(std::string payload) {
    ApiLogEntry entry;
    entry.payload = std::move(payload);
    return entry;
}

TEST(ApiLog, KeepsTheNewestEntriesOldestFirst) {
    ApiLog log;
    EXPECT_TRUE(log.entries().empty());
    for (std::size_t i = 0; i < ApiLog::capacity; ++i) {
        log.append(entryWithPayload(std::to_string(i)));
    }
    ASSERT_EQ(log.entries().size(), ApiLog::capacity);
    EXPECT_EQ(log.entries().front().payload, "0");

    for (std::size_t i = ApiLog::capacity; i < 1000; ++i) {
        log.append(entryWithPayload(std::to_string(i)));
    }
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), ApiLog::capacity);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ASSERT_EQ(entries[i].payload, std::to_string(1000 - ApiLog::capacity + i));
    }
}

// The listener runs with no lock held and after its entry is stored: it can
// read the log and find the entry there.
TEST(ApiLog, ListenerSeesEachEntryAlreadyStored) {
    ApiLog* self = nullptr;
    std::vector<std::string> announced;
    ApiLog log([&](const ApiLogEntry& entry) {
        announced.push_back(entry.payload);
        const auto stored = self->entries();
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(stored.back(), entry);
    });
    self = &log;
    log.append(entryWithPayload("a"));
    log.recordNotification("b", "ACCOUNT");
    log.recordAgentLine(ApiLogEntry::Direction::request, "c", "conn", std::nullopt, std::nullopt, "ping");
    EXPECT_EQ(announced, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(ApiLog, RecordedEntriesDescribeTheirLine) {
    ApiLog log;
    log.recordAgentLine(ApiLogEntry::Direction::response, R"({"id":1})", "conn\xff", "ACCOUNT", "Label",
                        "tools/call");
    log.recordAgentLine(ApiLogEntry::Direction::request, "x", "conn", std::nullopt, std::nullopt,
                        std::nullopt);
    log.recordNotification("line", "ACC\xff");
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 3u);

    EXPECT_EQ(entries[0].direction, ApiLogEntry::Direction::response);
    EXPECT_EQ(entries[0].connectionId, "conn\xEF\xBF\xBD");
    EXPECT_EQ(entries[0].accountId, "ACCOUNT");
    EXPECT_EQ(entries[0].clientLabel, "Label");
    EXPECT_EQ(entries[0].method, "tools/call");
    EXPECT_EQ(entries[0].payload, R"({"id":1})");

    EXPECT_EQ(entries[1].direction, ApiLogEntry::Direction::request);
    EXPECT_FALSE(entries[1].accountId);
    EXPECT_FALSE(entries[1].clientLabel);
    EXPECT_FALSE(entries[1].method);

    EXPECT_EQ(entries[2].direction, ApiLogEntry::Direction::notification);
    EXPECT_EQ(entries[2].connectionId, "");
    EXPECT_EQ(entries[2].accountId, "ACC\xEF\xBF\xBD");
    EXPECT_FALSE(entries[2].clientLabel);
    EXPECT_EQ(entries[2].method, "notifications/message");
    EXPECT_EQ(entries[2].payload, "line");

    std::set<std::string> ids;
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.id.size(), 36u) << entry.id;
        ids.insert(entry.id);
        EXPECT_LE(entry.timestamp, std::chrono::system_clock::now());
    }
    EXPECT_EQ(ids.size(), entries.size());
}

TEST(ApiLog, TextsAreCutToTheBoundsWithTheMarkerAndMadeValid) {
    const std::string marker(Limits::cutMarker);
    const std::size_t markerCharacters = Utf8Text::graphemeCount(marker);
    std::string clusters;
    for (std::size_t i = 0; i < ApiLog::maxCharacters + 10; ++i) {
        clusters += "e\xCC\x81"; // one character of two code points
    }
    std::string hugeCluster = "a";
    while (hugeCluster.size() <= ApiLog::maxBytes) {
        hugeCluster += "\xCC\x81";
    }
    const std::string emoji = "\xF0\x9F\x98\x80"; // four bytes, one character
    std::string emojis;
    for (std::size_t i = 0; i < ApiLog::maxBytes; i += emoji.size()) {
        emojis += emoji;
    }
    struct Case {
        const char* name;
        std::string text;
        std::string bounded;
    };
    const std::size_t keptCharacters = ApiLog::maxCharacters - markerCharacters;
    const Case cases[] = {
        {"short", "short", "short"},
        {"exactly the limit", std::string(ApiLog::maxCharacters, 'x'),
         std::string(ApiLog::maxCharacters, 'x')},
        {"one over", std::string(ApiLog::maxCharacters + 1, 'x'), std::string(keptCharacters, 'x') + marker},
        {"clusters", clusters, clusters.substr(0, keptCharacters * 3) + marker},
        // Four-byte characters reach the character bound before the byte bound.
        {"four-byte characters", emojis, emojis.substr(0, keptCharacters * 4) + marker},
        {"one cluster beyond the byte bound", "ab" + hugeCluster, "ab" + marker},
        {"invalid UTF-8", "a\xff", "a\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        const std::string bounded = ApiLog::boundedText(c.text);
        EXPECT_EQ(bounded, c.bounded) << c.name;
        EXPECT_LE(bounded.size(), ApiLog::maxBytes) << c.name;
        EXPECT_LE(Utf8Text::graphemeCount(bounded), ApiLog::maxCharacters) << c.name;
        EXPECT_TRUE(Utf8Text::isValid(bounded)) << c.name;
    }

    // Bounds too small for the marker keep what of the marker fits.
    EXPECT_EQ(ApiLog::cutText("abcdef", 3, 100), Utf8Text::truncate(marker, 3, 100));
    EXPECT_EQ(ApiLog::cutText("abcdef", 100, 2), "");

    // Payloads are bounded by characters and bytes, methods by their own byte bound.
    ApiLog log;
    const std::string longText(ApiLog::maxCharacters * 2, 'm');
    log.recordAgentLine(ApiLogEntry::Direction::request, longText, "c", std::nullopt, std::nullopt, longText);
    log.recordNotification(longText, "A");
    for (const auto& entry : log.entries()) {
        EXPECT_EQ(entry.payload, std::string(keptCharacters, 'm') + marker);
    }
    EXPECT_EQ(log.entries()[0].method, std::string(ApiLog::maxMethodBytes - marker.size(), 'm') + marker);
}

TEST(ApiLog, ConcurrentRecordersStayWithinCapacity) {
    constexpr int threads = 4;
    constexpr int perThread = 250;
    std::atomic<int> announced{0};
    ApiLog log([&](const ApiLogEntry&) { announced.fetch_add(1); });
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&log, t] {
            for (int i = 0; i < perThread; ++i) {
                log.recordAgentLine(ApiLogEntry::Direction::request,
                                    std::to_string(t) + ":" + std::to_string(i), "c" + std::to_string(t),
                                    std::nullopt, std::nullopt, std::nullopt);
                EXPECT_LE(log.entries().size(), ApiLog::capacity);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(announced.load(), threads * perThread);
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), ApiLog::capacity);
    // Each thread's own entries keep their order.
    std::map<std::string, int> lastOfThread;
    for (const auto& entry : entries) {
        const auto colon = entry.payload.find(':');
        const std::string thread = entry.payload.substr(0, colon);
        const int index = std::stoi(entry.payload.substr(colon + 1));
        auto [it, inserted] = lastOfThread.emplace(thread, index);
        if (!inserted) {
            EXPECT_GT(index, it->second) << entry.payload;
            it->second = index;
        }
    }
}

} // namespace
} // namespace quorvane
