#include "common/transport/tests/TestSupport.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvane::test {

TempDir runtimeFolder() {
    return TempDir::withSocketRoom(
        std::string_view("/run-user/4294967295").size() + TempDir::serviceSocketRoom(), "rt");
}

int connectRaw(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{};
    tv.tv_sec = guardTimeout.count();
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

bool readsUntilClosed(int fd, bool dataAllowed) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            return true;
        }
        if (n > 0) {
            if (!dataAllowed) {
                return false;
            }
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == ECONNRESET; // a reset is a close too; a time-out is not
    }
}

std::string rawHeader(std::uint32_t length, std::uint8_t kind, std::uint8_t operation, std::uint8_t flags,
                      std::uint8_t version, std::uint64_t callId) {
    std::string header(frameHeaderSize, '\0');
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<char>((length >> (8 * i)) & 0xff);
    }
    header[4] = static_cast<char>(kind);
    header[5] = static_cast<char>(operation);
    header[6] = static_cast<char>(flags);
    header[7] = static_cast<char>(version);
    for (int i = 0; i < 8; ++i) {
        header[8 + i] = static_cast<char>((callId >> (8 * i)) & 0xff);
    }
    return header;
}

std::string peerProgram(const std::string& flavour) {
    return std::string(QUORVANE_TEST_PEER_DIR) + "/transport_peer_" + flavour;
}

} // namespace quorvane::test
