#include "common/transport/ServiceManager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvane {

Result<void> notifyServiceManagerReady() {
    const char* variable = std::getenv("NOTIFY_SOCKET");
    if (variable == nullptr || *variable == '\0') {
        return {};
    }
    const std::string name(variable);
    ::unsetenv("NOTIFY_SOCKET");

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@')) {
        return fail("the service manager's socket name is unusable: " + name);
    }
    std::memcpy(address.sun_path, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@') {
        address.sun_path[0] = '\0'; // an abstract name, without a terminating NUL
    } else {
        length += 1;
    }

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return fail(std::string("cannot make a socket for the service manager: ") + std::strerror(errno));
    }
    constexpr std::string_view ready = "READY=1";
    const ssize_t sent = ::sendto(fd, ready.data(), ready.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), length);
    const int error = errno;
    ::close(fd);
    if (sent != static_cast<ssize_t>(ready.size())) {
        return fail("cannot tell the service manager that the host is ready: " +
                    std::string(sent < 0 ? std::strerror(error) : "short write"));
    }
    return {};
}

} // namespace quorvane
