// quorvane_bench_canned: the floor a stdio MCP server can reach on this
// machine. Answers every input line with one fixed JSON-RPC reply line of the
// asked size, with nothing in between: no parsing, no state, one read and one
// write per line when the line arrives whole.
//
//   quorvane_bench_canned [reply-bytes]          (default 200; at least 64)
//   quorvane_bench_canned relay [reply-bytes]
//
// With `relay`, the floor of a relay in front of a server: this process
// passes each line over a local stream socket to a canned server in a child
// process and passes its reply back, one thread, blocking reads, nothing
// looked at but line feeds.
//
// Ends at the end of its input or when standard output closes.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// {"jsonrpc":"2.0","id":1,"result":{"pad":"xxx…"}} plus a line feed, `bytes` long.
std::string cannedReply(std::size_t bytes) {
    const std::string head = R"({"jsonrpc":"2.0","id":1,"result":{"pad":")";
    const std::string tail = "\"}}\n";
    std::string reply = head;
    reply.append(bytes - head.size() - tail.size(), 'x');
    reply += tail;
    return reply;
}

bool writeAll(int fd, const char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to `size` bytes; 0 at the end of the input or on an error.
std::size_t readSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

std::size_t lineFeeds(const char* bytes, std::size_t size) {
    std::size_t count = 0;
    for (const char* at = bytes;
         (at = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(bytes + size - at))));
         ++at) {
        ++count;
    }
    return count;
}

// Answers every line read from `in` with `reply` on `out`.
void serve(int in, int out, const std::string& reply) {
    char buffer[65536];
    while (const std::size_t n = readSome(in, buffer, sizeof buffer)) {
        for (std::size_t lines = lineFeeds(buffer, n); lines > 0; --lines) {
            if (!writeAll(out, reply.data(), reply.size())) {
                return;
            }
        }
    }
}

// Passes lines from standard input to the server and its replies back, one
// reply per line before reading more.
void relay(int server) {
    static char buffer[1 << 20];
    while (const std::size_t n = readSome(STDIN_FILENO, buffer, sizeof buffer)) {
        if (!writeAll(server, buffer, n)) {
            return;
        }
        for (std::size_t owed = lineFeeds(buffer, n); owed > 0;) {
            const std::size_t got = readSome(server, buffer, sizeof buffer);
            if (got == 0 || !writeAll(STDOUT_FILENO, buffer, got)) {
                return;
            }
            owed -= std::min(owed, lineFeeds(buffer, got));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const bool relaying = argc > 1 && std::strcmp(argv[1], "relay") == 0;
    const int sizeArgument = relaying ? 2 : 1;
    constexpr std::size_t smallestReply = 64;
    std::size_t bytes = argc > sizeArgument ? std::strtoul(argv[sizeArgument], nullptr, 10) : 200;
    if (bytes < smallestReply) {
        bytes = smallestReply;
    }
    const std::string reply = cannedReply(bytes);
    if (!relaying) {
        serve(STDIN_FILENO, STDOUT_FILENO, reply);
        return 0;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return 1;
    }
    const pid_t server = ::fork();
    if (server < 0) {
        return 1;
    }
    if (server == 0) {
        ::close(pair[0]);
        serve(pair[1], pair[1], reply);
        _exit(0);
    }
    ::close(pair[1]);
    relay(pair[0]);
    ::close(pair[0]);
    ::waitpid(server, nullptr, 0);
    return 0;
}
