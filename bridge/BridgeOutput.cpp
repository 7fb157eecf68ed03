#include "bridge/BridgeOutput.h"

#include <cerrno>

#include <poll.h>
#include <sys/uio.h>

namespace quorvane {
namespace {

// Writes the line and a line feed after it, from where they are, retrying
// after signals and waiting out a descriptor that was left non-blocking. False
// on any other error or when nothing moves.
bool writeLineBytes(int fd, std::string_view line) {
    static constexpr char lineFeed = '\n';
    std::size_t done = 0;
    while (done < line.size() + 1) {
        // writev only reads what the vectors point at.
        iovec parts[2];
        int count = 0;
        if (done < line.size()) {
            parts[count++] = {const_cast<char*>(line.data()) + done, line.size() - done};
        }
        parts[count++] = {const_cast<char*>(&lineFeed), 1};
        const ssize_t written = ::writev(fd, parts, count);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd waitFor{fd, POLLOUT, 0};
            if (::poll(&waitFor, 1, -1) < 0 && errno != EINTR) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

} // namespace

StdoutWriter::StdoutWriter(int fd, std::function<void()> onBroken)
    : handle(fd), onBroken_(std::move(onBroken)) {
}

bool StdoutWriter::writeLine(std::string_view line) {
    std::function<void()> report;
    {
        MutexLock guard(lock);
        if (broken_) {
            return false;
        }
        if (writeLineBytes(handle, line)) {
            return true;
        }
        broken_ = true;
        report = std::move(onBroken_);
    }
    if (report) {
        report();
    }
    return false;
}

bool StdoutWriter::broken() const {
    MutexLock guard(lock);
    return broken_;
}

void BridgeNotificationSink::deliverAgentNotification(const std::string& line) {
    writer->writeLine(line);
}

void BridgeNotificationSink::controlEvent(const std::string&) {
}

std::string noteText(std::string_view message) {
    std::string text = "quorvane bridge: ";
    text.append(message);
    text.push_back('\n');
    return text;
}

void note(std::string_view message) {
    const std::string text = noteText(message);
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (written > 0) {
            rest.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return; // nobody reads standard error any more
        }
    }
}

} // namespace quorvane
