// The helpers under the registration: autostart file texts, atomic writes,
// bounded subprocesses, detached starts and the host's locations.

#include <csignal>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/AtomicFile.h"
#include "app/AutostartFiles.h"
#include "app/HostLocation.h"
#include "app/Subprocess.h"
#include "app/tests/TestSupport.h"

namespace quorvane::autostart {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The description a failed operation gives, or "succeeded".
std::string failureOf(const Result<void>& outcome) {
    return outcome ? std::string("succeeded") : outcome.error().message;
}

// ---- File texts --------------------------------------------------------------------

struct QuotingCase {
    std::string path;
    std::string execStart; // the unit's command word
    std::string exec;      // the autostart entry's Exec value
};

void PrintTo(const QuotingCase& value, std::ostream* out) {
    *out << value.path;
}

class CommandQuoting : public ::testing::TestWithParam<QuotingCase> {};

TEST_P(CommandQuoting, PathSurvivesBothFileFormats) {
    const auto& param = GetParam();
    auto unit = systemdUnitText(param.path);
    auto entry = desktopEntryText(param.path);
    ASSERT_TRUE(unit && entry);
    EXPECT_THAT(*unit, HasSubstr("\nExecStart=" + param.execStart + "\n"));
    EXPECT_THAT(*entry, HasSubstr("\nExec=" + param.exec + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CommandQuoting,
    ::testing::Values(QuotingCase{"/usr/bin/quorvane-host", R"("/usr/bin/quorvane-host")",
                                  R"("/usr/bin/quorvane-host")"},
                      QuotingCase{"/opt/my apps/quorvane-host", R"("/opt/my apps/quorvane-host")",
                                  R"("/opt/my apps/quorvane-host")"},
                      QuotingCase{"/opt/100%/quorvane-host", R"("/opt/100%%/quorvane-host")",
                                  R"("/opt/100%%/quorvane-host")"},
                      QuotingCase{"/opt/$HOME/quorvane-host", R"("/opt/$$HOME/quorvane-host")",
                                  R"("/opt/\\$HOME/quorvane-host")"},
                      QuotingCase{R"(/opt/"q"/quorvane-host)", R"("/opt/\"q\"/quorvane-host")",
                                  R"("/opt/\\"q\\"/quorvane-host")"},
                      QuotingCase{R"(/opt/a\b/quorvane-host)", R"("/opt/a\\b/quorvane-host")",
                                  R"("/opt/a\\\\b/quorvane-host")"},
                      QuotingCase{"/opt/`x`/quorvane-host", R"("/opt/`x`/quorvane-host")",
                                  R"("/opt/\\`x\\`/quorvane-host")"}));

TEST(FileTexts, RefusePathsThatCannotBeWrittenOnOneLine) {
    for (const std::string& path : std::vector<std::string>{
             "relative/quorvane-host", "", "/opt/a\nExecStartPre=/bin/evil/quorvane-host",
             "/opt/a\rb/quorvane-host", std::string("/opt/a\0b", 8)}) {
        EXPECT_FALSE(systemdUnitText(path).has_value()) << path;
        EXPECT_FALSE(desktopEntryText(path).has_value()) << path;
    }
}

TEST(FileTexts, EntryIsEnabledOnlyUntilTheUserSwitchesItOff) {
    struct Case {
        std::string text;
        bool disabled;
    };
    const std::vector<Case> cases = {
        {"[Desktop Entry]\nExec=/x\n", false},
        {"[Desktop Entry]\nHidden=true\n", true},
        {"[Desktop Entry]\nHidden = True \r\n", true},
        {"[Desktop Entry]\nHidden=false\n", false},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", true},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n", false},
        {"[Desktop Entry]\n# Hidden=true\n", false},
        {"[Desktop Entry]\nHidden[de]=true\n", false},
        {"[Desktop Action stop]\nHidden=true\n", false},
        {"[Desktop Entry]\nExec=/x\n[Other]\nX-GNOME-Autostart-enabled=false\n", false},
        {"", false},
        {*desktopEntryText("/usr/bin/quorvane-host"), false},
    };
    for (const auto& [text, disabled] : cases) {
        EXPECT_EQ(desktopEntryDisabled(text), disabled) << text;
    }
}

// ---- Atomic writes -------------------------------------------------------------------

TEST(AtomicFile, CreatesPrivateFoldersAndTheFile) {
    testing::TempDir temp;
    auto path = temp.path() / "a" / "b" / "file";
    ASSERT_TRUE(writeFileAtomically(path, "one\n").ok());
    EXPECT_EQ(testing::readFile(path), "one\n");
    struct stat info {};
    ASSERT_EQ(::stat((temp.path() / "a").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    ASSERT_TRUE(writeFileAtomically(path, "two\n").ok());
    EXPECT_EQ(testing::readFile(path), "two\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path.parent_path()), {}), 1);
}

TEST(AtomicFile, ReplacesALinkInsteadOfWritingThroughIt) {
    testing::TempDir temp;
    auto target = temp.path() / "elsewhere";
    auto link = temp.path() / "file";
    testing::writeFile(target, "keep\n");
    std::filesystem::create_symlink(target, link);
    ASSERT_TRUE(writeFileAtomically(link, "new\n").ok());
    EXPECT_EQ(testing::readFile(target), "keep\n");
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_EQ(testing::readFile(link), "new\n");
}

TEST(AtomicFile, FailureLeavesNothingBehind) {
    testing::TempDir temp;
    testing::writeFile(temp.path() / "plain", "x");
    EXPECT_THAT(failureOf(writeFileAtomically(temp.path() / "plain" / "file", "x")), HasSubstr("plain"));
    EXPECT_THAT(failureOf(writeFileAtomically("relative/file", "x")),
                StartsWith("not an absolute file path"));

    // A folder where the file should go: the rename fails, the temporary goes.
    std::filesystem::create_directories(temp.path() / "taken" / "inner");
    EXPECT_THAT(failureOf(writeFileAtomically(temp.path() / "taken", "x")), StartsWith("cannot replace"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path()), {}), 2);
}

// ---- Subprocesses ----------------------------------------------------------------------

TEST(RunCommand, CapturesBothStreamsAndTheStatus) {
    auto result = runCommand({"sh", "-c", "echo out; echo err >&2; exit 3"}, 5s);
    EXPECT_EQ(result.outcome, CommandResult::Outcome::exited);
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.output, "out\n");
    EXPECT_EQ(result.errorOutput, "err\n");
    EXPECT_FALSE(result.succeeded());

    EXPECT_TRUE(runCommand({"true"}, 5s).succeeded());
    EXPECT_EQ(runCommand({"sh", "-c", "kill -9 $$"}, 5s).outcome, CommandResult::Outcome::signalled);
}

TEST(RunCommand, BoundsOutputThatKeepsComing) {
    auto result = runCommand({"sh", "-c", "head -c 1000000 /dev/zero"}, 5s);
    EXPECT_TRUE(result.succeeded());
    EXPECT_EQ(result.output.size(), maxCapturedOutput);
}

TEST(RunCommand, MissingProgramIsReported) {
    auto result = runCommand({"quorvane-no-such-program"}, 5s);
    EXPECT_EQ(result.outcome, CommandResult::Outcome::notStarted);
    EXPECT_THAT(result.failure, HasSubstr("quorvane-no-such-program"));
}

TEST(RunCommand, TimeoutKillsTheWholeProcessGroup) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    auto result = runCommand({"sh", "-c", "sleep 30 & echo $!; wait"}, 2s);
    EXPECT_EQ(result.outcome, CommandResult::Outcome::timedOut);
    // The output read before the deadline names the sleeper.
    ASSERT_FALSE(result.output.empty());
    pid_t sleeper = std::stoi(result.output);
    EXPECT_TRUE(testing::eventually([&] {
        testing::RegistrationWorld::reapOrphans();
        return ::kill(sleeper, 0) != 0;
    }));
}

TEST(RunCommand, ChildGetsACleanStart) {
    int leaked = ::open("/dev/zero", O_RDONLY); // no close-on-exec
    ASSERT_GE(leaked, 0);
    auto previous = std::signal(SIGPIPE, SIG_IGN);
    testing::EnvironmentGuard env;
    env.set("QV_VALUE", "inherited");

    auto result = runCommand({"sh", "-c",
                              "test -e /proc/self/fd/" + std::to_string(leaked) +
                                  " && echo leaked; printf '%s\\n' \"$QV_VALUE\"; readlink /proc/self/fd/0; "
                                  "sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status"},
                             5s, {"QV_VALUE=replaced"});
    std::signal(SIGPIPE, previous);
    ::close(leaked);

    ASSERT_TRUE(result.succeeded()) << result.errorOutput;
    auto output = testing::lines(result.output);
    ASSERT_EQ(output.size(), 3u) << result.output;
    EXPECT_EQ(output[0], "replaced");
    EXPECT_EQ(output[1], "/dev/null");
    // No ordinary signal stays ignored (the C library's own real-time signals
    // above 31 are its business).
    EXPECT_EQ(std::stoull(output[2], nullptr, 16) & 0x7fffffffULL, 0u) << output[2];
}

TEST(SpawnDetached, ReportsWhyAProgramCannotStart) {
    testing::TempDir temp;
    EXPECT_THAT(failureOf(spawnDetached(temp.path() / "missing")), HasSubstr("No such file or directory"));
    testing::writeFile(temp.path() / "plain", "#!/bin/sh\n", 0644);
    EXPECT_THAT(failureOf(spawnDetached(temp.path() / "plain")), HasSubstr("Permission denied"));
}

TEST(SpawnDetached, StartedProgramRunsOnItsOwn) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    testing::TempDir temp;
    auto marker = temp.path() / "marker";
    auto script = temp.path() / "program";
    testing::writeFile(
        script,
        "#!/bin/sh\nread -r pid comm state ppid pgrp sid rest < /proc/$$/stat\necho \"$1 $sid\" > \"$2\"\n",
        0755);
    ASSERT_TRUE(spawnDetached(script, {"hello", marker.string()}).ok());
    ASSERT_TRUE(
        testing::eventually([&] { return testing::readFile(marker).find('\n') != std::string::npos; }));
    auto text = testing::readFile(marker);
    EXPECT_THAT(text, StartsWith("hello "));
    EXPECT_NE(std::stoi(text.substr(6)), ::getsid(0));
    testing::RegistrationWorld::reapOrphans();
}

// ---- Locations ---------------------------------------------------------------------------

TEST(HostLocation, ConfigFolderIgnoresRelativeXdgValue) {
    testing::EnvironmentGuard env;
    env.set("HOME", "/home/someone");
    env.set("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(userConfigDirectory(), "/cfg");
    env.set("XDG_CONFIG_HOME", "relative/cfg");
    EXPECT_EQ(userConfigDirectory(), "/home/someone/.config");
    env.set("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(userConfigDirectory(), "/home/someone/.config");
}

TEST(HostLocation, ProgramBesideSelfIsInTheExecutablesFolder) {
    auto self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(programBesideSelf("quorvane-host"), self.parent_path() / "quorvane-host");
}

} // namespace
} // namespace quorvane::autostart
