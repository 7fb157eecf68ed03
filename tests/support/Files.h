#pragma once

// Whole files and lines of text for the tests. Not thread-safe for the same
// file; otherwise no shared state.

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quorvane::test {

// Writes `bytes` to the file at `path` (making its folder first), replacing
// what was there, and gives it `mode`. Throws std::runtime_error when it
// cannot be written.
void writeFile(const std::filesystem::path& path, const std::string& bytes, mode_t mode = 0644);

// Everything in the file at `path`; empty when it cannot be read.
[[nodiscard]] std::string readFile(const std::filesystem::path& path);

// The lines of a text, split at "\n" (a last part without one counts too).
[[nodiscard]] std::vector<std::string> splitLines(const std::string& text);

} // namespace quorvane::test
