#include "bridge/BridgeLoop.h"

#include <csignal>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bridge/Bootstrap.h"
#include "bridge/BridgeMessages.h"
#include "bridge/tests/BridgeTestSupport.h"
#include "bridge/tests/FakeHost.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::FakeHost;
using test::Sent;
using Lines = std::vector<std::string>;

const std::string initializeRequest =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"clientInfo":{"name":"agent","version":"1"}}})";
const std::string initializeAgain =
    R"({"jsonrpc":"2.0","id":9,"method":"initialize","params":{"clientInfo":{"name":"agent","version":"2"}}})";
const std::string loginRequest =
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"login","arguments":{"accountId":"A1","key":"k1"}}})";
const std::string signUpRequest =
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"signUp","arguments":{"key":"chosen"}}})";
const std::string balance =
    R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"getBalance","arguments":{}}})";
const std::string notification = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";

const std::string toolOk = R"({"jsonrpc":"2.0","id":2,"result":{"content":[],"isError":false}})";
const std::string signedUp =
    R"({"jsonrpc":"2.0","id":2,"result":{"content":[],"structuredContent":{"accountId":"NEW-ACCOUNT"},"isError":false}})";
const std::string notAuthenticated =
    R"({"jsonrpc":"2.0","id":3,"result":{"content":[],"isError":true,"structuredContent":{"error":"not_authenticated"}}})";

std::string input(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

std::string unavailable(const std::string& idText) {
    return R"({"jsonrpc":"2.0","id":)" + idText +
           R"(,"error":{"code":-32000,"message":"Quorvane host unavailable"}})";
}

class BridgeLoopTest : public ::testing::Test {
protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }

    // Runs a bridge over the input and answers what it wrote to standard
    // output. Time is the fake clock below: only sleeps and the script move it.
    Lines runBridge(const std::string& inputBytes, int outputFd = -1) {
        test::writeFile(dir.file("in"), inputBytes);
        const int in = ::open(dir.file("in").c_str(), O_RDONLY | O_CLOEXEC);
        const int out = outputFd >= 0
                            ? outputFd
                            : ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(in, 0);
        EXPECT_GE(out, 0);

        BridgeSetup setup;
        setup.inputFd = in;
        setup.maxLineBytes = maxLineBytes;
        setup.writer = std::make_shared<StdoutWriter>(out);
        setup.makeConnection = host->factory();
        setup.note = [this](std::string_view message) {
            std::lock_guard guard(notesLock);
            notes.emplace_back(message);
        };
        setup.bootstrapHost = bootstrap ? bootstrap : [this](BridgeClock::time_point deadline) {
            bootstraps.push_back(deadline);
        };
        setup.now = [this] { return clock; };
        setup.sleep = [this](BridgeClock::duration pause) {
            sleeps.push_back(pause);
            clock += pause;
        };
        setup.timing = timing;
        {
            BridgeLoop loop(std::move(setup));
            loop.run();
        }
        ::close(in);
        if (outputFd >= 0) {
            return {};
        }
        ::close(out);
        return test::splitLines(test::readFile(dir.file("out")));
    }

    Lines notesMatching(const std::string& prefix) {
        std::lock_guard guard(notesLock);
        Lines matching;
        for (const std::string& n : notes) {
            if (n.rfind(prefix, 0) == 0) {
                matching.push_back(n);
            }
        }
        return matching;
    }

    // A host that knows the session messages and echoes everything else.
    static Answer sessionAnswer(const std::string& line) {
        if (line == loginRequest) {
            return Answer::reply(toolOk);
        }
        if (line == signUpRequest) {
            return Answer::reply(signedUp);
        }
        if (line == notification) {
            return Answer::noReply();
        }
        return Answer::reply("re:" + line);
    }

    test::TempDir dir;
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    std::size_t maxLineBytes = defaultMaxLineBytes;
    BridgeTiming timing;
    std::function<void(BridgeClock::time_point)> bootstrap;

    BridgeClock::time_point clock = BridgeClock::time_point{} + 1000s;
    std::vector<BridgeClock::time_point> bootstraps;
    std::vector<BridgeClock::duration> sleeps;
    std::mutex notesLock;
    Lines notes;
};

