#include "bridge/LineReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <poll.h>

#include "common/Utf8Text.h"

namespace quorvane {
namespace {

constexpr std::size_t readChunk = 64 * 1024;

} // namespace

LineReader::LineReader(int fd, std::size_t maxLineBytes)
    : fd_(fd), maxLineBytes_(maxLineBytes), buffer_(readChunk) {
}

bool LineReader::fill() {
    for (;;) {
        const ssize_t count = ::read(fd_, buffer_.data(), buffer_.size());
        if (count > 0) {
            begin_ = 0;
            end_ = static_cast<std::size_t>(count);
            return true;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd waitFor{fd_, POLLIN, 0};
            if (::poll(&waitFor, 1, -1) < 0 && errno != EINTR) {
                return false;
            }
            continue;
        }
        return false;
    }
}

InputLine LineReader::oversized() {
    return {InputLine::Kind::oversized, {}};
}

InputLine LineReader::finish(std::string line) const {
    if (line.size() > maxLineBytes_) {
        return oversized(); // only a "\r" could have come on top of the limit
    }
    if (!Utf8Text::isValid(line)) {
        line = Utf8Text::sanitize(line);
        if (line.size() > maxLineBytes_) {
            return oversized(); // each replacement takes up to three bytes
        }
    }
    return {InputLine::Kind::line, std::move(line)};
}

InputLine LineReader::next() {
    for (;;) {
        if (begin_ == end_) {
            if (atEnd_ || !fill()) {
                atEnd_ = true;
                if (discarding_) {
                    discarding_ = false;
                    return oversized();
                }
                if (!pending_.empty()) {
                    return finish(std::exchange(pending_, std::string()));
                }
                return {};
            }
        }

        const char* start = buffer_.data() + begin_;
        const std::size_t available = end_ - begin_;
        const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
        const std::size_t segment =
            newline != nullptr ? static_cast<std::size_t>(newline - start) : available;
        begin_ += newline != nullptr ? segment + 1 : segment;

        if (discarding_) {
            if (newline != nullptr) {
                discarding_ = false;
                return oversized();
            }
            continue;
        }
        // Room for the limit plus a "\r" that may belong to the terminator.
        if (pending_.size() + segment > maxLineBytes_ + 1) {
            std::string().swap(pending_);
            if (newline != nullptr) {
                return oversized();
            }
            discarding_ = true;
            continue;
        }
        pending_.append(start, segment);
        if (newline == nullptr) {
            continue;
        }
        std::string line = std::exchange(pending_, std::string());
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return finish(std::move(line));
    }
}

} // namespace quorvane
