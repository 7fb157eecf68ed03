#include "app/RegistrationController.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/tests/TestSupport.h"
#include "common/transport/RuntimePlaces.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using RegistrationController::AutostartMechanism;
using RegistrationController::RegistrationState;
using RegistrationController::RegistrationStatus;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::HostReport;
using ::testing::IsEmpty;
using testing::RegistrationWorld;
using ::testing::StartsWith;

const std::string unitName = "com.zentrafell.quorvane.host.service";

// Generous bounds, so that a loaded machine does not change an outcome; the
// tests about timeouts shorten them.
RegistrationController::Options testOptions() {
    RegistrationController::Options options;
    options.hostProgram = QUORVANE_FAKE_HOST;
    options.managerTimeout = 10s;
    options.queryTimeout = 10s;
    options.changeTimeout = 10s;
    options.hostWait = 10s;
    options.probeInterval = 20ms;
    return options;
}

RegistrationController::Options impatientOptions() {
    auto options = testOptions();
    options.managerTimeout = 500ms;
    options.changeTimeout = 500ms;
    options.hostWait = 300ms;
    return options;
}

// A listener on the host's socket, standing for a host that already runs.
class RunningHost {
public:
    RunningHost() {
        auto places = resolveServicePlaces(RuntimeEnvironment::current(), FolderUse::create);
        if (!places.ok()) {
            ADD_FAILURE() << places.error().message;
            return;
        }
        const auto& path = places->socketPath;
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
        EXPECT_EQ(::listen(fd_, 16), 0);
    }
    ~RunningHost() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RunningHost(const RunningHost&) = delete;
    RunningHost& operator=(const RunningHost&) = delete;

private:
    int fd_ = -1;
};

// ---- systemd user service -----------------------------------------------------

struct SystemdCase {
    std::string mode;
    RegistrationState state;
    std::vector<std::string> calls;
    std::string descriptionPart;
};

void PrintTo(const SystemdCase& value, std::ostream* out) {
    *out << value.mode;
}

class SystemdRegistration : public ::testing::TestWithParam<SystemdCase> {};

TEST_P(SystemdRegistration, OutcomeAndCalls) {
    const auto& param = GetParam();
    RegistrationWorld world(param.mode);
    auto status = RegistrationController::registerHost(param.mode.starts_with("hang") ? impatientOptions()
                                                                                      : testOptions());

    EXPECT_EQ(status.state, param.state) << status.description;
    EXPECT_EQ(status.mechanism, AutostartMechanism::systemdUserService);
    EXPECT_THAT(status.description, HasSubstr(param.descriptionPart));
    EXPECT_EQ(world.systemctlCalls(), param.calls);
    // Nothing in the autostart folder, and no host started by hand.
    EXPECT_FALSE(std::filesystem::exists(world.desktopEntry()));
    EXPECT_FALSE(std::filesystem::exists(world.hostReportPath()));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SystemdRegistration,
    ::testing::Values(
        SystemdCase{"enabled",
                    RegistrationState::enabled,
                    {"--user show-environment", "--user is-enabled " + unitName, "--user daemon-reload",
                     "--user enable --now " + unitName, "--user is-enabled " + unitName,
                     "--user is-active " + unitName},
                    "starts at every login"},
        // Masked: never written over, never enabled, never unmasked.
        SystemdCase{"masked",
                    RegistrationState::needsApproval,
                    {"--user show-environment", "--user is-enabled " + unitName},
                    "masked"},
        SystemdCase{"reload-fails",
                    RegistrationState::failed,
                    {"--user show-environment", "--user is-enabled " + unitName, "--user daemon-reload",
                     "--user is-enabled " + unitName},
                    "daemon-reload failed with exit status 1: Failed to reload daemon: Access denied"},
        SystemdCase{"enable-fails",
                    RegistrationState::failed,
                    {"--user show-environment", "--user is-enabled " + unitName, "--user daemon-reload",
                     "--user enable --now " + unitName, "--user is-enabled " + unitName},
                    "enable --now failed with exit status 1: Failed to enable unit: Unit file is broken"},
        SystemdCase{"hang-enable",
                    RegistrationState::failed,
                    {"--user show-environment", "--user is-enabled " + unitName, "--user daemon-reload",
                     "--user enable --now " + unitName, "--user is-enabled " + unitName,
                     "--user is-active " + unitName},
                    "enable --now did not finish within 500 ms"}),
    [](const auto& info) {
        std::string name = info.param.mode;
        std::erase(name, '-');
        return name;
    });

