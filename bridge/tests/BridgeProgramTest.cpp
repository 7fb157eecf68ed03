// Runs the quorvane-bridge program itself, without a host: what it does at the
// end of input, with lines it never forwards, and when its reader goes away.

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bridge/tests/BridgeTestSupport.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;

struct ProgramRun {
    int exitStatus = -1; // -1 when the program did not exit normally in time
    std::string out;
    std::string err;
};

class BridgeProgramTest : public ::testing::Test {
protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }

    // Starts the bridge with the input on its standard input (then closed) in a
    // private runtime folder where no host lives.
    ProgramRun runBridge(const std::string& input, bool closeOutput = false) {
        test::Pipe in;
        test::Pipe out;
        test::Pipe err;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
        const std::string program = QUORVANE_BRIDGE_PROGRAM;
        std::vector<std::string> environment = {"XDG_RUNTIME_DIR=" + runtime.path(), "HOME=" + runtime.path(),
                                                "PATH=/usr/bin:/bin"};
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0);
        if (spawned != 0) {
            return {};
        }
        in.closeRead();
        out.closeWrite();
        err.closeWrite();
        if (closeOutput) {
            out.closeRead();
        }

        ProgramRun result;
        std::thread feeder([&] {
            std::string_view rest = input;
            while (!rest.empty()) {
                const ssize_t n = ::write(in.write, rest.data(), rest.size());
                if (n <= 0) {
                    break; // the bridge has gone
                }
                rest.remove_prefix(static_cast<std::size_t>(n));
            }
            in.closeWrite();
        });
        std::thread outReader([&] {
            if (out.read >= 0) {
                result.out = test::readAll(out.read);
            }
        });
        result.err = test::readAll(err.read);
        outReader.join();
        feeder.join();

        int status = 0;
        for (auto until = std::chrono::steady_clock::now() + 20s;;) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= until) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(2ms);
        }
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
