// The `quorvane` program itself: which arguments start the headless run, and
// the exit codes of that run. The program is copied into a private folder with
// the fake host beside it as quorvane-host, as an installation would have it.

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Subprocess.h"
#include "app/tests/TestSupport.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct ProgramCase {
    std::string name;
    std::string systemctlMode;
    std::vector<std::string> arguments;
    int exitStatus; // of the headless run
    bool headless;  // whether the registration ran at all
};

void PrintTo(const ProgramCase& value, std::ostream* out) {
    *out << value.name;
}

class AppProgram : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(AppProgram, ExitStatusAndMode) {
    const auto& param = GetParam();
    testing::RegistrationWorld world(param.systemctlMode);
    auto folder = world.root() / "installed";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(QUORVANE_APP_PROGRAM, folder / "quorvane");
    std::filesystem::copy_file(QUORVANE_FAKE_HOST, folder / "quorvane-host");

    // No display at all: the headless run must not need one, and a windowed
    // start (in a build with the GUI) fails at once instead of opening a window.
    world.environment().set("DISPLAY", std::nullopt);
    world.environment().set("WAYLAND_DISPLAY", std::nullopt);
    world.environment().set("QT_QPA_PLATFORM", "xcb");

    std::vector<std::string> argv{(folder / "quorvane").string()};
    argv.insert(argv.end(), param.arguments.begin(), param.arguments.end());
    auto result = autostart::runCommand(argv, 60s);

    ASSERT_NE(result.outcome, autostart::CommandResult::Outcome::timedOut);
    ASSERT_NE(result.outcome, autostart::CommandResult::Outcome::notStarted) << result.failure;
    EXPECT_THAT(result.output, IsEmpty());
    if (param.headless) {
        EXPECT_EQ(result.outcome, autostart::CommandResult::Outcome::exited);
        EXPECT_EQ(result.exitStatus, param.exitStatus) << result.errorOutput;
        if (param.exitStatus == 0) {
            EXPECT_THAT(result.errorOutput, IsEmpty());
        } else {
            // The reason, on one line, not only in the system log.
            EXPECT_THAT(result.errorOutput, ::testing::StartsWith("quorvane: "));
            EXPECT_GT(result.errorOutput.size(), std::string("quorvane: \n").size());
            EXPECT_EQ(std::count(result.errorOutput.begin(), result.errorOutput.end(), '\n'), 1)
                << result.errorOutput;
        }
        if (param.systemctlMode == "masked") {
            EXPECT_THAT(result.errorOutput, HasSubstr("systemctl --user unmask"));
        }
        EXPECT_FALSE(world.systemctlCalls().empty());
    } else {
        EXPECT_FALSE(result.succeeded());
        if (!QUORVANE_WINDOWED_APP_BUILD) {
            EXPECT_EQ(result.exitStatus, 1);
            EXPECT_THAT(result.errorOutput, HasSubstr("windowed app is not part of this build"));
            EXPECT_EQ(std::count(result.errorOutput.begin(), result.errorOutput.end(), '\n'), 1);
        }
        EXPECT_TRUE(world.systemctlCalls().empty());
        EXPECT_FALSE(std::filesystem::exists(world.hostReportPath()));
    }
    if (param.systemctlMode == "enabled" && param.headless) {
        EXPECT_THAT(testing::readFile(world.unitFile()),
                    HasSubstr("ExecStart=\"" + (folder / "quorvane-host").string() + "\""));
    }
    if (param.systemctlMode == "down" && param.headless) {
        // The host beside the program was started and is running.
        EXPECT_TRUE(testing::readHostReport(world.hostReportPath()).has_value());
        EXPECT_THAT(testing::readFile(world.desktopEntry()),
                    HasSubstr("Exec=\"" + (folder / "quorvane-host").string() + "\""));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, AppProgram,
    ::testing::Values(ProgramCase{"Enabled", "enabled", {"--register-and-exit"}, 0, true},
                      ProgramCase{
                          "AmongOtherArguments", "enabled", {"-x", "--register-and-exit", "more"}, 0, true},
                      ProgramCase{"Masked", "masked", {"--register-and-exit"}, 2, true},
                      ProgramCase{"Failing", "enable-fails", {"more", "--register-and-exit"}, 1, true},
                      ProgramCase{"AutostartEntry", "down", {"--register-and-exit"}, 0, true},
                      ProgramCase{"LongerLookAlike", "enabled", {"--register-and-exit-now"}, 1, false},
                      ProgramCase{"LookAlikeWithValue", "enabled", {"--register-and-exit=1", "x"}, 1, false},
                      ProgramCase{"NoArguments", "enabled", {}, 1, false}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace quorvane
