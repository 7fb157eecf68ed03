#pragma once

#include <string>

namespace quorvane {

// A fresh random (version 4) UUID in upper-case hyphenated text,
// 8-4-4-4-12 hexadecimal digits. Thread-safe.
[[nodiscard]] std::string newUuidString();

} // namespace quorvane
