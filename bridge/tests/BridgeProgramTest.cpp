// Runs the quorvane-bridge program itself, without a host: what it does at the
// end of input, with lines it never forwards, and when its reader goes away.

#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "bridge/tests/BridgeTestSupport.h"
#include "tests/support/Child.h"

namespace quorvane {
namespace {

struct ProgramRun {
    int exitStatus = -1; // -1 when the program did not exit in time; 128 + n for signal n
    std::string out;
    std::string err;
};

class BridgeProgramTest : public ::testing::Test {
protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }

    // Starts the bridge with the input on its standard input (then closed) in a
    // private runtime folder where no host lives.
    ProgramRun runBridge(const std::string& input, bool closeOutput = false) {
        test::Child::Options options;
        options.arguments = {QUORVANE_BRIDGE_PROGRAM};
        options.environment = std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime.path(),
                                                       "HOME=" + runtime.path(), "PATH=/usr/bin:/bin"};
        test::Child bridge(options);
        if (closeOutput) {
            bridge.closeOutput();
        }
        std::thread feeder([&] {
            (void)bridge.write(input); // false once the bridge has gone
            bridge.closeInput();
        });
        ProgramRun result;
        if (!closeOutput) {
            result.out = bridge.readRemainingOutput();
        }
        const std::optional<int> status = bridge.waitForExit();
        if (!status) {
            bridge.signal(SIGKILL); // ends a feeder still writing, too
        }
        feeder.join();
        result.exitStatus = status.value_or(-1);
        result.err = bridge.errorOutput();
        return result;
    }

    test::TempDir runtime;
};

TEST_F(BridgeProgramTest, EndOfInputEndsTheBridgeWithStatusZero) {
    const ProgramRun result = runBridge("");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

TEST_F(BridgeProgramTest, EmptyLinesProduceNothing) {
    const ProgramRun result = runBridge("\n\r\n\n\n");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

TEST_F(BridgeProgramTest, AnOversizedLineIsAnsweredWithAParseError) {
    const ProgramRun result = runBridge(test::repeated('{', 5 << 20, "\r\n\n"));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out,
              "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32700,\"message\":\"Parse error\"}}\n");
    EXPECT_EQ(result.err, "quorvane bridge: discarded an input line longer than 4194304 bytes\n");
}

TEST_F(BridgeProgramTest, AReaderThatHasGoneEndsTheBridgeQuietly) {
    const std::string huge = test::repeated('x', (4 << 20) + 1, "\n");
    const ProgramRun result = runBridge(huge + huge + huge, true);
    EXPECT_EQ(result.exitStatus, 0); // exited by itself: no SIGPIPE, no crash
    EXPECT_EQ(result.err, "quorvane bridge: discarded an input line longer than 4194304 bytes\n");
}

} // namespace
} // namespace quorvane
