#pragma once

// Small helpers shared by the bridge tests: long texts, pipes and reading a
// descriptor to its end. Private folders and files come from the shared test
// support.

#include <string>
#include <string_view>
#include <vector>

#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

namespace quorvane::test {

// `count` copies of `c` followed by `tail`.
[[nodiscard]] std::string repeated(char c, std::size_t count, std::string_view tail = {});

// Everything readable from the descriptor until end of file.
[[nodiscard]] std::string readAll(int fd);

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
