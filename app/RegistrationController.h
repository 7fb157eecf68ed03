#pragma once

// Registering the host to start for this user, and the app's headless run.
//
// Two ways are used, picked afresh on every call:
// - a systemd user service, when a systemd user manager answers: the unit
//   file com.zentrafell.quorvane.host.service is written to the user's unit
//   folder, then enabled and started;
// - otherwise an XDG autostart entry com.zentrafell.quorvane.host.desktop
//   for the next login, and the host is started now, detached, unless one
//   already answers.
// A unit the user masked, or an autostart entry the user switched off, is
// never overridden: the outcome is then needsApproval.
//
// All functions are synchronous, keep no state and may be called from any
// thread; they may block for a few seconds (subprocesses and the wait for the
// host are bounded by the timeouts in Options), so a GUI calls them off its
// event thread.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace quorvane::RegistrationController {

inline constexpr std::string_view hostProgramName = "quorvane-host";
inline constexpr std::string_view hostUnitName = "com.zentrafell.quorvane.host.service";
inline constexpr std::string_view hostDesktopEntryName = "com.zentrafell.quorvane.host.desktop";
inline constexpr std::string_view registerAndExitArgument = "--register-and-exit";
inline constexpr std::string_view failureLogPrefix = "Quorvane: autostart registration failed: ";

enum class RegistrationState {
    enabled,       // the host runs and starts at login
    needsApproval, // the user switched the autostart off; see RegistrationStatus::approval
    failed,        // anything else; see RegistrationStatus::description
};

enum class AutostartMechanism {
    systemdUserService,
    xdgAutostartEntry,
};

struct RegistrationStatus {
    RegistrationState state = RegistrationState::failed;
    AutostartMechanism mechanism = AutostartMechanism::xdgAutostartEntry;
    // One or two English sentences for the operator, for every state.
    std::string description;
    // For needsApproval only: what allows the host again. For the systemd
    // service the exact command ("systemctl --user unmask ..."), for the
    // autostart entry the absolute path of the entry file to switch back on
    // (or to delete). Empty in the other states.
    std::string approval;

    bool operator==(const RegistrationStatus&) const = default;
};

struct Options {
    // Answers whether a host answers now; called repeatedly while waiting, so
    // it must return promptly. Empty: hostAnswersAtSocket.
    std::function<bool()> hostAnswers;
    // The host program to register. Empty: quorvane-host in the folder of the
    // running executable.
    std::filesystem::path hostProgram;
    // The systemctl program, looked up through PATH unless it holds a '/'.
    std::string systemctl = "systemctl";
    // How long the user manager may take to answer before the autostart entry
    // is used instead.
    std::chrono::milliseconds managerTimeout{2000};
    // Bound for each status query (is-enabled, is-active).
    std::chrono::milliseconds queryTimeout{2000};
    // Bound for each change (daemon-reload, enable --now).
    std::chrono::milliseconds changeTimeout{5000};
    // How long a freshly started host may take to answer, and how often it is
    // asked (a refused local connection costs microseconds; the bridge that
    // started this run retries as soon as it returns).
    std::chrono::milliseconds hostWait{3000};
    std::chrono::milliseconds probeInterval{5};
    // Receives the failure line of registerQuietly. Empty: syslog(3) at LOG_ERR.
    std::function<void(const std::string&)> logFailure;
    // The name runHeadless puts before its line on standard error.
    std::string programName = "quorvane";
};

// Registers the host (as described at the top of this file) and then reads
// its status afresh. When a step failed and the host is not enabled, the
// description names the step that failed.
[[nodiscard]] RegistrationStatus registerHost(const Options& options = {});

// Reads the status without changing anything and without waiting for the
// host (one probe). For the settings pane.
[[nodiscard]] RegistrationStatus currentStatus(const Options& options = {});

// 0 for enabled, 2 for needsApproval, 1 for failed.
[[nodiscard]] int exitCode(RegistrationState state);

// The headless run: registerHost, then its exit code. When the host is not
// enabled, one line on standard error says why (programName, ": " and the
// description, with the approval for needsApproval); a failure is also logged
// as registerQuietly logs it.
[[nodiscard]] int runHeadless(const Options& options = {});

// registerHost; when the outcome is failed, logs one line: failureLogPrefix
// followed by the description. Nothing else is logged or shown.
void registerQuietly(const Options& options = {});

// True when any argument after the program name equals "--register-and-exit"
// exactly. argv holds argc entries (argv[argc], if present, is not read).
[[nodiscard]] bool wantsHeadlessRun(int argc, const char* const* argv);

// The default host probe: a connection to the host's socket is accepted (or
// queued) by a listener running as our own user.
[[nodiscard]] bool hostAnswersAtSocket();

} // namespace quorvane::RegistrationController
