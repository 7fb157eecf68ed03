#pragma once

// What the bridge writes: protocol lines on standard output (StdoutWriter,
// shared by the main loop and the pushes that arrive on transport threads) and
// diagnostic lines on standard error (note).

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <unistd.h>

#include "common/ControlProtocol.h"
#include "common/ThreadSafety.h"

namespace quorvane {

// Writes whole lines to one file descriptor. One per process.
//
// Each line goes out with its line feed in one write under the lock, so lines
// written from different threads never interleave. The first write that fails
// (the reader has gone, or any other error) marks the writer broken: onBroken
// runs once, on the thread that found out, outside the lock, and every later
// line is dropped. A broken writer never raises a signal (the program ignores
// SIGPIPE) and never throws. Thread-safe. The descriptor is not owned.
class StdoutWriter {
public:
    explicit StdoutWriter(int fd = STDOUT_FILENO, std::function<void()> onBroken = {});

    StdoutWriter(const StdoutWriter&) = delete;
    StdoutWriter& operator=(const StdoutWriter&) = delete;

    // Writes line + "\n". False when the line was not written completely (the
    // writer is then broken).
    bool writeLine(std::string_view line) QUORVANE_EXCLUDES(lock);

    [[nodiscard]] bool broken() const;

private:
    mutable Mutex lock;
    const int handle;
    bool broken_ QUORVANE_GUARDED_BY(lock) = false;
    std::function<void()> onBroken_ QUORVANE_GUARDED_BY(lock);
};

// The object the bridge exports on its connection: pushed agent notifications
// go to standard output as they come; control events are not for bridges and
// are ignored. Called on transport threads.
class BridgeNotificationSink final : public QuorvaneClientProtocol {
public:
    explicit BridgeNotificationSink(std::shared_ptr<StdoutWriter> writer) : writer(std::move(writer)) {}

    void deliverAgentNotification(const std::string& line) override;
    void controlEvent(const std::string& json) override;

private:
    std::shared_ptr<StdoutWriter> writer;
};

// Receives the bridge's diagnostic messages (without prefix or line feed).
using NoteFunction = std::function<void(std::string_view message)>;

// Writes "quorvane bridge: " + message + "\n" to standard error in one write,
// without the writer's lock. A failing write is ignored. Thread-safe.
void note(std::string_view message);

// The same line for any descriptor (the text note() writes).
[[nodiscard]] std::string noteText(std::string_view message);

} // namespace quorvane
