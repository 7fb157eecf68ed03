#pragma once

// The two files that make the host start for the user: a systemd user unit
// and an XDG autostart entry. Pure text functions, thread-safe.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::autostart {

// The systemd user unit that runs `hostProgram` and restarts it when it fails.
// nullopt when the path is not absolute or holds a control character (such a
// path cannot be written safely on one line).
[[nodiscard]] std::optional<std::string> systemdUnitText(const std::filesystem::path& hostProgram);

// The XDG autostart entry that starts `hostProgram` at login. nullopt in the
// same cases as systemdUnitText.
[[nodiscard]] std::optional<std::string> desktopEntryText(const std::filesystem::path& hostProgram);

// True when the text of an autostart entry says the user switched it off:
// "Hidden=true" or "X-GNOME-Autostart-enabled=false" in its [Desktop Entry]
// group (boolean values compared without regard to case).
[[nodiscard]] bool desktopEntryDisabled(std::string_view text);

} // namespace quorvane::autostart
