// A stand-in for quorvane-host in the registration tests. It writes what it
// sees of its own start (process ids, session, standard streams, open
// descriptors) to the file named by QUORVANE_FAKE_HOST_REPORT, then listens on
// the host's socket until it is ended, its socket file is removed or a minute
// has passed. With QUORVANE_FAKE_HOST_SILENT set it writes the report and exits
// without listening.

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/AtomicFile.h"
#include "common/transport/RuntimePlaces.h"

namespace {

std::string describeDescriptors() {
    std::string text;
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return "fds unreadable\n";
    }
    while (dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == ::dirfd(folder)) {
            continue;
        }
        std::error_code error;
        auto target = std::filesystem::read_symlink(std::string("/proc/self/fd/") + entry->d_name, error);
        text += "fd " + std::string(entry->d_name) + " " + target.string() + "\n";
    }
    ::closedir(folder);
    return text;
}

} // namespace

int main() {
    const char* reportPath = std::getenv("QUORVANE_FAKE_HOST_REPORT");
    std::string report = "pid " + std::to_string(::getpid()) + "\n" + "ppid " + std::to_string(::getppid()) +
                         "\n" + "sid " + std::to_string(::getsid(0)) + "\n" + "cwd " +
                         std::filesystem::current_path().string() + "\n" + describeDescriptors();
    if (reportPath != nullptr) {
        if (!quorvane::autostart::writeFileAtomically(reportPath, report)) {
            return 3;
        }
    }
    if (std::getenv("QUORVANE_FAKE_HOST_SILENT") != nullptr) {
        return 0;
    }

    // Only inside the test's own runtime folder: once the test has removed
    // it, a late start must not recreate it.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || !std::filesystem::is_directory(runtime)) {
        return 5;
    }
    auto places =
        quorvane::resolveServicePlaces(quorvane::RuntimeEnvironment::current(), quorvane::FolderUse::create);
    if (!places.ok()) {
        return 5;
    }
    const std::string path = places->socketPath;
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0) {
        return 4;
    }
    // Serve until the socket file goes away with the test's folder, or a
    // minute has passed: a test that fails early leaves nothing running.
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < end) {
        pollfd watched{listener, POLLIN, 0};
        if (::poll(&watched, 1, 100) > 0) {
            int peer = ::accept(listener, nullptr, nullptr);
            if (peer >= 0) {
                ::close(peer);
            }
        }
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            break;
        }
    }
    return 0;
}