TEST_F(BridgeLoopTest, RelaysEachLineAndWritesOnlyItsReply) {
    host->script = sessionAnswer;
    // Empty lines (also "\r\n" alone) are skipped; blanks are a line; the last
    // line needs no terminator; bad bytes reach the host as U+FFFD.
    const Lines out =
        runBridge("A\r\n\n\r\n   \n" + notification + "\nbad \xff\x80 bytes\r\n" + balance + "\r\nlast");

    EXPECT_EQ(host->sentLines(),
              (Lines{"A", "   ", notification, "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes", balance, "last"}));
    EXPECT_EQ(out,
              (Lines{"re:A", "re:   ", "re:bad \xEF\xBF\xBD\xEF\xBF\xBD bytes", "re:" + balance, "re:last"}));
    EXPECT_EQ(host->connectionsMade(), 1);
    EXPECT_TRUE(bootstraps.empty());
    EXPECT_TRUE(notes.empty());
}

TEST_F(BridgeLoopTest, NothingIsSentBeforeTheFirstLine) {
    EXPECT_TRUE(runBridge("\n\r\n\n").empty());
    EXPECT_EQ(host->connectionsMade(), 1); // made at start, never used
    EXPECT_TRUE(host->sent().empty());
}

TEST_F(BridgeLoopTest, ReplaysTheSessionBeforeTheNextLineOnceTheFlagIsSet) {
    struct Case {
        std::string name;
        Lines lines;  // the flag is set while the host answers the second one
        Lines wire;   // everything the host received
        Lines output; // what the agent saw
    };
    const std::string madeUpLogin =
        R"({"id":"qvn-replay-login","jsonrpc":"2.0","method":"tools\/call","params":{"arguments":{"accountId":"NEW-ACCOUNT","key":"chosen"},"name":"login"}})";
    const Case cases[] = {
        {"login",
         {initializeRequest, loginRequest, balance},
         {initializeRequest, loginRequest, initializeRequest, loginRequest, balance},
         {"re:" + initializeRequest, toolOk, "re:" + balance}},
        {"signUp remembered as a login",
         {initializeRequest, signUpRequest, balance},
         {initializeRequest, signUpRequest, initializeRequest, madeUpLogin, balance},
         {"re:" + initializeRequest, signedUp, "re:" + balance}},
        // The line being sent is not replayed in front of itself.
        {"current line is the initialize",
         {initializeRequest, loginRequest, initializeAgain},
         {initializeRequest, loginRequest, loginRequest, initializeAgain},
         {"re:" + initializeRequest, toolOk, "re:" + initializeAgain}},
        {"nothing remembered", {"x", "y", "z"}, {"x", "y", "z"}, {"re:x", "re:y", "re:z"}},
    };
    for (const Case& c : cases) {
        host = std::make_shared<FakeHost>();
        int count = 0;
        host->script = [&](const std::string& line) {
            if (++count == 2) {
                host->reestablishFlag()->set(); // the connection was interrupted meanwhile
            }
            return sessionAnswer(line);
        };
        const Lines out = runBridge(input(c.lines));
        EXPECT_EQ(host->sentLines(), c.wire) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
        EXPECT_EQ(host->connectionsMade(), 1) << c.name; // interruption keeps the connection
    }
}