TEST(SystemdRegistrationFiles, UnitFileNamesTheHostBesideTheApp) {
    RegistrationWorld world("enabled");
    ASSERT_EQ(RegistrationController::registerHost(testOptions()).state, RegistrationState::enabled);
    auto text = testing::readFile(world.unitFile());
    EXPECT_THAT(text, HasSubstr("\nExecStart=\"" + std::string(QUORVANE_FAKE_HOST) + "\"\n"));
    EXPECT_THAT(text, HasSubstr("\nRestart=on-failure\n"));
    EXPECT_THAT(text, HasSubstr("\nWantedBy=default.target\n"));
    // Written in one piece: no temporary files left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(world.unitFile().parent_path()), {}), 1);
}

TEST(SystemdRegistrationFiles, MaskLinkInTheUnitFolderIsLeftAlone) {
    // systemctl mask puts a link to /dev/null where the unit file would go;
    // replacing it with our file would lift the user's mask.
    RegistrationWorld world("enabled");
    std::filesystem::create_directories(world.unitFile().parent_path());
    std::filesystem::create_symlink("/dev/null", world.unitFile());

    auto status = RegistrationController::registerHost(testOptions());
    EXPECT_EQ(status.state, RegistrationState::needsApproval);
    EXPECT_EQ(status.approval, "systemctl --user unmask " + unitName);
    EXPECT_EQ(std::filesystem::read_symlink(world.unitFile()), "/dev/null");
    EXPECT_THAT(world.systemctlCalls(), ElementsAre("--user show-environment"));
    EXPECT_EQ(RegistrationController::currentStatus(testOptions()), status);
}

TEST(SystemdRegistrationFiles, HangingCommandIsKilledWithItsChildren) {
    RegistrationWorld world("hang-enable");
    auto status = RegistrationController::registerHost(impatientOptions());
    EXPECT_EQ(status.state, RegistrationState::failed);
    auto sleeper = std::stoi(testing::readFile(world.systemctlLog().string() + ".sleep"));
    // The killed child is an orphan of ours now; it is gone once reaped.
    EXPECT_TRUE(testing::eventually([&] {
        RegistrationWorld::reapOrphans();
        return ::kill(sleeper, 0) != 0;
    })) << "the hanging command's child survived";
}

TEST(SystemdRegistrationFiles, HangingManagerFallsBackToTheAutostartEntry) {
    RegistrationWorld world("hang-manager");
    auto options = testOptions();
    options.managerTimeout = 500ms;
    auto status = RegistrationController::registerHost(options);
    EXPECT_EQ(status.state, RegistrationState::enabled) << status.description;
    EXPECT_EQ(status.mechanism, AutostartMechanism::xdgAutostartEntry);
    EXPECT_THAT(world.systemctlCalls(), ElementsAre("--user show-environment"));
    EXPECT_TRUE(std::filesystem::exists(world.desktopEntry()));
    EXPECT_FALSE(std::filesystem::exists(world.unitFile()));
}

TEST(SystemdRegistrationFiles, EnabledServiceCountsWhenAHostAlreadyAnswers) {
    // A host started earlier holds the single-host lock, so the service's own
    // copy steps aside and the service is not active; the host still runs.
    RegistrationWorld world("enabled-idle");
    {
        RunningHost running;
        auto status = RegistrationController::registerHost(testOptions());
        EXPECT_EQ(status.state, RegistrationState::enabled) << status.description;
    }
    auto status = RegistrationController::currentStatus(testOptions());
    EXPECT_EQ(status.state, RegistrationState::failed);
    EXPECT_THAT(status.description, HasSubstr("enabled but not running (inactive)"));
}

