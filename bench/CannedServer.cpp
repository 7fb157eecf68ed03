// quorvane_bench_canned: the floor a stdio MCP server can reach on this
// machine. Answers every input line with one fixed JSON-RPC reply line of the
// asked size, with nothing in between: no parsing, no state, one read and one
// write per line when the line arrives whole.
//
//   quorvane_bench_canned [reply-bytes]    (default 200; at least 64)
//
// Ends at the end of its input or when standard output closes.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

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

bool writeAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
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

} // namespace

int main(int argc, char** argv) {
    constexpr std::size_t smallestReply = 64;
    std::size_t bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    if (bytes < smallestReply) {
        bytes = smallestReply;
    }
    const std::string reply = cannedReply(bytes);

    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return 0;
        }
        // One reply per line feed read.
        for (const char* at = buffer; (at = static_cast<const char*>(
                                           std::memchr(at, '\n', static_cast<std::size_t>(buffer + n - at))));
             ++at) {
            if (!writeAll(reply)) {
                return 0;
            }
        }
    }
}