TEST_F(BridgeLoopTest, NotAuthenticatedIsRetriedOnceAfterAReplay) {
    struct Case {
        std::string name;
        Lines lines;
        int notAuthenticatedAnswers; // how many getBalance calls get the not-authenticated result
        Lines wire;
        Lines output;
    };
    const Case cases[] = {
        {"second answer written whatever it is",
         {initializeRequest, loginRequest, balance},
         99,
         {initializeRequest, loginRequest, balance, initializeRequest, loginRequest, balance},
         {"re:" + initializeRequest, toolOk, notAuthenticated}},
        {"retry succeeds",
         {initializeRequest, balance},
         1,
         {initializeRequest, balance, initializeRequest, balance},
         {"re:" + initializeRequest, "re:" + balance}},
        // A login alone cannot rebuild a session: no retry.
        {"nothing to rebuild",
         {loginRequest, balance},
         99,
         {loginRequest, balance},
         {toolOk, notAuthenticated}},
        {"once per line",
         {initializeRequest, balance, balance},
         99,
         {initializeRequest, balance, initializeRequest, balance, balance, initializeRequest, balance},
         {"re:" + initializeRequest, notAuthenticated, notAuthenticated}},
    };
    for (const Case& c : cases) {
        host = std::make_shared<FakeHost>();
        int balanceCalls = 0;
        host->script = [&](const std::string& line) {
            if (line == balance && ++balanceCalls <= c.notAuthenticatedAnswers) {
                return Answer::reply(notAuthenticated);
            }
            return sessionAnswer(line);
        };
        const Lines out = runBridge(input(c.lines));
        EXPECT_EQ(host->sentLines(), c.wire) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
        EXPECT_EQ(host->connectionsMade(), 1) << c.name;
        EXPECT_TRUE(bootstraps.empty()) << c.name;
    }
}

TEST_F(BridgeLoopTest, FailedSendsReconnectBootstrapOnceAndReplay) {
    int balanceFailures = 0;
    host->script = [&](const std::string& line) {
        if (line == balance && ++balanceFailures <= 3) {
            clock += 1s;
            return Answer::error("the Quorvane host is not running");
        }
        return sessionAnswer(line);
    };
    const BridgeClock::time_point lineStart = clock;
    const Lines out = runBridge(input({initializeRequest, balance, "next"}));

    // Each failure gives the connection up and makes a new one; the host is
    // started once for the line; every new connection first gets the replay.
    EXPECT_EQ(host->sent(), (std::vector<Sent>{{1, initializeRequest},
                                               {1, balance},
                                               {2, initializeRequest},
                                               {2, balance},
                                               {3, initializeRequest},
                                               {3, balance},
                                               {4, initializeRequest},
                                               {4, balance},
                                               {4, "next"}}));
    EXPECT_EQ(out, (Lines{"re:" + initializeRequest, "re:" + balance, "re:next"}));
    EXPECT_EQ(host->connectionsMade(), 4);
    EXPECT_EQ(host->invalidations(), 3);
    EXPECT_EQ(bootstraps, (std::vector<BridgeClock::time_point>{lineStart + 20s}));
    // No pause right after the host was started; one before each later retry.
    EXPECT_EQ(sleeps, (std::vector<BridgeClock::duration>(2, 400ms)));
    EXPECT_EQ(notesMatching(""), Lines(3, "transport error: the Quorvane host is not running"));
}

// A live host that refuses a call (say its reply cannot be carried) has
// answered: the line is neither sent again nor a reason to start a host.
TEST_F(BridgeLoopTest, ARefusalByTheHostIsAnsweredAtOnce) {
    const std::string refusal = std::string(hostRefusedCallPrefix).append("the reply is too large");
    host->script = [&](const std::string& line) {
        if (line == balance) {
            return Answer::error(refusal);
        }
        return sessionAnswer(line);
    };
    const Lines out = runBridge(input({initializeRequest, balance, notification, "next"}));
    EXPECT_EQ(
        out,
        (Lines{
            "re:" + initializeRequest,
            R"({"jsonrpc":"2.0","id":3,"error":{"code":-32000,"message":"Quorvane host could not answer this request"}})",
            "re:next"}));
    EXPECT_EQ(host->sentLines(), (Lines{initializeRequest, balance, notification, "next"}));
    EXPECT_EQ(host->connectionsMade(), 1);
    EXPECT_TRUE(bootstraps.empty());
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(BridgeLoopTest, AnUnreachableHostGivesEachRequestItsErrorLine) {
    host->script = [&](const std::string&) {
        clock += 1s;
        return Answer::error("down");
    };
    const Lines out = runBridge(input({
        R"({"jsonrpc":"2.0","id":7,"method":"ping"})",
        R"({"jsonrpc":"2.0","id":"req-1","method":"ping"})",
        R"({"jsonrpc":"2.0","id":null,"method":"ping"})",
        R"({"jsonrpc":"2.0","id":1.50,"method":"ping"})",
        notification,
        "not json",
    }));
    EXPECT_EQ(out,
              (Lines{unavailable("7"), unavailable("\"req-1\""), unavailable("null"), unavailable("1.50")}));
    // The host is started once per line, never more.
    EXPECT_EQ(bootstraps.size(), 6u);
    EXPECT_GT(host->sent().size(), 6u * 10);
    EXPECT_EQ(out[0],
              R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"Quorvane host unavailable"}})");
}

