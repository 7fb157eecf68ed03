#pragma once

// A scripted host for the bridge's unit tests: every connection made through
// its factory records the lines sent over it and answers them as the script
// says.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/HostConnection.h"

namespace quorvane::test {

struct Answer {
    enum class Kind {
        reply,   // the reply callback with `text`
        noReply, // the reply callback without text
        error,   // the error callback with `text`
        silent,  // neither, until cancelled
        refuse,  // startCall answers nullopt
    };
    Kind kind = Kind::reply;
    std::string text;

    static Answer reply(std::string text) { return {Kind::reply, std::move(text)}; }
    static Answer noReply() { return {Kind::noReply, {}}; }
    static Answer error(std::string text) { return {Kind::error, std::move(text)}; }
    static Answer silent() { return {Kind::silent, {}}; }
    static Answer refuse() { return {Kind::refuse, {}}; }
};

struct Sent {
    int connection; // 1 for the first connection made
    std::string line;
    bool operator==(const Sent&) const = default;
};

class FakeHost : public std::enable_shared_from_this<FakeHost> {
public:
    // Decides the answer to each line; runs on the sending thread. The
    // default replies "re:" + line.
    std::function<Answer(const std::string& line)> script = [](const std::string& line) {
        return Answer::reply("re:" + line);
    };
    // Answers on a thread of its own instead of inside startCall.
    bool answerOnOtherThread = false;
    // When set, a silent call's reply handler is kept here, to be called by
    // the test at any time: a connection that answers even after the call
    // was given up.
    std::shared_ptr<HostConnection::ReplyHandler> keepSilentHandler;

    FakeHost() = default;
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;
    ~FakeHost(); // joins the answer threads

    [[nodiscard]] ConnectionFactory factory();

    [[nodiscard]] std::vector<Sent> sent() const;
    [[nodiscard]] std::vector<std::string> sentLines() const;
    [[nodiscard]] int connectionsMade() const;
    [[nodiscard]] int invalidations() const;
    [[nodiscard]] int cancellations() const;

    // What the last connection was given by the bridge.
    [[nodiscard]] std::shared_ptr<Flag> reestablishFlag() const;
    [[nodiscard]] std::shared_ptr<QuorvaneClientProtocol> exported() const;

    class Connection;

private:
    friend class Connection;
    mutable std::mutex lock;
    std::vector<Sent> sent_;
    int connections_ = 0;
    int invalidations_ = 0;
    int cancellations_ = 0;
    std::shared_ptr<Flag> flag_;
    std::shared_ptr<QuorvaneClientProtocol> exported_;
    std::vector<std::thread> answerThreads_;
};

} // namespace quorvane::test
