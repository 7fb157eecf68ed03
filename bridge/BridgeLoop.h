#pragma once

// The bridge's main loop: one JSON-RPC line at a time from the agent to the
// host and the host's reply back, with reconnection, session replay, host
// bootstrap and an error reply when the host stays unreachable.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <unistd.h>

#include "bridge/BridgeOutput.h"
#include "bridge/HostConnection.h"
#include "bridge/LineReader.h"
#include "common/SessionReplayCache.h"

namespace quorvane {

using BridgeClock = std::chrono::steady_clock;

struct BridgeTiming {
    // How long one line may go on retrying before its request gets the error
    // reply (checked when a send fails).
    BridgeClock::duration lineDeadline = std::chrono::seconds(20);
    // Longest wait for one send.
    BridgeClock::duration sendTimeout = defaultSendTimeout;
    // Pause between giving a connection up and making the next one, except
    // right after the host was started (bootstrapHost waits until it answers).
    BridgeClock::duration retryDelay = std::chrono::milliseconds(400);
};

// What the loop talks to. Empty members get the program's own: standard
// input, a writer on standard output, note(), bootstrapHost() with that note,
// the steady clock and a real sleep. makeConnection is required.
struct BridgeSetup {
    int inputFd = STDIN_FILENO;
    std::size_t maxLineBytes = defaultMaxLineBytes;
    std::shared_ptr<StdoutWriter> writer;
    ConnectionFactory makeConnection;
    NoteFunction note;
    // Starts the host; must not wait past the deadline.
    std::function<void(BridgeClock::time_point deadline)> bootstrapHost;
    std::function<BridgeClock::time_point()> now;
    std::function<void(BridgeClock::duration)> sleep;
    BridgeTiming timing;
};

// One per process. The constructor makes the exported notification sink, the
// session replay cache, the reestablish flag and the first connection; nothing
// is sent before the agent's first line. run() and the destructor belong to
// one thread; pushes and connection handlers arrive on transport threads.
class BridgeLoop {
public:
    explicit BridgeLoop(BridgeSetup setup);

    BridgeLoop(const BridgeLoop&) = delete;
    BridgeLoop& operator=(const BridgeLoop&) = delete;

    // Serves the agent until the end of its input, or until standard output
    // can no longer be written. Returns without waiting for anything in
    // flight; the program then exits with status 0 without destroying this
    // object, so that a push still being delivered cannot hold it up.
    void run();

private:
    void handleLine(const std::string& line);
    void replaceConnection();
    [[nodiscard]] SendOutcome sendLine(const std::string& line, const ReplyDelivery& deliver = {});

    BridgeSetup setup;
    std::shared_ptr<BridgeNotificationSink> sink;
    SessionReplayCache cache;
    std::shared_ptr<Flag> reestablish = std::make_shared<Flag>();
    std::unique_ptr<HostConnection> connection;
};

} // namespace quorvane