TEST(SystemdStatus, ReadsWithoutChanging) {
    struct Case {
        std::string mode;
        RegistrationState state;
    };
    for (const auto& [mode, state] :
         {Case{"enabled", RegistrationState::enabled}, Case{"masked", RegistrationState::needsApproval},
          Case{"enable-fails", RegistrationState::failed}}) {
        SCOPED_TRACE(mode);
        RegistrationWorld world(mode);
        auto status = RegistrationController::currentStatus(testOptions());
        EXPECT_EQ(status.state, state);
        EXPECT_EQ(status.mechanism, AutostartMechanism::systemdUserService);
        for (const auto& call : world.systemctlCalls()) {
            EXPECT_THAT(call,
                        ::testing::AnyOf(StartsWith("--user show-environment"), StartsWith("--user is-")));
        }
        EXPECT_FALSE(std::filesystem::exists(world.unitFile()));
    }
}

// ---- XDG autostart entry --------------------------------------------------------

TEST(AutostartRegistration, WritesEntryAndStartsHostDetached) {
    RegistrationWorld world("down");
    // A descriptor without close-on-exec, as a careless library might leave
    // one: the host must not inherit it.
    int leaked = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(leaked, 0);

    auto status = RegistrationController::registerHost(testOptions());
    ::close(leaked);

    EXPECT_EQ(status.state, RegistrationState::enabled) << status.description;
    EXPECT_EQ(status.mechanism, AutostartMechanism::xdgAutostartEntry);
    EXPECT_THAT(status.approval, IsEmpty());

    auto entry = testing::readFile(world.desktopEntry());
    EXPECT_THAT(entry, StartsWith("[Desktop Entry]\n"));
    EXPECT_THAT(entry, HasSubstr("\nType=Application\n"));
    EXPECT_THAT(entry, HasSubstr("\nExec=\"" + std::string(QUORVANE_FAKE_HOST) + "\"\n"));
    EXPECT_THAT(entry, HasSubstr("\nX-GNOME-Autostart-enabled=true\n"));
    EXPECT_THAT(entry, HasSubstr("\nNoDisplay=true\n"));

    auto report = testing::readHostReport(world.hostReportPath());
    ASSERT_TRUE(report.has_value());
    EXPECT_NE(report->sid, ::getsid(0)) << "the host stayed in the caller's session";
    EXPECT_EQ(report->cwd, "/");
    std::map<int, std::string> expected{{0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};
    EXPECT_EQ(report->descriptors, expected);
    // Still running after the call returned.
    EXPECT_TRUE(RegistrationController::hostAnswersAtSocket());
    EXPECT_EQ(RegistrationController::currentStatus(testOptions()).state, RegistrationState::enabled);
}

TEST(AutostartRegistration, HostThatAlreadyAnswersIsNotStartedAgain) {
    RegistrationWorld world("down");
    RunningHost running;
    auto status = RegistrationController::registerHost(testOptions());
    EXPECT_EQ(status.state, RegistrationState::enabled) << status.description;
    EXPECT_TRUE(std::filesystem::exists(world.desktopEntry()));
    EXPECT_FALSE(std::filesystem::exists(world.hostReportPath()));
}

TEST(AutostartRegistration, EntrySwitchedOffByTheUserIsRespected) {
    const std::vector<std::string> entries = {
        "[Desktop Entry]\nType=Application\nExec=/old/quorvane-host\nHidden=true\n",
        "[Desktop Entry]\nType=Application\nExec=/old/quorvane-host\nX-GNOME-Autostart-enabled=false\n",
    };
    for (const auto& text : entries) {
        SCOPED_TRACE(text);
        RegistrationWorld world("down");
        testing::writeFile(world.desktopEntry(), text);

        auto status = RegistrationController::registerHost(testOptions());
        EXPECT_EQ(status.state, RegistrationState::needsApproval);
        EXPECT_EQ(status.approval, world.desktopEntry().string());
        EXPECT_THAT(status.description, HasSubstr("switched off"));
        EXPECT_EQ(testing::readFile(world.desktopEntry()), text);
        EXPECT_FALSE(std::filesystem::exists(world.hostReportPath()));
        EXPECT_EQ(RegistrationController::currentStatus(testOptions()), status);
        EXPECT_EQ(RegistrationController::runHeadless(testOptions()), 2);
    }
}

TEST(AutostartRegistration, EnabledEntryIsRewrittenForTheCurrentHost) {
    RegistrationWorld world("down");
    testing::writeFile(world.desktopEntry(), "[Desktop Entry]\nType=Application\nExec=/old/quorvane-host\n");
    ASSERT_EQ(RegistrationController::registerHost(testOptions()).state, RegistrationState::enabled);
    auto entry = testing::readFile(world.desktopEntry());
    EXPECT_THAT(entry, HasSubstr(QUORVANE_FAKE_HOST));
    EXPECT_THAT(entry, ::testing::Not(HasSubstr("/old/")));
}

TEST(AutostartRegistration, FailsWhenTheHostNeverAnswers) {
    RegistrationWorld world("down");
    world.environment().set("QUORVANE_FAKE_HOST_SILENT", "1");
    auto options = impatientOptions();

    auto status = RegistrationController::registerHost(options);
    EXPECT_EQ(status.state, RegistrationState::failed);
    EXPECT_THAT(status.description, HasSubstr("did not answer within 300 ms"));
    EXPECT_TRUE(testing::eventually([&] { return std::filesystem::exists(world.hostReportPath()); }))
        << "the host was not started";
    EXPECT_EQ(RegistrationController::runHeadless(options), 1);
}

TEST(AutostartRegistration, UnwritableEntryFailsButTheHostStillStarts) {
    RegistrationWorld world("down");
    // A file where the autostart folder should be.
    testing::writeFile(world.configHome() / "autostart", "not a folder");

    auto status = RegistrationController::registerHost(testOptions());
    EXPECT_EQ(status.state, RegistrationState::failed);
    EXPECT_THAT(status.description, HasSubstr("autostart"));
    EXPECT_TRUE(RegistrationController::hostAnswersAtSocket());
}

TEST(AutostartRegistration, MissingHostProgramFails) {
    RegistrationWorld world("down");
    auto options = testOptions();
    options.hostProgram = world.root() / "nowhere" / "quorvane-host";
    auto status = RegistrationController::registerHost(options);
    EXPECT_EQ(status.state, RegistrationState::failed);
    EXPECT_THAT(status.description, HasSubstr("Cannot run the host program " + options.hostProgram.string()));
    EXPECT_FALSE(std::filesystem::exists(world.desktopEntry()));
}

TEST(AutostartRegistration, InjectedProbeIsAskedRepeatedly) {
    RegistrationWorld world("down");
    std::atomic<int> asked = 0;
    auto options = testOptions();
    // Answers from the fourth question on: the first is the "already running"
    // check, then the host gets a few tries.
    options.hostAnswers = [&] { return ++asked >= 4; };

    auto status = RegistrationController::registerHost(options);
    EXPECT_EQ(status.state, RegistrationState::enabled) << status.description;
    EXPECT_GE(asked.load(), 4);
    // The probe answered for the host; the host itself reports in its own time.
    EXPECT_TRUE(testing::eventually([&] { return std::filesystem::exists(world.hostReportPath()); }));
}

TEST(AutostartStatus, ReadsWithoutChanging) {
    RegistrationWorld world("down");
    auto status = RegistrationController::currentStatus(testOptions());
    EXPECT_EQ(status.state, RegistrationState::failed);
    EXPECT_THAT(status.description, HasSubstr("no autostart entry"));
    EXPECT_FALSE(std::filesystem::exists(world.desktopEntry()));

    testing::writeFile(world.desktopEntry(), "[Desktop Entry]\nExec=/x\n");
    status = RegistrationController::currentStatus(testOptions());
    EXPECT_EQ(status.state, RegistrationState::failed);
    EXPECT_THAT(status.description, HasSubstr("not running"));
    EXPECT_FALSE(std::filesystem::exists(world.hostReportPath()));
}

// ---- Quiet registration and exit codes --------------------------------------------

TEST(RegisterQuietly, LogsOneLineOnlyWhenRegistrationFails) {
    struct Case {
        std::string mode;
        bool silentHost;
        std::size_t lines;
    };
    for (const auto& [mode, silentHost, expectedLines] :
         {Case{"enable-fails", false, 1}, Case{"enabled", false, 0}, Case{"masked", false, 0},
          Case{"down", true, 1}, Case{"down", false, 0}}) {
        SCOPED_TRACE(mode);
        RegistrationWorld world(mode);
        if (silentHost) {
            world.environment().set("QUORVANE_FAKE_HOST_SILENT", "1");
        }
        std::vector<std::string> logged;
        auto options = testOptions();
        if (silentHost) {
            options.hostWait = 300ms;
        }
        options.logFailure = [&](const std::string& line) { logged.push_back(line); };
        RegistrationController::registerQuietly(options);
        ASSERT_EQ(logged.size(), expectedLines);
        for (const auto& line : logged) {
            EXPECT_THAT(line, StartsWith("Quorvane: autostart registration failed: "));
            EXPECT_GT(line.size(), std::strlen("Quorvane: autostart registration failed: "));
            EXPECT_EQ(line.find('\n'), std::string::npos);
        }
    }
}

TEST(ExitCode, MapsTheThreeOutcomes) {
    EXPECT_EQ(RegistrationController::exitCode(RegistrationState::enabled), 0);
    EXPECT_EQ(RegistrationController::exitCode(RegistrationState::failed), 1);
    EXPECT_EQ(RegistrationController::exitCode(RegistrationState::needsApproval), 2);
}

TEST(HeadlessArgument, RecognisedOnlyAsAWholeArgumentAfterTheProgramName) {
    struct Case {
        std::vector<const char*> argv;
        bool headless;
    };
    const std::vector<Case> cases = {
        {{"quorvane"}, false},
        {{"quorvane", "--register-and-exit"}, true},
        {{"quorvane", "-psn_0_1", "--register-and-exit", "more"}, true},
        {{"quorvane", "--register-and-exit-now"}, false},
        {{"quorvane", "--register-and-exit="}, false},
        {{"quorvane", "-register-and-exit"}, false},
        {{"quorvane", "--REGISTER-AND-EXIT"}, false},
        {{"--register-and-exit"}, false},
    };
    for (const auto& [argv, headless] : cases) {
        EXPECT_EQ(RegistrationController::wantsHeadlessRun(static_cast<int>(argv.size()), argv.data()),
                  headless)
            << ::testing::PrintToString(std::vector<std::string>(argv.begin(), argv.end()));
    }
}

TEST(HostProbe, AnswersOnlyForAListenerOfOurs) {
    RegistrationWorld world("down");
    EXPECT_FALSE(RegistrationController::hostAnswersAtSocket());
    {
        RunningHost running;
        EXPECT_TRUE(RegistrationController::hostAnswersAtSocket());
    }
    // The socket file of a host that went away: nobody listens.
    EXPECT_TRUE(std::filesystem::exists(
        resolveServicePlaces(RuntimeEnvironment::current(), FolderUse::existingOnly)->socketPath));
    EXPECT_FALSE(RegistrationController::hostAnswersAtSocket());
}

} // namespace
} // namespace quorvane
