#pragma once

// The API log: the newest agent requests, responses and notifications, kept for
// the operator's snapshot and announced one by one as they are recorded.
//
// Ownership: the engine owns one instance; entries are copied in and out.
//
// Threading: every operation may be called from any thread. `mutex_` guards the
// entries and is held only to change or copy them; the listener runs after the
// entry is stored, on the recording thread, with no lock held. Two entries
// recorded at once may reach the listener in either order, but each reaches it
// after it is stored.

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Limits.h"
#include "common/Records.h"
#include "common/ThreadSafety.h"

namespace quorvane {

class ApiLog {
public:
    // Entries kept; the oldest go first.
    static constexpr std::size_t capacity = Limits::apiLogCapacity;
    // Bounds of one logged payload: grapheme clusters, and bytes.
    static constexpr std::size_t maxCharacters = Limits::apiLogPayloadCharacters;
    static constexpr std::size_t maxBytes = Limits::apiLogPayloadBytes;
    // Bound of one logged method, in bytes.
    static constexpr std::size_t maxMethodBytes = Limits::apiLogMethodBytes;

    // Told of every entry after it is stored. Must not record into this log.
    using Listener = std::function<void(const ApiLogEntry&)>;

    explicit ApiLog(Listener onRecorded = {});

    ApiLog(const ApiLog&) = delete;
    ApiLog& operator=(const ApiLog&) = delete;

    // `text` with invalid UTF-8 replaced, cut to at most maxCharacters grapheme
    // clusters and maxBytes bytes, so that every entry and every snapshot can be
    // encoded. A text that is cut ends in Limits::cutMarker, within the bounds.
    [[nodiscard]] static std::string boundedText(std::string_view text);

    // `text` with invalid UTF-8 replaced, whole when it holds at most
    // `maxCharacters` clusters and `maxBytes` bytes; otherwise its longest
    // prefix (cut between clusters) that, followed by Limits::cutMarker, stays
    // within both. Reads only as much of `text` as the result needs, plus one
    // character. Bounds too small for the marker give the marker's longest
    // prefix that fits.
    [[nodiscard]] static std::string cutText(std::string_view text, std::size_t maxCharacters,
                                             std::size_t maxBytes);

    // Records one request or response of the agent on `connectionId`, with the
    // account and client label the connection has at this moment (or none).
    void recordAgentLine(ApiLogEntry::Direction direction, std::string_view text,
                         const std::string& connectionId, std::optional<std::string> accountId,
                         std::optional<std::string> clientLabel, const std::optional<std::string>& method)
        QUORVANE_EXCLUDES(mutex_);

    // Records one notification line sent to the agents of `accountId` (without a
    // connection: it may have reached several or none).
    void recordNotification(std::string_view line, const std::string& accountId) QUORVANE_EXCLUDES(mutex_);

    // Stores `entry` as it is, drops the oldest beyond `capacity`, then tells
    // the listener.
    void append(ApiLogEntry entry) QUORVANE_EXCLUDES(mutex_);

    // The kept entries, oldest first.
    [[nodiscard]] std::vector<ApiLogEntry> entries() const QUORVANE_EXCLUDES(mutex_);

private:
    const Listener onRecorded_;
    mutable Mutex mutex_;
    std::deque<ApiLogEntry> entries_ QUORVANE_GUARDED_BY(mutex_); // oldest first
};

} // namespace quorvane
