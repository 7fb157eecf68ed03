#include "app/RegistrationController.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "app/AtomicFile.h"
#include "app/AutostartFiles.h"
#include "app/HostLocation.h"
#include "app/Subprocess.h"
#include "common/transport/RuntimePlaces.h"

namespace quorvane::RegistrationController {

namespace {

using namespace std::chrono_literals;
using autostart::CommandResult;
using Clock = std::chrono::steady_clock;

std::string errorText(int error) {
    std::array<char, 256> buffer{};
    return ::strerror_r(error, buffer.data(), buffer.size());
}

std::string milliseconds(std::chrono::milliseconds duration) {
    return std::to_string(duration.count()) + " ms";
}

RegistrationStatus makeStatus(RegistrationState state, AutostartMechanism mechanism, std::string description,
                              std::string approval = {}) {
    return RegistrationStatus{state, mechanism, std::move(description), std::move(approval)};
}

std::function<bool()> probeOf(const Options& options) {
    if (options.hostAnswers) {
        return options.hostAnswers;
    }
    return hostAnswersAtSocket;
}

// Asks the probe until it answers yes or `wait` has passed.
bool waitForHost(const std::function<bool()>& probe, const Options& options) {
    const auto deadline = Clock::now() + options.hostWait;
    for (;;) {
        if (probe()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(options.probeInterval, deadline - Clock::now()));
    }
}

std::string firstLine(const std::string& text) {
    auto line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

// ---- systemd user service -----------------------------------------------------

class Systemctl {
public:
    explicit Systemctl(const Options& options) : options_(options) {
        // A bridge started by an MCP client has a stripped environment; systemctl
        // finds the user manager through XDG_RUNTIME_DIR, so supply the
        // per-user runtime folder when it is missing.
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime == nullptr || *runtime == '\0') {
            if (auto folder = autostart::userRuntimeDirectory()) {
                environment_.push_back("XDG_RUNTIME_DIR=" + folder->string());
            }
        }
    }

    [[nodiscard]] CommandResult run(std::vector<std::string> arguments,
                                    std::chrono::milliseconds timeout) const {
        arguments.insert(arguments.begin(), {options_.systemctl, "--user"});
        return autostart::runCommand(arguments, timeout, environment_);
    }

    [[nodiscard]] static std::string describeFailure(const std::string& what, const CommandResult& result,
                                                     std::chrono::milliseconds timeout) {
        switch (result.outcome) {
        case CommandResult::Outcome::notStarted:
            return result.failure;
        case CommandResult::Outcome::timedOut:
            return what + " did not finish within " + milliseconds(timeout);
        case CommandResult::Outcome::signalled:
            return what + " was ended by a signal";
        case CommandResult::Outcome::exited:
            break;
        }
        std::string description = what + " failed with exit status " + std::to_string(result.exitStatus);
        if (auto detail = firstLine(result.errorOutput); !detail.empty()) {
            description += ": " + detail;
        }
        return description;
    }

private:
    const Options& options_;
    std::vector<std::string> environment_;
};

bool userManagerAnswers(const Systemctl& systemctl, const Options& options) {
    return systemctl.run({"show-environment"}, options.managerTimeout).succeeded();
}

std::filesystem::path unitPath() {
    auto config = autostart::userConfigDirectory();
    if (config.empty()) {
        return {};
    }
    return config / "systemd" / "user" / std::string(hostUnitName);
}

// A unit file that is a link to /dev/null or empty is how systemd records a mask.
bool unitFileMasked(const std::filesystem::path& path) {
    if (path.empty()) {
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        std::error_code error;
        return std::filesystem::read_symlink(path, error) == "/dev/null";
    }
    return S_ISREG(info.st_mode) && info.st_size == 0;
}

RegistrationStatus maskedStatus() {
    return makeStatus(RegistrationState::needsApproval, AutostartMechanism::systemdUserService,
                      "The user service " + std::string(hostUnitName) +
                          " is masked, so the host may not start. Unmask it to allow the host.",
                      "systemctl --user unmask " + std::string(hostUnitName));
}

RegistrationStatus systemdFailure(std::string description) {
    return makeStatus(RegistrationState::failed, AutostartMechanism::systemdUserService,
                      std::move(description));
}

// The unit's is-enabled word ("enabled", "masked", ...), or why systemctl gave none.
Result<std::string> enabledState(const Systemctl& systemctl, const Options& options) {
    auto result = systemctl.run({"is-enabled", std::string(hostUnitName)}, options.queryTimeout);
    if (result.outcome != CommandResult::Outcome::exited) {
        return fail(Systemctl::describeFailure("systemctl --user is-enabled", result, options.queryTimeout));
    }
    return firstLine(result.output);
}

// Whether the user masked the unit, in its file or as systemctl tells.
bool unitMasked(const Systemctl& systemctl, const Options& options) {
    if (unitFileMasked(unitPath())) {
        return true;
    }
    const Result<std::string> state = enabledState(systemctl, options);
    return state && (*state == "masked" || *state == "masked-runtime");
}

RegistrationStatus systemdStatus(const Systemctl& systemctl, const Options& options) {
    if (unitFileMasked(unitPath())) {
        return maskedStatus();
    }
    const Result<std::string> enabled = enabledState(systemctl, options);
    if (enabled && (*enabled == "masked" || *enabled == "masked-runtime")) {
        return maskedStatus();
    }
    if (!enabled || *enabled != "enabled") {
        const std::string said = enabled ? *enabled : enabled.error().message;
        return systemdFailure("The user service " + std::string(hostUnitName) + " is not enabled (" +
                              (said.empty() ? std::string("no answer") : said) + ").");
    }
    auto active = systemctl.run({"is-active", std::string(hostUnitName)}, options.queryTimeout);
    auto activeState = firstLine(active.output);
    // A host that is already running on its own also counts: the service's own
    // copy then steps aside.
    if (activeState == "active" || probeOf(options)()) {
        return makeStatus(RegistrationState::enabled, AutostartMechanism::systemdUserService,
                          "The host runs as the user service " + std::string(hostUnitName) +
                              " and starts at every login.");
    }
    if (active.outcome != CommandResult::Outcome::exited) {
        return systemdFailure(
            Systemctl::describeFailure("systemctl --user is-active", active, options.queryTimeout) + ".");
    }
    return systemdFailure("The user service " + std::string(hostUnitName) + " is enabled but not running (" +
                          (activeState.empty() ? std::string("no answer") : activeState) + ").");
}

// The changes, once the unit is known not to be masked; fails with the
// description of the step that failed.
Result<void> registerSystemdService(const Systemctl& systemctl, const Options& options,
                                    const std::filesystem::path& host) {
    auto path = unitPath();
    if (path.empty()) {
        return fail("cannot find the home folder");
    }
    auto text = autostart::systemdUnitText(host);
    if (!text) {
        return fail("the host program's path cannot be written into a unit file: " + host.string());
    }
    if (Result<void> written = autostart::writeFileAtomically(path, *text); !written) {
        return written;
    }
    auto reload = systemctl.run({"daemon-reload"}, options.changeTimeout);
    if (!reload.succeeded()) {
        return fail(
            Systemctl::describeFailure("systemctl --user daemon-reload", reload, options.changeTimeout));
    }
    auto enable = systemctl.run({"enable", "--now", std::string(hostUnitName)}, options.changeTimeout);
    if (!enable.succeeded()) {
        return fail(
            Systemctl::describeFailure("systemctl --user enable --now", enable, options.changeTimeout));
    }
    return {};
}

// ---- XDG autostart entry --------------------------------------------------------

std::filesystem::path desktopEntryPath() {
    auto config = autostart::userConfigDirectory();
    if (config.empty()) {
        return {};
    }
    return config / "autostart" / std::string(hostDesktopEntryName);
}

enum class EntryState { missing, enabled, disabled };

EntryState readEntryState(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return EntryState::missing;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return autostart::desktopEntryDisabled(text.str()) ? EntryState::disabled : EntryState::enabled;
}

RegistrationStatus entryDisabledStatus(const std::filesystem::path& path) {
    return makeStatus(RegistrationState::needsApproval, AutostartMechanism::xdgAutostartEntry,
                      "The autostart entry " + path.string() +
                          " is switched off, so the host may not start. Switch it on in the desktop's "
                          "startup applications, or delete the file.",
                      path.string());
}

RegistrationStatus entryFailure(std::string description) {
    return makeStatus(RegistrationState::failed, AutostartMechanism::xdgAutostartEntry,
                      std::move(description));
}

RegistrationStatus autostartStatus(const Options& options) {
    auto path = desktopEntryPath();
    if (path.empty()) {
        return entryFailure("Cannot find the home folder.");
    }
    switch (readEntryState(path)) {
    case EntryState::disabled:
        return entryDisabledStatus(path);
    case EntryState::missing:
        return entryFailure("There is no autostart entry " + path.string() + ".");
    case EntryState::enabled:
        break;
    }
    if (!probeOf(options)()) {
        return entryFailure("The autostart entry " + path.string() +
                            " is in place, but the host is not running.");
    }
    return makeStatus(RegistrationState::enabled, AutostartMechanism::xdgAutostartEntry,
                      "The host is running and starts at every login through " + path.string() + ".");
}

// The changes, once the entry is known not to be switched off; fails with the
// description of the step that failed. The host is started for this session
// even when the entry could not be written.
Result<void> registerAutostartEntry(const Options& options, const std::filesystem::path& host) {
    auto path = desktopEntryPath();
    if (path.empty()) {
        return fail("cannot find the home folder");
    }
    Result<void> written;
    if (auto text = autostart::desktopEntryText(host); !text) {
        written = fail("the host program's path cannot be written into an autostart entry: " + host.string());
    } else {
        written = autostart::writeFileAtomically(path, *text);
    }

    auto probe = probeOf(options);
    if (probe()) {
        return written;
    }
    if (Result<void> started = autostart::spawnDetached(host); !started) {
        return started;
    }
    if (!waitForHost(probe, options) && written) {
        return fail("the host was started but did not answer within " + milliseconds(options.hostWait));
    }
    return written;
}

std::string capitalised(std::string text) {
    if (!text.empty() && text.front() >= 'a' && text.front() <= 'z') {
        text.front() = static_cast<char>(text.front() - 'a' + 'A');
    }
    if (!text.empty() && text.back() != '.') {
        text += '.';
    }
    return text;
}

} // namespace

RegistrationStatus registerHost(const Options& options) {
    Systemctl systemctl(options);
    const bool useSystemd = userManagerAnswers(systemctl, options);
    const auto mechanism =
        useSystemd ? AutostartMechanism::systemdUserService : AutostartMechanism::xdgAutostartEntry;

    auto host =
        options.hostProgram.empty() ? autostart::programBesideSelf(hostProgramName) : options.hostProgram;
    if (host.empty()) {
        return makeStatus(RegistrationState::failed, mechanism,
                          "Cannot find the host program: the running program's location is unknown.");
    }
    if (::access(host.c_str(), X_OK) != 0) {
        return makeStatus(RegistrationState::failed, mechanism,
                          "Cannot run the host program " + host.string() + ": " + errorText(errno) + ".");
    }

    // The user's choice stands: a masked unit or a switched-off entry is
    // neither rewritten nor started.
    if (useSystemd && unitMasked(systemctl, options)) {
        return maskedStatus();
    }
    if (!useSystemd) {
        if (auto path = desktopEntryPath(); !path.empty() && readEntryState(path) == EntryState::disabled) {
            return entryDisabledStatus(path);
        }
    }
    const Result<void> changed =
        useSystemd ? registerSystemdService(systemctl, options, host) : registerAutostartEntry(options, host);
    auto status = useSystemd ? systemdStatus(systemctl, options) : autostartStatus(options);
    if (status.state == RegistrationState::failed && !changed) {
        status.description = capitalised(changed.error().message);
    }
    return status;
}

RegistrationStatus currentStatus(const Options& options) {
    Systemctl systemctl(options);
    if (userManagerAnswers(systemctl, options)) {
        return systemdStatus(systemctl, options);
    }
    return autostartStatus(options);
}

int exitCode(RegistrationState state) {
    switch (state) {
    case RegistrationState::enabled:
        return 0;
    case RegistrationState::needsApproval:
        return 2;
    case RegistrationState::failed:
        break;
    }
    return 1;
}

namespace {

// One line, whatever a path or a tool's message held.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = ' ';
        }
    }
    return text;
}

