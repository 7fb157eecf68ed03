#include "host/core/ApiLog.h"

#include <chrono>
#include <utility>

#include "common/Utf8Text.h"
#include "common/Uuid.h"

namespace quorvane {

ApiLog::ApiLog(Listener onRecorded) : onRecorded_(std::move(onRecorded)) {
}

std::string ApiLog::boundedText(std::string_view text) {
    return cutText(text, maxCharacters, maxBytes);
}

std::string ApiLog::cutText(std::string_view text, std::size_t maxCharacters, std::size_t maxBytes) {
    std::string kept = Utf8Text::truncate(text, maxCharacters, maxBytes);
    // Nothing was left out exactly when the kept text is the whole (sanitized) text.
    const std::size_t wholeBytes = Utf8Text::isValid(text) ? text.size() : Utf8Text::sanitize(text).size();
    if (kept.size() == wholeBytes) {
        return kept;
    }
    static const std::size_t markerCharacters = Utf8Text::graphemeCount(Limits::cutMarker);
    if (maxCharacters < markerCharacters || maxBytes < Limits::cutMarker.size()) {
        return Utf8Text::truncate(Limits::cutMarker, maxCharacters, maxBytes);
    }
    kept = Utf8Text::truncate(text, maxCharacters - markerCharacters, maxBytes - Limits::cutMarker.size());
    kept += Limits::cutMarker;
    return kept;
}

void ApiLog::recordAgentLine(ApiLogEntry::Direction direction, std::string_view text,
                             const std::string& connectionId, std::optional<std::string> accountId,
                             std::optional<std::string> clientLabel,
                             const std::optional<std::string>& method) {
    ApiLogEntry entry;
    entry.id = newUuidString();
    entry.connectionId = Utf8Text::sanitize(connectionId);
    entry.accountId = std::move(accountId);
    entry.clientLabel = std::move(clientLabel);
    entry.direction = direction;
    if (method) {
        entry.method = cutText(*method, maxMethodBytes, maxMethodBytes);
    }
    entry.payload = boundedText(text);
    entry.timestamp = std::chrono::system_clock::now();
    append(std::move(entry));
}

void ApiLog::recordNotification(std::string_view line, const std::string& accountId) {
    ApiLogEntry entry;
    entry.id = newUuidString();
    entry.connectionId = "";
    entry.accountId = Utf8Text::sanitize(accountId);
    entry.direction = ApiLogEntry::Direction::notification;
    entry.method = "notifications/message";
    entry.payload = boundedText(line);
    entry.timestamp = std::chrono::system_clock::now();
    append(std::move(entry));
}

void ApiLog::append(ApiLogEntry entry) {
    std::optional<ApiLogEntry> announced;
    if (onRecorded_) {
        announced = entry;
    }
    {
        MutexLock guard(mutex_);
        entries_.push_back(std::move(entry));
        while (entries_.size() > capacity) {
            entries_.pop_front();
        }
    }
    if (announced) {
        onRecorded_(*announced);
    }
}

std::vector<ApiLogEntry> ApiLog::entries() const {
    MutexLock guard(mutex_);
    return {entries_.begin(), entries_.end()};
}

} // namespace quorvane
