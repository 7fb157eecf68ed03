#pragma once

// Small helpers shared by the bridge tests: files and pipes. Private folders
// (TempDir) come from the shared test support.

#include <string>
#include <string_view>
#include <vector>

#include "tests/support/TempDir.h"

namespace quorvane::test {

void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
[[nodiscard]] std::string readFile(const std::string& path);

// `count` copies of `c` followed by `tail`.
[[nodiscard]] std::string repeated(char c, std::size_t count, std::string_view tail = {});

// Everything readable from the descriptor until end of file.
[[nodiscard]] std::string readAll(int fd);

// The lines of a text, split at "\n" (a last part without one counts too).
[[nodiscard]] std::vector<std::string> splitLines(const std::string& text);

// A pipe whose ends close with the object.
struct Pipe {
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void closeRead();
    void closeWrite();
    int read = -1;
    int write = -1;
};

} // namespace quorvane::test
