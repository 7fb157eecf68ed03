#include "bridge/HostConnection.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/tests/FakeHost.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::FakeHost;

// The host had nothing to answer.
const SendOutcome absentReply{SendOutcome::Reply{}};

struct Notes {
    std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<std::mutex> lock = std::make_shared<std::mutex>();
    NoteFunction function() {
        return [lines = lines, lock = lock](std::string_view message) {
            std::lock_guard guard(*lock);
            lines->emplace_back(message);
        };
    }
    std::vector<std::string> all() const {
        std::lock_guard guard(*lock);
        return *lines;
    }
};

class SendTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    std::shared_ptr<Flag> flag = std::make_shared<Flag>();
    Notes notes;

    std::unique_ptr<HostConnection> connect() { return host->factory()(nullptr, flag); }
};

TEST_F(SendTest, EachAnswerBecomesItsOutcome) {
    struct Case {
        Answer answer;
        SendOutcome expected;
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {Answer::reply("{\"id\":1}"), SendOutcome::reply("{\"id\":1}"), {}},
        {Answer::reply(""), SendOutcome::reply(""), {}}, // an empty reply is still a reply
        {Answer::noReply(), absentReply, {}},
        {Answer::error("the Quorvane host is not running"),
         SendOutcome::failure(),
         {"transport error: the Quorvane host is not running"}},
        {Answer::refuse(), SendOutcome::failure(), {"could not obtain remote proxy"}},
    };
    for (bool otherThread : {false, true}) {
        host->answerOnOtherThread = otherThread;
        for (const Case& c : cases) {
            Notes caseNotes;
            host->script = [&](const std::string&) { return c.answer; };
            auto connection = connect();
            EXPECT_EQ(send("line", connection.get(), caseNotes.function(), 10s), c.expected);
            EXPECT_EQ(caseNotes.all(), c.notes);
        }
    }
}

TEST_F(SendTest, WithoutAConnectionNothingIsSent) {
    EXPECT_EQ(send("line", nullptr, notes.function(), 10s), SendOutcome::failure());
    EXPECT_EQ(notes.all(), std::vector<std::string>{"could not obtain remote proxy"});
}

TEST_F(SendTest, ASilentHostTimesOutAndTheCallIsGivenUp) {
    host->script = [](const std::string&) { return Answer::silent(); };
    auto connection = connect();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send("line", connection.get(), notes.function(), 50ms), SendOutcome::failure());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(host->cancellations(), 1);
    EXPECT_TRUE(notes.all().empty());
}

TEST_F(SendTest, AReplyIsOfferedToTheDeliveryBeforeTheSenderWakes) {
    // What the delivery is given and says decides the outcome; failures never
    // reach it.
    struct Case {
        Answer answer;
        bool takes;
        SendOutcome expected;
        std::vector<std::optional<std::string>> offered;
    };
    const Case cases[] = {
        {Answer::reply("{\"id\":1}"), true, {SendOutcome::Reply{"{\"id\":1}", true}}, {"{\"id\":1}"}},
        {Answer::reply("{\"id\":1}"), false, SendOutcome::reply("{\"id\":1}"), {"{\"id\":1}"}},
        {Answer::noReply(), false, absentReply, {std::nullopt}},
        {Answer::error("the Quorvane host is not running"), true, SendOutcome::failure(), {}},
        {Answer::error("the host refused the call: too large"), true, SendOutcome::refusal(), {}},
    };
    for (bool otherThread : {false, true}) {
        host->answerOnOtherThread = otherThread;
        for (const Case& c : cases) {
            host->script = [&](const std::string&) { return c.answer; };
            auto connection = connect();
            std::vector<std::optional<std::string>> offered;
            const ReplyDelivery deliver = [&](const std::optional<std::string>& reply) {
                offered.push_back(reply);
                return c.takes;
            };
            EXPECT_EQ(send("line", connection.get(), notes.function(), 10s, deliver), c.expected);
            EXPECT_EQ(offered, c.offered);
        }
    }
}

