#include "bridge/tests/BridgeTestSupport.h"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::test {

void writeFile(const std::string& path, const std::string& bytes, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
    }
    ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
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
