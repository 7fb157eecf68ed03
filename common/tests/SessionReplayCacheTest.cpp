#include "common/SessionReplayCache.h"

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/Json.h"

namespace quorvane {
namespace {

const std::string initializeRequest =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"clientInfo":{"name":"agent","version":"1"}}})";
const std::string initializeAgain =
    R"({"jsonrpc":"2.0","id":7,"method":"initialize","params":{"clientInfo":{"name":"agent","version":"2"}}})";
const std::string loginRequest =
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"login","arguments":{"accountId":"A1","key":"secret"}}})";
const std::string otherLogin =
    R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"login","arguments":{"accountId":"B2","key":"other"}}})";

const std::string toolSuccess =
    R"({"jsonrpc":"2.0","id":2,"result":{"content":[{"type":"text","text":"ok"}],"isError":false}})";
const std::string toolFailure =
    R"({"jsonrpc":"2.0","id":2,"result":{"content":[{"type":"text","text":"no"}],"isError":true}})";
const std::string rpcError =
    R"({"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"Method not found"}})";

std::string signUpRequest(const std::string& argumentsJson) {
    return R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"signUp","arguments":)" +
           argumentsJson + "}}";
}

std::string signUpReply(const std::string& structuredContentJson) {
    return R"({"jsonrpc":"2.0","id":4,"result":{"content":[],"structuredContent":)" + structuredContentJson +
           R"(,"isError":false}})";
}

const std::string sampleAccountId = "0F8C2E4A-1B3D-4E5F-8A9B-C0D1E2F3A4B5";

using Lines = std::vector<std::string>;

TEST(SessionReplayCacheTest, StartsEmpty) {
    SessionReplayCache cache;
    EXPECT_FALSE(cache.canReestablish());
    EXPECT_EQ(cache.replayLines(""), Lines{});
}

TEST(SessionReplayCacheTest, OnlyInitializeRequestsAreRememberedOnTheWayIn) {
    SessionReplayCache cache;
    cache.observeRequest(initializeRequest);
    EXPECT_TRUE(cache.canReestablish());
    EXPECT_EQ(cache.replayLines(""), Lines{initializeRequest});

    // Neither a login request (not yet answered) nor other methods are kept.
    cache.observeRequest(loginRequest);
    cache.observeRequest(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    cache.observeRequest(R"({"jsonrpc":"2.0","id":9,"method":"Initialize"})");
    EXPECT_EQ(cache.replayLines(""), Lines{initializeRequest});

    // A second initialize replaces the first, verbatim.
    cache.observeRequest(initializeAgain);
    EXPECT_EQ(cache.replayLines(""), Lines{initializeAgain});
}

TEST(SessionReplayCacheTest, LinesThatAreNotRequestsChangeNothing) {
    const std::vector<std::string> junk = {
        "",
        "not json",
        R"({"jsonrpc":"2.0","id":1,"method":"initialize")", // cut off
        R"([{"jsonrpc":"2.0","id":1,"method":"initialize"}])",
        R"({"jsonrpc":"2.0","id":1,"method":5})",
        R"({"jsonrpc":"2.0","id":1})",
        R"("initialize")",
        "{\"method\":\"initialize\",\"x\":\"\xFF\"}", // invalid UTF-8
        std::string(100'000, '[') + std::string(100'000, ']'),
    };
    for (const auto& line : junk) {
        SessionReplayCache cache;
        cache.observeRequest(initializeRequest);
        cache.observeResponse(loginRequest, toolSuccess);
        cache.observeRequest(line);
        cache.observeResponse(line, toolSuccess);
        cache.observeResponse(line, signUpReply(R"({"accountId":"X"})"));
        EXPECT_EQ(cache.replayLines(""), (Lines{initializeRequest, loginRequest})) << line.substr(0, 60);
    }
}

TEST(SessionReplayCacheTest, LoginIsRememberedOnlyWhenItsReplySucceeded) {
    struct Case {
        const char* what;
        std::string request;
        std::optional<std::string> reply;
        bool remembered;
    };
    const std::vector<Case> cases = {
        {"tool result", loginRequest, toolSuccess, true},
        {"tool result without isError", loginRequest, R"({"jsonrpc":"2.0","id":2,"result":{"content":[]}})",
         true},
        {"tool error", loginRequest, toolFailure, false},
        {"JSON-RPC error", loginRequest, rpcError, false},
        {"no reply", loginRequest, std::nullopt, false},
        {"reply not JSON", loginRequest, std::string("{\"result\":"), false},
        {"result not an object", loginRequest, std::string(R"({"jsonrpc":"2.0","id":2,"result":true})"),
         false},
        {"not a tools/call", R"({"jsonrpc":"2.0","id":2,"method":"login","params":{"name":"login"}})",
         toolSuccess, false},
        {"tool name not a string", R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":1}})",
         toolSuccess, false},
        {"params not an object", R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":"login"})",
         toolSuccess, false},
        {"another tool",
         R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"getBalance","arguments":{}}})",
         toolSuccess, false},
    };
    for (const auto& c : cases) {
        SessionReplayCache cache;
        cache.observeResponse(otherLogin, toolSuccess);
        cache.observeResponse(c.request, c.reply);
        // A login that did not succeed leaves the earlier one in place.
        EXPECT_EQ(cache.replayLines(""), Lines{c.remembered ? c.request : otherLogin}) << c.what;
        // A login alone does not rebuild a session.
        EXPECT_FALSE(cache.canReestablish()) << c.what;
    }
}