TEST_F(SendTest, AReplyAfterTheTimeOutIsNeitherDeliveredNorReported) {
    // Answers only once the sender has given up; the late reply must find the
    // outcome settled and leave the sender's delivery alone.
    auto lateReply = std::make_shared<HostConnection::ReplyHandler>();
    host->script = [](const std::string&) { return Answer::silent(); };
    host->keepSilentHandler = lateReply;
    auto connection = connect();
    int offered = 0;
    const ReplyDelivery deliver = [&](const std::optional<std::string>&) {
        ++offered;
        return true;
    };
    EXPECT_EQ(send("line", connection.get(), notes.function(), 1ms, deliver), SendOutcome::failure());
    ASSERT_TRUE(*lateReply);
    (*lateReply)("{\"id\":1}");
    EXPECT_EQ(offered, 0);
}

TEST(LockedOutcomeTest, KeepsOnlyTheFirstOfCompetingResults) {
    for (int round = 0; round < 50; ++round) {
        LockedOutcome outcome;
        std::atomic<int> winners{0};
        std::atomic<int> winner{-1};
        std::vector<std::thread> racers;
        for (int i = 0; i < 4; ++i) {
            racers.emplace_back([&, i] {
                SendOutcome mine = i == 0 ? SendOutcome::failure() : SendOutcome::reply(std::to_string(i));
                if (outcome.settle(mine)) {
                    ++winners;
                    winner = i;
                }
            });
        }
        EXPECT_TRUE(outcome.waitUntil(std::chrono::steady_clock::now() + 10s));
        for (auto& racer : racers) {
            racer.join();
        }
        ASSERT_EQ(winners.load(), 1);
        const int i = winner.load();
        EXPECT_EQ(outcome.stored(), i == 0 ? SendOutcome::failure() : SendOutcome::reply(std::to_string(i)));
    }
}

TEST(LockedOutcomeTest, StartsUnsettledAsFailure) {
    LockedOutcome outcome;
    EXPECT_FALSE(outcome.waitUntil(std::chrono::steady_clock::now() + 1ms));
    EXPECT_EQ(outcome.stored(), SendOutcome::failure());
    EXPECT_TRUE(outcome.settle(absentReply));
    EXPECT_FALSE(outcome.settle(SendOutcome::failure()));
    EXPECT_EQ(outcome.stored(), absentReply);
}

TEST(LockedOutcomeTest, AClaimedOutcomeIsWaitedForPastTheDeadline) {
    // A reply being handed on when the time-out strikes: the waiter must see
    // the claimer's outcome, never a failure, whichever thread gets first.
    for (int round = 0; round < 50; ++round) {
        LockedOutcome outcome;
        ASSERT_TRUE(outcome.claim());
        EXPECT_FALSE(outcome.claim());
        EXPECT_FALSE(outcome.settle(SendOutcome::failure()));
        std::thread claimer([&] { outcome.settleClaimed({SendOutcome::Reply{"late", true}}); });
        EXPECT_TRUE(outcome.waitUntil(std::chrono::steady_clock::now() - 1s));
        claimer.join();
        EXPECT_EQ(outcome.stored(), (SendOutcome{SendOutcome::Reply{"late", true}}));
        EXPECT_FALSE(outcome.settle(SendOutcome::failure()));
    }
    LockedOutcome settled;
    EXPECT_TRUE(settled.settle(absentReply));
    EXPECT_FALSE(settled.claim());
}

TEST(FlagTest, TakeAnswersAndClears) {
    Flag flag;
    EXPECT_FALSE(flag.take());
    flag.set();
    flag.set();
    EXPECT_TRUE(flag.value());
    EXPECT_TRUE(flag.take());
    EXPECT_FALSE(flag.take());
    EXPECT_FALSE(flag.value());
}

} // namespace
} // namespace quorvane
