// The shared test support itself: folders that leave room for a socket, child
// processes that are waited on by what they show, and one call waited for.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "common/transport/RuntimePlaces.h"
#include "tests/support/Child.h"
#include "tests/support/FakeHost.h"
#include "tests/support/ServiceClient.h"
#include "tests/support/TempDir.h"

namespace quorvane::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Sets TMPDIR for one test.
class TmpdirOverride {
public:
    explicit TmpdirOverride(const std::string& value) {
        if (const char* old = std::getenv("TMPDIR")) {
            old_ = old;
        }
        ::setenv("TMPDIR", value.c_str(), 1);
    }
    ~TmpdirOverride() {
        if (old_) {
            ::setenv("TMPDIR", old_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }

private:
    std::optional<std::string> old_;
};

TEST(TempDirTest, IsRemovedWithItsContentsAndAMoveKeepsItAlive) {
    std::string path;
    {
        TempDir first;
        fs::create_directories(first.file("a/b"));
        TempDir moved(std::move(first));
        path = moved.path();
        EXPECT_TRUE(first.path().empty());
        EXPECT_TRUE(fs::is_directory(path + "/a/b"));
    }
    EXPECT_FALSE(fs::exists(path));
}

TEST(TempDirTest, SocketRoomMovesADeepFolderToTmp) {
    // Room for a folder name below it, not for the service socket as well.
    TempDir outer("/tmp");
    const std::string deep = outer.path() + "/" + std::string(80 - outer.path().size(), 'd');
    fs::create_directories(deep);
    TmpdirOverride tmpdir(deep);

    const TempDir plain(std::string{}, "p");
    EXPECT_EQ(plain.path().rfind(deep + "/p", 0), 0u) << plain.path();

    const TempDir roomy = TempDir::withSocketRoom(TempDir::serviceSocketRoom());
    EXPECT_EQ(roomy.path().rfind("/tmp/", 0), 0u) << roomy.path();
    EXPECT_LE(roomy.path().size() + TempDir::serviceSocketRoom(), maxSocketPathLength);

    const TempDir small = TempDir::withSocketRoom(1);
    EXPECT_EQ(small.path().rfind(deep, 0), 0u) << "room that fits stays under $TMPDIR: " << small.path();
}

TEST(ChildTest, ReadinessLineInputAndExitStatus) {
    Child child({"/bin/sh", "-c", "echo ready; read line; echo \"got $line\"; exit 7"});
    EXPECT_EQ(child.readLine(), std::optional<std::string>("ready"));
    EXPECT_TRUE(child.writeLine("hello"));
    EXPECT_EQ(child.readLine(), std::optional<std::string>("got hello"));
    EXPECT_EQ(child.finish(), 7);
}

TEST(ChildTest, ErrorTextIsCollectedAndWaitedForFromAPipeOrAFile) {
    TempDir dir;
    for (const Child::Stream stream : {Child::Stream::pipe, Child::Stream::file}) {
        SCOPED_TRACE(stream == Child::Stream::pipe ? "pipe" : "file");
        Child::Options options;
        options.arguments = {"/bin/sh", "-c", "echo one >&2; read line; echo \"two $line\" >&2"};
        options.error = stream;
        options.errorFile = stream == Child::Stream::file ? dir.file("errors") : std::string{};
        Child child(options);
        EXPECT_TRUE(child.waitForErrorText("one"));
        EXPECT_FALSE(child.waitForErrorText("two", 100ms)) << "nothing more before the input";
        EXPECT_TRUE(child.writeLine("x"));
        EXPECT_TRUE(child.waitForErrorText("two x"));
        EXPECT_EQ(child.waitForExit(), std::optional<int>(0));
        EXPECT_EQ(child.errorOutput(), "one\ntwo x\n");
    }
}

TEST(ChildTest, ADeathBySignalIs128PlusItsNumberAndPauseStopsIt) {
    Child child({"/bin/sh", "-c", "echo ready; exec cat"});
    ASSERT_EQ(child.readLine(), std::optional<std::string>("ready"));
    child.pause();
    EXPECT_TRUE(child.running());
    child.signal(SIGKILL);
    EXPECT_EQ(child.waitForExit(), std::optional<int>(128 + SIGKILL));
    EXPECT_FALSE(child.running());
}

TEST(ChildTest, EnvironmentIsReplacedAndOnlyAskedForDescriptorsAreInherited) {
    const int kept = ::open("/dev/null", O_RDONLY); // not close-on-exec
    const int dropped = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(kept, 0);
    ASSERT_GE(dropped, 0);
    const std::string script = "echo \"$ONLY\"; [ -e /proc/self/fd/" + std::to_string(kept) +
                               " ] && echo kept; [ -e /proc/self/fd/" + std::to_string(dropped) +
                               " ] && echo leaked; echo end";
    {
        Child::Options options;
        options.arguments = {"/bin/sh", "-c", script};
        options.environment = std::vector<std::string>{"ONLY=this", "PATH=/usr/bin:/bin"};
        Child child(options);
        EXPECT_EQ(child.readRemainingOutput(), "this\nend\n") << "no descriptor beyond the standard three";
    }
    {
        Child::Options options;
        options.arguments = {"/bin/sh", "-c", script};
        options.environment = std::vector<std::string>{"ONLY=that", "PATH=/usr/bin:/bin"};
        options.inheritFds = {kept};
        Child child(options);
        EXPECT_EQ(child.readLine(), std::optional<std::string>("that"));
        EXPECT_EQ(child.readLine(), std::optional<std::string>("kept"));
    }
    ::close(kept);
    ::close(dropped);
}

TEST(ChildTest, AProgramThatCannotStartThrows) {
    EXPECT_THROW(Child({"/nonexistent/program"}), std::runtime_error);
}

TEST(ChildTest, SocketWaitGivesUpWhenTheWatchedChildExits) {
    TempDir dir;
    Child child({"/bin/sh", "-c", "exit 3"});
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitForSocket(dir.file("never"), 20s, &child));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(child.waitForExit(), std::optional<int>(3));
}

class CallTest : public ::testing::Test {
protected:
    // Both ends in this process: the host takes the client for the program
    // `peer` names, the client takes the host for the host.
    static FakeHost::Options hostOptions(std::string_view peer) {
        FakeHost::Options options;
        options.listener.identityReader = readerAs(peer);
        return options;
    }
    ConnectionOptions clientOptions() const {
        return ConnectionOptions{env, readerAs(quorvaneHostIdentifier)};
    }