TEST_F(BridgeLoopTest, TheDeadlineEndsTheLineAtTheFirstFailureAtOrAfterIt) {
    host->script = [](const std::string&) { return Answer::refuse(); };
    const Lines out = runBridge(input({R"({"id":1})"}));
    // Sends at 0, again at once after the bootstrap, then 0.4, ..., 20.0
    // seconds: the one at exactly 20 s is the last.
    EXPECT_EQ(sleeps.size(), 50u);
    EXPECT_EQ(host->sent().size(), 52u);
    EXPECT_EQ(out, Lines{unavailable("1")});
    EXPECT_EQ(notesMatching("could not obtain remote proxy").size(), 52u);
}

TEST_F(BridgeLoopTest, MissingRegistrationProgramIsNotedOncePerLine) {
    test::writeFile(dir.file("quorvane-bridge"), "#!/bin/sh\n", 0755); // alone in its folder
    bootstrap = [this](BridgeClock::time_point deadline) {
        bootstrapHost(
            deadline, [this](std::string_view message) { notes.emplace_back(message); },
            dir.file("quorvane-bridge"));
    };
    host->script = [&](const std::string&) {
        clock += 3s;
        return Answer::error("down");
    };
    const Lines out = runBridge(input({R"({"id":7})", notification}));
    EXPECT_EQ(out, Lines{unavailable("7")});
    EXPECT_EQ(notesMatching("cannot locate enclosing app bundle for bootstrap").size(), 2u);
}

TEST_F(BridgeLoopTest, ASendThatTimesOutIsAFailure) {
    host->script = [](const std::string&) { return Answer::silent(); };
    timing.sendTimeout = 20ms;
    timing.lineDeadline = 0s;
    const Lines out = runBridge(input({R"({"id":"t"})"}));
    EXPECT_EQ(out, Lines{unavailable("\"t\"")});
    EXPECT_EQ(host->cancellations(), 1); // a late reply is dropped
    EXPECT_TRUE(bootstraps.empty());
}

TEST_F(BridgeLoopTest, AnOversizedLineGetsAParseErrorAndServingGoesOn) {
    maxLineBytes = 32;
    host->script = sessionAnswer;
    const Lines out = runBridge(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{}})"
                                "\n{\"id\":5}\n");
    EXPECT_EQ(out, (Lines{std::string(oversizedLineReply), "re:{\"id\":5}"}));
    EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})");
    EXPECT_EQ(host->sentLines(), Lines{"{\"id\":5}"});
    EXPECT_EQ(notesMatching(""), Lines{"discarded an input line longer than 32 bytes"});
}

TEST_F(BridgeLoopTest, PushesGoToStandardOutputBetweenReplies) {
    host->script = [&](const std::string& line) {
        host->exported()->deliverAgentNotification("push:" + line);
        host->exported()->controlEvent("{}");
        return sessionAnswer(line);
    };
    EXPECT_EQ(runBridge("a\nb\n"), (Lines{"push:a", "re:a", "push:b", "re:b"}));
}

TEST_F(BridgeLoopTest, RepliesFromTransportThreadsAreAwaited) {
    host->answerOnOtherThread = true;
    host->script = sessionAnswer;
    EXPECT_EQ(runBridge(input({initializeRequest, notification, balance})),
              (Lines{"re:" + initializeRequest, "re:" + balance}));
}

TEST_F(BridgeLoopTest, AClosedStandardOutputEndsTheBridge) {
    test::Pipe pipe;
    pipe.closeRead();
    host->script = sessionAnswer;
    runBridge(input({"one", "two", "three"}), pipe.write);
    EXPECT_EQ(host->sentLines(), Lines{"one"});
}

} // namespace
} // namespace quorvane
