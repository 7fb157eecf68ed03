#include "app/HostLocation.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/ControlProtocol.h"

namespace quorvane::autostart {

namespace {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

// A directory of ours that nobody else may enter, not reached through a link.
bool isPrivateDirectory(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return false;
    }
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

std::filesystem::path homeDirectory() {
    if (auto home = environmentValue("HOME")) {
        return *home;
    }
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && *found->pw_dir != '\0') {
        return found->pw_dir;
    }
    return {};
}

} // namespace

std::optional<std::filesystem::path> userRuntimeDirectory() {
    if (auto runtime = environmentValue("XDG_RUNTIME_DIR"); runtime && runtime->front() == '/') {
        return std::filesystem::path(*runtime);
    }
    std::filesystem::path candidate = "/run/user/" + std::to_string(::getuid());
    if (isPrivateDirectory(candidate)) {
        return candidate;
    }
    return std::nullopt;
}

std::filesystem::path hostSocketPath() {
    const std::string serviceName(quorvaneServiceName);
    if (auto runtime = userRuntimeDirectory()) {
        return *runtime / "quorvane" / serviceName;
    }
    return std::filesystem::path("/tmp/quorvane-" + std::to_string(::getuid())) / serviceName;
}

std::filesystem::path userConfigDirectory() {
    if (auto config = environmentValue("XDG_CONFIG_HOME")) {
        std::filesystem::path path(*config);
        if (path.is_absolute()) {
            return path;
        }
    }
    auto home = homeDirectory();
    if (home.empty()) {
        return {};
    }
    return home / ".config";
}

std::filesystem::path programBesideSelf(std::string_view name) {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !self.is_absolute()) {
        return {};
    }
    return self.parent_path() / name;
}

} // namespace quorvane::autostart
