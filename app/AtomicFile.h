#pragma once

// Replacing a small file so that readers see either the old or the new
// content, never a part of it.

#include <filesystem>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "common/Result.h"

namespace quorvane::autostart {

// Writes `contents` to a temporary file beside `path`, flushes it to disk and
// renames it over `path` (a symbolic link at `path` is replaced, not followed).
// Missing folders on the way are created with mode 0700. Fails with a
// description of what failed; `path` is then unchanged and no temporary file
// is left behind. Thread-safe.
[[nodiscard]] Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                                               mode_t mode = 0644);

} // namespace quorvane::autostart