// Lines and replies are screened for the words that matter before anything is
// parsed; words spelled with \u escapes must still count, as parsing them would.
TEST(SessionReplayCacheTest, EscapedMethodAndToolNamesStillCount) {
    using Kind = SessionReplayCache::ReplyInterest::Kind;
    const std::string escapedInitialize =
        R"({"jsonrpc":"2.0","id":1,"method":"\u0069nitialize","params":{}})";
    const std::string escapedLogin =
        R"({"jsonrpc":"2.0","id":2,"method":"tools\/call","params":{"name":"\u006cogin","arguments":{"accountId":"A","key":"k"}}})";
    const std::string escapedSignUp =
        R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"sign\u0055p","arguments":{"key":"chosen"}}})";

    SessionReplayCache cache;
    cache.observeRequest(escapedInitialize);
    EXPECT_EQ(cache.replayLines(""), Lines{escapedInitialize});

    struct Case {
        const char* what;
        std::string request;
        Kind kind;
        std::string key;
    };
    const Case cases[] = {
        {"escaped login", escapedLogin, Kind::login, ""},
        {"escaped signUp", escapedSignUp, Kind::signUp, "chosen"},
        {"plain login", loginRequest, Kind::login, ""},
        {"signUp with a numeric key", signUpRequest(R"({"key":5})"), Kind::none, ""},
        {"another tool", R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"getBalance"}})",
         Kind::none, ""},
        {"login named outside a tools/call",
         R"({"jsonrpc":"2.0","id":6,"method":"login","params":{"name":"login"}})", Kind::none, ""},
        {"the word only in an argument",
         R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"getTransactions","arguments":{"note":"login"}}})",
         Kind::none, ""},
    };
    for (const Case& c : cases) {
        const SessionReplayCache::ReplyInterest interest = SessionReplayCache::interestIn(c.request);
        EXPECT_EQ(interest.kind, c.kind) << c.what;
        EXPECT_EQ(interest.signUpKey, c.key) << c.what;
    }

    cache.observeResponse(escapedLogin, toolSuccess);
    EXPECT_EQ(cache.replayLines(""), (Lines{escapedInitialize, escapedLogin}));
    cache.observeResponse(escapedSignUp, SessionReplayCache::interestIn(escapedSignUp),
                          signUpReply(R"({"accountId":")" + sampleAccountId + R"("})"));
    const std::vector<std::string> lines = cache.replayLines("");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(sampleAccountId), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("chosen"), std::string::npos) << lines[1];
}

// A reply whose request cannot change the cache is never looked at, whatever it says.
TEST(SessionReplayCacheTest, RepliesToOtherRequestsAreIgnored) {
    SessionReplayCache cache;
    cache.observeResponse(otherLogin, toolSuccess);
    cache.observeResponse(loginRequest, SessionReplayCache::ReplyInterest{}, toolSuccess);
    EXPECT_EQ(cache.replayLines(""), Lines{otherLogin});
}

TEST(SessionReplayCacheTest, SuccessfulSignUpBecomesALoginLine) {
    // A key with characters that the text form escapes or keeps as UTF-8.
    const std::string key = "p/w \"q\" \u00E9\U0001F511";
    const std::string request =
        signUpRequest(R"({"key":"p\/w \"q\" )" + std::string("\u00E9\U0001F511") + R"(","name":"bot"})");
    SessionReplayCache cache;
    cache.observeRequest(initializeRequest);
    cache.observeResponse(request,
                          signUpReply(R"({"accountId":")" + sampleAccountId + R"(","balance":50000})"));

    const Lines lines = cache.replayLines("");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], initializeRequest);
    EXPECT_EQ(lines[1].find('\n'), std::string::npos);
    EXPECT_EQ(lines[1].find(": "), std::string::npos); // compact
    EXPECT_EQ(lines[1].find(", "), std::string::npos);
    const std::optional<Json> login = parseJson(lines[1]);
    ASSERT_TRUE(login);
    const Json expected = {
        {"jsonrpc", "2.0"},
        {"id", "qvn-replay-login"},
        {"method", "tools/call"},
        {"params",
         Json{{"name", "login"}, {"arguments", Json{{"accountId", sampleAccountId}, {"key", key}}}}},
    };
    EXPECT_EQ(*login, expected);
    EXPECT_NE(lines[1].find(R"("key":"p\/w \"q\" )"), std::string::npos) << lines[1];

    // A later login replaces the made-up line, and a later sign-up replaces that.
    cache.observeResponse(loginRequest, toolSuccess);
    EXPECT_EQ(cache.replayLines(""), (Lines{initializeRequest, loginRequest}));
    cache.observeResponse(request, signUpReply(R"({"accountId":")" + sampleAccountId + R"("})"));
    EXPECT_EQ(cache.replayLines(initializeRequest), Lines{lines[1]});
}

