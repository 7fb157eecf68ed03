#include "tests/support/TempDir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "common/ControlProtocol.h"
#include "common/transport/RuntimePlaces.h"

namespace quorvane::test {

namespace {

std::string makeFolder(const std::string& base, std::string_view prefix) {
    std::string pattern = base + "/" + std::string(prefix) + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed under " + base + ": " + std::strerror(errno));
    }
    return pattern;
}

} // namespace

std::string temporaryBase() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] == '/' ? std::string(tmp) : std::string("/tmp");
}

TempDir::TempDir(const std::string& base, std::string_view prefix)
    : path_(makeFolder(base.empty() ? temporaryBase() : base, prefix)) {
}

TempDir TempDir::withSocketRoom(std::size_t room, std::string_view prefix) {
    TempDir dir(std::string{}, prefix);
    if (dir.path().size() + room <= maxSocketPathLength) {
        return dir;
    }
    return TempDir(Made{}, makeFolder("/tmp", prefix));
}

std::size_t TempDir::serviceSocketRoom() {
    return std::string_view("/quorvane-control/").size() + quorvaneServiceName.size();
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

std::string TempDir::file(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

} // namespace quorvane::test
