#pragma once

// Helpers for the registration tests: a private home and runtime folder, a
// fake systemctl first on PATH, and the report of the fake host.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace quorvane::testing {

// Files and lines (tests/support).
using quorvane::test::readFile;
using quorvane::test::writeFile;

inline std::vector<std::string> lines(const std::string& text) {
    return quorvane::test::splitLines(text);
}

// Asks `condition` until it holds or `limit` has passed (tests/support).
using quorvane::test::eventually;

// A fresh folder under $TMPDIR, removed at the end (tests/support).
class TempDir {
public:
    [[nodiscard]] std::filesystem::path path() const { return dir_.path(); }

private:
    quorvane::test::TempDir dir_{std::string{}, "reg."};
};

// Sets environment variables for the life of the object and puts the old
// values back afterwards.
class EnvironmentGuard {
public:
    EnvironmentGuard() = default;
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;
    ~EnvironmentGuard() {
        for (auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

    void set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// The fake systemctl. Every call is appended to $FAKE_SYSTEMCTL_LOG; its
// behaviour comes from $FAKE_SYSTEMCTL_MODE:
//   down           the user manager does not answer (no bus)
//   hang-manager   show-environment never returns
//   enabled        everything works; the service ends up enabled and active
//   masked         the user masked the service
//   reload-fails   daemon-reload is refused
//   enable-fails   enable --now is refused; the service stays disabled
//   hang-enable    enable --now never returns
//   enabled-idle   enabled, but the service itself is not running
// A command that hangs records the process id of its sleep in
// $FAKE_SYSTEMCTL_LOG.sleep.
inline constexpr const char* fakeSystemctl = R"(#!/bin/sh
printf '%s\n' "$*" >> "$FAKE_SYSTEMCTL_LOG"
mode="$FAKE_SYSTEMCTL_MODE"
if [ "$1" != "--user" ]; then echo "fake systemctl: expected --user" >&2; exit 64; fi
shift
hang() { sleep 60 & echo $! > "$FAKE_SYSTEMCTL_LOG.sleep"; wait; exit 0; }
case "$mode:$1" in
  down:*) echo "Failed to connect to bus: No medium found" >&2; exit 1 ;;
  hang-manager:show-environment) hang ;;
  *:show-environment) echo "HOME=/nowhere"; exit 0 ;;
  reload-fails:daemon-reload) echo "Failed to reload daemon: Access denied" >&2; exit 1 ;;
  *:daemon-reload) exit 0 ;;
  masked:enable) echo "Failed to enable unit: Unit file $3 is masked." >&2; exit 1 ;;
  enable-fails:enable) echo "Failed to enable unit: Unit file is broken" >&2; exit 1 ;;
  hang-enable:enable) hang ;;
  *:enable) exit 0 ;;
  masked:is-enabled) echo masked; exit 1 ;;
  enabled:is-enabled|hang-enable:is-enabled|enabled-idle:is-enabled) echo enabled; exit 0 ;;
  *:is-enabled) echo disabled; exit 1 ;;
  enabled:is-active) echo active; exit 0 ;;
  *:is-active) echo inactive; exit 3 ;;
esac
echo "fake systemctl: unexpected call $*" >&2
exit 1
)";

// What the fake host wrote about itself.
struct HostReport {
    pid_t pid = 0;
    pid_t sid = 0;
    std::string cwd;
    std::map<int, std::string> descriptors; // number -> target
};

inline std::optional<HostReport> readHostReport(const std::filesystem::path& path) {
    if (!std::filesystem::exists(path)) {
        return std::nullopt;
    }
    HostReport report;
    for (const auto& line : lines(readFile(path))) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "pid") {
            fields >> report.pid;
        } else if (key == "sid") {
            fields >> report.sid;
        } else if (key == "cwd") {
            fields >> report.cwd;
        } else if (key == "fd") {
            int number = -1;
            std::string target;
            fields >> number >> target;
            report.descriptors[number] = target;
        }
    }
    return report;
}

// A private world for one test: HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR in
// a temporary folder, the fake systemctl first on PATH, and this process as
// the reaper of every orphan it causes (so detached hosts can be ended and
// reaped at the end).
class RegistrationWorld {
public:
    explicit RegistrationWorld(const std::string& systemctlMode) {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        home_ = temp_.path() / "home";
        config_ = temp_.path() / "config";
        runtime_ = runtimeDir_.path();
        bin_ = temp_.path() / "bin";
        std::filesystem::create_directories(home_);
        std::filesystem::create_directories(runtime_);
        std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
        writeFile(bin_ / "systemctl", fakeSystemctl, 0755);
        env_.set("HOME", home_.string());
        env_.set("XDG_CONFIG_HOME", config_.string());
        env_.set("XDG_RUNTIME_DIR", runtime_.string());
        const char* path = std::getenv("PATH");
        env_.set("PATH", bin_.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
        env_.set("FAKE_SYSTEMCTL_LOG", systemctlLog().string());
        env_.set("FAKE_SYSTEMCTL_MODE", systemctlMode);
        env_.set("QUORVANE_FAKE_HOST_REPORT", hostReportPath().string());
        env_.set("QUORVANE_FAKE_HOST_SILENT", std::nullopt);
    }

    ~RegistrationWorld() {
        if (auto report = readHostReport(hostReportPath()); report && report->pid > 0) {
            ::kill(report->pid, SIGKILL);
        }
        reapOrphans();
    }

    RegistrationWorld(const RegistrationWorld&) = delete;
    RegistrationWorld& operator=(const RegistrationWorld&) = delete;

    // Reaps every finished child or adopted orphan.
    static void reapOrphans() {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    [[nodiscard]] EnvironmentGuard& environment() { return env_; }
    [[nodiscard]] std::filesystem::path root() const { return temp_.path(); }
    [[nodiscard]] std::filesystem::path configHome() const { return config_; }
    [[nodiscard]] std::filesystem::path systemctlLog() const { return temp_.path() / "systemctl.log"; }
    [[nodiscard]] std::filesystem::path hostReportPath() const { return temp_.path() / "host-report"; }
    [[nodiscard]] std::filesystem::path unitFile() const {
        return config_ / "systemd" / "user" / "com.zentrafell.quorvane.host.service";
    }
    [[nodiscard]] std::filesystem::path desktopEntry() const {
        return config_ / "autostart" / "com.zentrafell.quorvane.host.desktop";
    }
    [[nodiscard]] std::vector<std::string> systemctlCalls() const { return lines(readFile(systemctlLog())); }

private:
    TempDir temp_;
    // A socket path must fit in a socket address, with a few bytes to spare;
    // a deep build folder does not leave room for it, so the runtime folder
    // then lies under /tmp.
    quorvane::test::TempDir runtimeDir_ =
        quorvane::test::TempDir::withSocketRoom(quorvane::test::TempDir::serviceSocketRoom() + 7, "qvrt.");
    EnvironmentGuard env_;
    std::filesystem::path home_;
    std::filesystem::path config_;
    std::filesystem::path runtime_;
    std::filesystem::path bin_;
};

} // namespace quorvane::testing
