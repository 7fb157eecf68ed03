#include "bridge/TransportHostConnection.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bridge/tests/BridgeTestSupport.h"
#include "common/transport/ServiceListener.h"
#include "tests/support/ServiceClient.h"
#include "tests/support/Waiting.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;

// Echoes lines, answers nothing to "quiet", pushes before answering "push".
class EchoService final : public QuorvaneServiceProtocol {
public:
    explicit EchoService(std::function<std::shared_ptr<QuorvaneClientProtocol>()> proxy)
        : proxy_(std::move(proxy)) {}

    void handleAgentMessage(const std::string& message,
                            std::function<void(std::optional<std::string>)> reply) override {
        if (message == "quiet") {
            reply(std::nullopt);
            return;
        }
        if (message == "unsendable") {
            reply(std::string("\xff not text")); // the host's transport refuses to send it
            return;
        }
        if (message == "push") {
            if (auto client = proxy_()) {
                client->deliverAgentNotification("pushed");
            }
        }
        reply("echo:" + message);
    }
    void control(const std::string&, std::function<void(std::string)> reply) override { reply("{}"); }

private:
    std::function<std::shared_ptr<QuorvaneClientProtocol>()> proxy_;
};

class TransportHostConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        output = ::open(runtime.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(output, 0);
        writer = std::make_shared<StdoutWriter>(output);
    }

    void TearDown() override { ::close(output); }

    void startHost() {
        const Result<ServicePlaces> resolved = resolveServicePlaces(environment, FolderUse::create);
        ASSERT_TRUE(resolved.ok()) << resolved.error().message;
        ServiceLock::Result locked = ServiceLock::acquire(*resolved);
        ASSERT_TRUE(locked.lock) << locked.error;
        ListenerOptions options;
        options.identityReader = test::readerAs(quorvaneBridgeIdentifier);
        auto started = ServiceListener::start(
            std::move(*locked.lock),
            [](const AcceptedPeer& peer) {
                return ConnectionSetup{std::make_shared<EchoService>(peer.clientProxy), {}};
            },
            std::move(options));
        ASSERT_TRUE(started.ok()) << started.error().message;
        listener = std::move(*started);
    }

    std::unique_ptr<HostConnection> connect() {
        ConnectionOptions options;
        options.environment = environment;
        options.identityReader = test::readerAs(quorvaneHostIdentifier);
        return transportConnectionFactory(options)(std::make_shared<BridgeNotificationSink>(writer), flag);
    }

    std::string written() { return test::readFile(runtime.file("out")); }

    std::vector<std::string> notes;
    NoteFunction recorder() {
        return [this](std::string_view message) { notes.emplace_back(message); };
    }

    test::TempDir runtime = test::TempDir::withSocketRoom(test::TempDir::serviceSocketRoom());
    RuntimeEnvironment environment = test::privateEnvironment(runtime.path());
    int output = -1;
    std::shared_ptr<StdoutWriter> writer;
    std::shared_ptr<Flag> flag = std::make_shared<Flag>();
    std::unique_ptr<ServiceListener> listener;
};

TEST_F(TransportHostConnectionTest, CarriesRepliesAbsentRepliesAndPushes) {
    startHost();
    auto connection = connect();
    EXPECT_EQ(send("hello", connection.get(), recorder()), SendOutcome::reply("echo:hello"));
    EXPECT_EQ(send("quiet", connection.get(), recorder()), SendOutcome{SendOutcome::Reply{}});
    EXPECT_EQ(send("", connection.get(), recorder()), SendOutcome::reply("echo:"));
    EXPECT_EQ(send("push", connection.get(), recorder()), SendOutcome::reply("echo:push"));
    EXPECT_TRUE(test::eventually([&] { return written() == "pushed\n"; })) << written();
    EXPECT_TRUE(notes.empty());
    EXPECT_FALSE(flag->value());
}

// A reply the host cannot send comes back as the host's refusal of the call,
// which the bridge must tell from a host that is not there.
TEST_F(TransportHostConnectionTest, AReplyTheHostCannotSendIsARefusal) {
    startHost();
    auto connection = connect();
    EXPECT_EQ(send("unsendable", connection.get(), recorder()), SendOutcome::refusal());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind("transport error: " + std::string(hostRefusedCallPrefix), 0), 0u) << notes[0];
    // The connection goes on serving.
    EXPECT_EQ(send("hello", connection.get(), recorder()), SendOutcome::reply("echo:hello"));
}

TEST_F(TransportHostConnectionTest, AMissingHostIsATransportError) {
    auto connection = connect();
    EXPECT_EQ(send("hello", connection.get(), recorder()), SendOutcome::failure());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind("transport error: ", 0), 0u) << notes[0];
}

TEST_F(TransportHostConnectionTest, AHostThatGoesAwaySetsTheFlagAndTheSameConnectionReconnects) {
    startHost();
    auto connection = connect();
    EXPECT_EQ(send("one", connection.get(), recorder()), SendOutcome::reply("echo:one"));
    listener.reset(); // the host stops
    EXPECT_TRUE(test::eventually([&] { return flag->value(); }));
    EXPECT_TRUE(flag->take());

    startHost(); // and comes back
    EXPECT_EQ(send("two", connection.get(), recorder()), SendOutcome::reply("echo:two"));
}

TEST_F(TransportHostConnectionTest, InvalidationSetsTheFlagAndEndsCalls) {
    startHost();
    auto connection = connect();
    EXPECT_EQ(send("one", connection.get(), recorder()), SendOutcome::reply("echo:one"));
    connection->invalidate();
    EXPECT_TRUE(test::eventually([&] { return flag->value(); }));
    EXPECT_EQ(send("two", connection.get(), recorder()), SendOutcome::failure());
    EXPECT_EQ(notes, std::vector<std::string>{"could not obtain remote proxy"});
}

} // namespace
} // namespace quorvane
