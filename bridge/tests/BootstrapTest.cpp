#include "bridge/Bootstrap.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bridge/tests/BridgeTestSupport.h"
#include "tests/support/Waiting.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class BootstrapTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN); // as the bridge does; the child must not inherit it
        test::writeFile(bridge, "#!/bin/sh\nexit 0\n", 0755);
    }

    NoteFunction recorder() {
        return [this](std::string_view message) { notes.emplace_back(message); };
    }

    test::TempDir dir;
    const std::string bridge = dir.file("quorvane-bridge");
    const std::string program = dir.file("quorvane");
    std::vector<std::string> notes;
};

TEST_F(BootstrapTest, WithoutTheProgramOnlyANoteIsWritten) {
    bootstrapHost(Clock::now() + 10s, recorder(), bridge);
    bootstrapHost(Clock::now() + 10s, recorder(), dir.file("no-such-bridge"));
    EXPECT_EQ(notes, std::vector<std::string>(2, "cannot locate enclosing app bundle for bootstrap"));

    // A folder named quorvane is not the program either.
    ASSERT_EQ(::mkdir(program.c_str(), 0700), 0);
    notes.clear();
    bootstrapHost(Clock::now() + 10s, recorder(), bridge);
    EXPECT_EQ(notes, std::vector<std::string>{"cannot locate enclosing app bundle for bootstrap"});
}

TEST_F(BootstrapTest, StartsTheProgramBesideTheBridgeAndWaitsForIt) {
    // A descriptor the bridge holds open must not reach the child.
    const int stray = ::open(dir.file("stray").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(stray, 0);
    ASSERT_EQ(::dup2(stray, 57), 57);
    ::close(stray);

    const std::string report = dir.file("report");
    test::writeFile(program,
                    "#!/bin/sh\n"
                    "exec >>'" +
                        report +
                        "' 2>&1\n" // from here on the script's own output goes to the report
                        "echo \"args=$#:$1\"\n"
                        "echo \"stdin=$(readlink /proc/$$/fd/0)\"\n"
                        "echo \"stray=$(test -e /proc/$$/fd/57 && echo open || echo closed)\"\n"
                        "grep SigIgn /proc/$$/status\n"
                        "sleep 0.2\n"
                        "echo END\n",
                    0755);
    // The bridge may be reached through a link elsewhere: the program is
    // looked for beside the file the link resolves to.
    test::TempDir elsewhere;
    const std::string link = elsewhere.file("quorvane-bridge");
    ASSERT_EQ(::symlink(bridge.c_str(), link.c_str()), 0);

    bootstrapHost(Clock::now() + 10s, recorder(), link);
    ::close(57);

    const std::string text = test::readFile(report);
    EXPECT_NE(text.find("END\n"), std::string::npos) << "returned before the program exited:\n" << text;
    EXPECT_NE(text.find("args=1:--register-and-exit\n"), std::string::npos) << text;
    EXPECT_NE(text.find("stdin=/dev/null\n"), std::string::npos) << text;
    EXPECT_NE(text.find("stray=closed\n"), std::string::npos) << text;
    const std::size_t sigIgn = text.find("SigIgn:");
    ASSERT_NE(sigIgn, std::string::npos) << text;
    const unsigned long long ignored = std::stoull(text.substr(sigIgn + 7), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << "SIGPIPE still ignored in the child";
    EXPECT_TRUE(notes.empty());
}

TEST_F(BootstrapTest, WithoutTheAppTheHeadlessToolBesideTheBridgeIsStartedInstead) {
    const std::string report = dir.file("report");
    const std::string tool = dir.file("quorvanectl");
    test::writeFile(tool, "#!/bin/sh\necho \"ctl $#:$1\" >>'" + report + "'\n", 0755);

    bootstrapHost(Clock::now() + 10s, recorder(), bridge);
    EXPECT_EQ(test::readFile(report), "ctl 1:--register-and-exit\n");
    EXPECT_TRUE(notes.empty());

    // With both beside the bridge, the app's program is the one started.
    test::writeFile(program, "#!/bin/sh\necho \"app $#:$1\" >>'" + report + "'\n", 0755);
    bootstrapHost(Clock::now() + 10s, recorder(), bridge);
    EXPECT_EQ(test::readFile(report), "ctl 1:--register-and-exit\napp 1:--register-and-exit\n");
    EXPECT_TRUE(notes.empty());
}

TEST_F(BootstrapTest, StandardOutputOfTheProgramNeverReachesTheBridgesOutput) {
    const std::string report = dir.file("report");
    test::writeFile(program,
                    "#!/bin/sh\n"
                    "echo \"stdout=$(readlink /proc/$$/fd/1)\" >>'" +
                        report +
                        "'\n"
                        "echo noise\n"
                        "echo END >>'" +
                        report + "'\n",
                    0755);
    test::Pipe out;
    const int saved = ::dup(STDOUT_FILENO);
    ASSERT_EQ(::dup2(out.write, STDOUT_FILENO), STDOUT_FILENO);
    bootstrapHost(Clock::now() + 10s, recorder(), bridge);
    ASSERT_EQ(::dup2(saved, STDOUT_FILENO), STDOUT_FILENO);
    ::close(saved);
    out.closeWrite();
    EXPECT_EQ(test::readAll(out.read), "");
    EXPECT_NE(test::readFile(report).find("stdout=/dev/null\n"), std::string::npos);
}

TEST_F(BootstrapTest, StopsWaitingAtTheDeadlineAndStillReapsTheProgram) {
    const std::string pidFile = dir.file("pid");
    test::writeFile(program,
                    "#!/bin/sh\necho $$ > '" + pidFile + ".tmp'\nmv '" + pidFile + ".tmp' '" + pidFile +
                        "'\nexec sleep 1\n",
                    0755);
    const auto start = Clock::now();
    bootstrapHost(start + 150ms, recorder(), bridge);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 900ms);
    EXPECT_TRUE(notes.empty());

    // Once the program ends it is reaped: its /proc entry goes away rather
    // than staying behind as a zombie.
    std::string pid;
    ASSERT_TRUE(test::eventually([&] { return !(pid = test::readFile(pidFile)).empty(); }, 10s));
    pid.erase(pid.find_last_not_of("\n") + 1);
    const std::string stat = "/proc/" + pid + "/stat";
    EXPECT_TRUE(test::eventually([&] { return ::access(stat.c_str(), F_OK) != 0; }, 10s, 10ms))
        << "the program was left a zombie: " << test::readFile(stat);
}

TEST_F(BootstrapTest, AProgramThatCannotStartIsNoted) {
    test::writeFile(program, "#!/bin/sh\necho END\n", 0644); // not executable
    bootstrapHost(Clock::now() + 10s, recorder(), bridge);
    ASSERT_EQ(notes.size(), 1u);
    const std::string resolved = (std::filesystem::canonical(dir.path()) / "quorvane").string();
    EXPECT_EQ(notes[0], "bootstrap failed: cannot start " + resolved + ": Permission denied");
}

} // namespace
} // namespace quorvane
