#include "bridge/tests/BridgeTestSupport.h"

#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace quorvane::test {

std::string repeated(char c, std::size_t count, std::string_view tail) {
    std::string text;
    text.reserve(count + tail.size());
    text.append(count, c);
    text.append(tail);
    return text;
}

std::string readAll(int fd) {
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return out;
        }
    }
}

Pipe::Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    read = fds[0];
    write = fds[1];
}

Pipe::~Pipe() {
    closeRead();
    closeWrite();
}

void Pipe::closeRead() {
    if (read >= 0) {
        ::close(read);
        read = -1;
    }
}

void Pipe::closeWrite() {
    if (write >= 0) {
        ::close(write);
        write = -1;
    }
}

} // namespace quorvane::test
