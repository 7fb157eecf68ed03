#include "bridge/BridgeLoop.h"

#include <thread>
#include <utility>

#include "bridge/Bootstrap.h"
#include "bridge/BridgeMessages.h"

namespace quorvane {

BridgeLoop::BridgeLoop(BridgeSetup configured) : setup(std::move(configured)) {
    if (!setup.writer) {
        setup.writer = std::make_shared<StdoutWriter>();
    }
    if (!setup.note) {
        setup.note = [](std::string_view message) { note(message); };
    }
    if (!setup.bootstrapHost) {
        setup.bootstrapHost = [note = setup.note](BridgeClock::time_point deadline) {
            quorvane::bootstrapHost(deadline, note);
        };
    }
    if (!setup.now) {
        setup.now = [] { return BridgeClock::now(); };
    }
    if (!setup.sleep) {
        setup.sleep = [](BridgeClock::duration pause) { std::this_thread::sleep_for(pause); };
    }
    sink = std::make_shared<BridgeNotificationSink>(setup.writer);
    connection = setup.makeConnection ? setup.makeConnection(sink, reestablish) : nullptr;
}

void BridgeLoop::run() {
    LineReader reader(setup.inputFd, setup.maxLineBytes);
    while (!setup.writer->broken()) {
        InputLine input = reader.next();
        switch (input.kind) {
        case InputLine::Kind::end:
            return;
        case InputLine::Kind::oversized:
            setup.note("discarded an input line longer than " + std::to_string(setup.maxLineBytes) +
                       " bytes");
            setup.writer->writeLine(oversizedLineReply);
            break;
        case InputLine::Kind::line:
            if (!input.text.empty()) {
                handleLine(input.text);
            }
            break;
        }
    }
}

SendOutcome BridgeLoop::sendLine(const std::string& line, const ReplyDelivery& deliver) {
    return send(line, connection.get(), setup.note, setup.timing.sendTimeout, deliver);
}

void BridgeLoop::replaceConnection() {
    connection.reset(); // the old one goes first: at most one is live
    connection = setup.makeConnection ? setup.makeConnection(sink, reestablish) : nullptr;
}

void BridgeLoop::handleLine(const std::string& line) {
    cache.observeRequest(line);
    // Decided once per line: whether its reply can matter to the cache at all.
    const SessionReplayCache::ReplyInterest interest = SessionReplayCache::interestIn(line);
    const BridgeClock::time_point deadline = setup.now() + setup.timing.lineDeadline;
    bool bootstrapped = false;
    bool replayedAuth = false;
    // A reply saying the host lost the login: the session is rebuilt, once per line.
    const auto asksForRebuild = [&](const std::string& reply) {
        return !replayedAuth && cache.canReestablish() && isNotAuthenticated(reply);
    };
    const auto answerAgent = [&](const std::string& reply) {
        cache.observeResponse(line, interest, reply);
        setup.writer->writeLine(reply);
    };
    // The agent's reply goes out from the thread that received it, unless
    // there is none or the session must be rebuilt first.
    const ReplyDelivery deliver = [&](const std::optional<std::string>& reply) {
        if (!reply || asksForRebuild(*reply)) {
            return false;
        }
        answerAgent(*reply);
        return true;
    };

    for (;;) {
        if (reestablish->take()) {
            // The replies rebuild the host's side of the session; the agent
            // never sees them and the cache does not look at them.
            for (const std::string& replay : cache.replayLines(line)) {
                (void)sendLine(replay);
            }
        }

        const SendOutcome outcome = sendLine(line, deliver);
        if (const SendOutcome::Reply* reply = outcome.replied()) {
            if (reply->delivered || !reply->text) {
                return; // answered already, or the host had nothing to answer
            }
            if (asksForRebuild(*reply->text)) {
                // Rebuild the session and ask once more.
                reestablish->set();
                replayedAuth = true;
                continue;
            }
            answerAgent(*reply->text); // the delivery failed before handing it on
            return;
        }

        if (outcome.isRefusal()) {
            // A live host's definitive answer: neither retried nor a reason to start a host.
            if (const std::optional<RequestId> id = requestId(line)) {
                setup.writer->writeLine(errorLine(*id, hostRefusedMessage));
            }
            return;
        }
        if (setup.now() >= deadline) {
            if (const std::optional<RequestId> id = requestId(line)) {
                setup.writer->writeLine(errorLine(*id, hostUnavailableMessage));
            }
            return;
        }
        if (connection) {
            connection->invalidate();
        }
        if (!bootstrapped) {
            // The registration run returns once the host accepts connections:
            // the retry goes at once. Only a host still absent then is waited for.
            setup.bootstrapHost(deadline);
        } else {
            setup.sleep(setup.timing.retryDelay);
        }
        replaceConnection();
        bootstrapped = true;
        reestablish->set();
    }
}

} // namespace quorvane
