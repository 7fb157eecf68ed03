#pragma once

// Reads the agent's messages from standard input, one line at a time, with
// read(2) into a fixed buffer.

#include <cstddef>
#include <string>
#include <vector>

#include <unistd.h>

namespace quorvane {

// The longest line the bridge forwards, in bytes of UTF-8 without the line
// terminator: the largest message the host accepts.
inline constexpr std::size_t defaultMaxLineBytes = std::size_t{4} << 20;

struct InputLine {
    enum class Kind {
        line,      // text holds the line
        oversized, // a line longer than the limit was read and thrown away
        end,       // end of input (or an error reading it)
    };
    Kind kind = Kind::end;
    std::string text;
};

// Splits a byte stream into lines. A line ends with "\n"; a "\r" right before
// it is removed as well; a last line without a terminator still counts. Bytes
// that are not well-formed UTF-8 become U+FFFD. A line longer than maxLineBytes
// (before or after that replacement) is skipped up to its line feed while
// holding at most maxLineBytes + 1 bytes of it, and reported as oversized.
// Once the end of input is seen, every later call answers end without reading
// again. Not thread-safe; the descriptor is not owned. A descriptor left
// non-blocking is waited on with poll.
class LineReader {
public:
    explicit LineReader(int fd = STDIN_FILENO, std::size_t maxLineBytes = defaultMaxLineBytes);

    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Blocks until a line, an oversized line or the end of input.
    [[nodiscard]] InputLine next();

private:
    // Fills the buffer; false at end of input or on a read error.
    bool fill();
    [[nodiscard]] InputLine finish(std::string line) const;
    [[nodiscard]] static InputLine oversized();

    const int fd_;
    const std::size_t maxLineBytes_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0; // unread bytes are buffer_[begin_, end_)
    std::size_t end_ = 0;
    std::string pending_;     // the start of the current line
    bool discarding_ = false; // inside an oversized line
    bool atEnd_ = false;
};

} // namespace quorvane