TEST(SessionReplayCacheTest, SignUpWithoutUsableKeyOrAccountIdIsNotRemembered) {
    const std::string goodArguments = R"({"key":"secret"})";
    const std::string goodContent = R"({"accountId":")" + sampleAccountId + R"("})";
    struct Case {
        const char* what;
        std::string request;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"key is a number", signUpRequest(R"({"key":12345})"), signUpReply(goodContent)},
        {"key is null", signUpRequest(R"({"key":null})"), signUpReply(goodContent)},
        {"key missing", signUpRequest(R"({"name":"bot"})"), signUpReply(goodContent)},
        {"arguments not an object", signUpRequest(R"(["secret"])"), signUpReply(goodContent)},
        {"arguments missing", R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"signUp"}})",
         signUpReply(goodContent)},
        {"no structuredContent", signUpRequest(goodArguments),
         R"({"jsonrpc":"2.0","id":4,"result":{"content":[],"isError":false}})"},
        {"structuredContent not an object", signUpRequest(goodArguments), signUpReply(R"("x")")},
        {"accountId missing", signUpRequest(goodArguments), signUpReply(R"({"balance":1})")},
        {"accountId a number", signUpRequest(goodArguments), signUpReply(R"({"accountId":7})")},
        {"tool error", signUpRequest(goodArguments),
         R"({"jsonrpc":"2.0","id":4,"result":{"structuredContent":{"accountId":"A"},"isError":true}})"},
        {"JSON-RPC error", signUpRequest(goodArguments), rpcError},
    };
    for (const auto& c : cases) {
        SessionReplayCache cache;
        cache.observeResponse(loginRequest, toolSuccess);
        cache.observeResponse(c.request, c.reply);
        EXPECT_EQ(cache.replayLines(""), Lines{loginRequest}) << c.what;
    }
}

TEST(SessionReplayCacheTest, ReplayLinesLeaveOutTheLineAboutToBeSent) {
    SessionReplayCache cache;
    cache.observeRequest(initializeRequest);
    EXPECT_EQ(cache.replayLines(initializeRequest), Lines{});

    cache.observeResponse(loginRequest, toolSuccess);
    EXPECT_EQ(cache.replayLines(initializeRequest), Lines{loginRequest});
    EXPECT_EQ(cache.replayLines(loginRequest), Lines{initializeRequest});
    EXPECT_EQ(cache.replayLines(initializeRequest + " "),
              (Lines{initializeRequest, loginRequest})); // exact text only
    EXPECT_EQ(cache.replayLines(R"({"jsonrpc":"2.0","id":5,"method":"tools/list"})"),
              (Lines{initializeRequest, loginRequest}));
}

TEST(SessionReplayCacheTest, ConcurrentCallersAlwaysSeeWholeLines) {
    // Parsing runs outside the lock; whatever the interleaving, every snapshot
    // holds complete lines that were observed, in the order initialize, login.
    constexpr int threadCount = 4;
    constexpr int roundCount = 300;
    std::vector<std::string> initializes;
    std::vector<std::string> logins;
    for (int t = 0; t < threadCount; ++t) {
        initializes.push_back(R"({"jsonrpc":"2.0","id":)" + std::to_string(t) +
                              R"(,"method":"initialize","params":{"clientInfo":{"name":"agent )" +
                              std::to_string(t) + R"("}}})");
        logins.push_back(R"({"jsonrpc":"2.0","id":)" + std::to_string(t) +
                         R"(,"method":"tools/call","params":{"name":"login","arguments":{"accountId":"A)" +
                         std::to_string(t) + R"(","key":"k"}}})");
    }
    const std::set<std::string> knownInitializes(initializes.begin(), initializes.end());
    const std::set<std::string> knownLogins(logins.begin(), logins.end());

    SessionReplayCache cache;
    std::atomic<int> badSnapshots{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < roundCount; ++round) {
                cache.observeRequest(initializes[t]);
                cache.observeResponse(logins[t], toolSuccess);
                cache.observeResponse(signUpRequest(R"({"key":"k"})"), signUpReply(R"({"accountId":"S"})"));
                const bool canReestablish = cache.canReestablish();
                const Lines lines = cache.replayLines(initializes[(t + 1) % threadCount]);
                bool ok = canReestablish && !lines.empty() && lines.size() <= 2;
                for (std::size_t i = 0; ok && i < lines.size(); ++i) {
                    const bool isInitialize = knownInitializes.count(lines[i]) != 0;
                    const bool isLogin =
                        knownLogins.count(lines[i]) != 0 || lines[i].find("\"S\"") != std::string::npos;
                    ok = (isInitialize && i == 0) || isLogin;
                }
                if (!ok) {
                    badSnapshots.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(badSnapshots.load(), 0);
    ASSERT_TRUE(cache.canReestablish());
}

} // namespace
} // namespace quorvane