void logFailure(const Options& options, const RegistrationStatus& status) {
    std::string line = oneLine(std::string(failureLogPrefix) + status.description);
    if (options.logFailure) {
        options.logFailure(line);
    } else {
        ::syslog(LOG_USER | LOG_ERR, "%s", line.c_str());
    }
}

} // namespace

int runHeadless(const Options& options) {
    auto status = registerHost(options);
    if (status.state != RegistrationState::enabled) {
        std::string reason = status.description;
        if (status.state == RegistrationState::needsApproval && !status.approval.empty()) {
            reason += " To allow it: " + status.approval;
        }
        std::fprintf(stderr, "%s: %s\n", oneLine(options.programName).c_str(), oneLine(reason).c_str());
    }
    if (status.state == RegistrationState::failed) {
        logFailure(options, status);
    }
    return exitCode(status.state);
}

void registerQuietly(const Options& options) {
    auto status = registerHost(options);
    if (status.state == RegistrationState::failed) {
        logFailure(options, status);
    }
}

bool wantsHeadlessRun(int argc, const char* const* argv) {
    for (int index = 1; index < argc; ++index) {
        if (argv[index] != nullptr && std::string_view(argv[index]) == registerAndExitArgument) {
            return true;
        }
    }
    return false;
}

bool hostAnswersAtSocket() {
    // Only checks the folders; a missing or unsafe one means no host answers.
    const auto places = resolveServicePlaces(RuntimeEnvironment::current(), FolderUse::existingOnly);
    if (!places.ok()) {
        return false;
    }
    const std::string& path = places->socketPath;
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    bool answers = false;
    const int connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int connectError = connected == 0 ? 0 : errno;
    // Only a listener of our own user counts; a socket planted by someone else
    // is not our host.
    if (connected == 0) {
        ucred peer{};
        socklen_t size = sizeof peer;
        answers = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::getuid();
    } else if (connectError == EAGAIN) {
        // A listener with a full backlog: judge by who bound the socket.
        struct stat info {};
        answers = ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == ::getuid();
    }
    ::close(fd);
    return answers;
}

} // namespace quorvane::RegistrationController
