#include "app/HostLocation.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include "common/transport/RuntimePlaces.h"

namespace quorvane::autostart {

namespace {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
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
    const auto environment = RuntimeEnvironment::current();
    std::string candidate = environment.runUserBase + "/" + std::to_string(environment.uid);
    if (checkPrivateFolder(candidate, environment.uid).ok()) {
        return std::filesystem::path(candidate);
    }
    return std::nullopt;
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