    TempDir runtime = TempDir::withSocketRoom(TempDir::serviceSocketRoom());
    RuntimeEnvironment env = privateEnvironment(runtime.path());
};

TEST_F(CallTest, ControlRepliesDroppedRepliesFailAndLateOnesTimeOut) {
    Waiter gate;
    bool open = false;
    FakeHost::Options options = hostOptions(quorvaneAppIdentifier);
    options.control = [&](const std::string& request) -> std::optional<std::string> {
        if (request == "slow") {
            (void)gate.waitFor([&] { return open; });
        }
        return request == "drop" ? std::nullopt : std::optional<std::string>("re:" + request);
    };
    FakeHost host(env, std::move(options));
    ServiceClient client(clientOptions());

    const auto reply = client.controlText("hello");
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply, "re:hello");
    const auto dropped = client.controlText("drop");
    ASSERT_FALSE(dropped);
    EXPECT_NE(dropped.error().message.find("without replying"), std::string::npos) << dropped.error().message;

    const auto slow = client.controlText("slow", 200ms);
    ASSERT_FALSE(slow);
    EXPECT_EQ(slow.error().message, "no answer in time");
    gate.update([&] { open = true; });
    EXPECT_EQ(host.requests(), (std::vector<std::string>{"hello", "drop", "slow"}));
}

TEST_F(CallTest, AgentNoReplyIsASuccessAndATransportFailureIsAnError) {
    ServiceClient client(clientOptions());
    const auto noHost = client.agentMessage("ping");
    ASSERT_FALSE(noHost);
    EXPECT_FALSE(noHost.error().message.empty());

    FakeHost::Options options = hostOptions(quorvaneBridgeIdentifier);
    options.agent = [](const std::string& message) -> std::optional<std::string> {
        return message == "none" ? std::nullopt : std::optional<std::string>("echo:" + message);
    };
    FakeHost host(env, std::move(options));
    const auto echoed = client.agentMessage("ping");
    ASSERT_TRUE(echoed) << echoed.error().message;
    EXPECT_EQ(*echoed, std::optional<std::string>("echo:ping"));
    const auto none = client.agentMessage("none");
    ASSERT_TRUE(none) << none.error().message;
    EXPECT_EQ(*none, std::nullopt);
    EXPECT_EQ(host.admitted().size(), 1u);
}

} // namespace
} // namespace quorvane::test
