#pragma once

// Where the host program and its files are, as seen from the operator app.
//
// All functions read the environment afresh on each call and may be called from
// any thread (as long as no other thread changes the environment meanwhile).

#include <filesystem>
#include <optional>
#include <string_view>

namespace quorvane::autostart {

// The per-user runtime folder the user's service manager uses: $XDG_RUNTIME_DIR
// when set to an absolute path, else /run/user/<uid> when that is a private
// folder of ours (the same rule the transport uses for the host's socket).
// nullopt when neither applies.
[[nodiscard]] std::optional<std::filesystem::path> userRuntimeDirectory();

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config (HOME from the password database when unset).
// Empty when no home folder can be found.
[[nodiscard]] std::filesystem::path userConfigDirectory();

// The absolute path of the program `name` in the folder of the running
// executable (resolved through /proc/self/exe, so symbolic links to the
// executable do not count). Empty when the executable cannot be resolved.
[[nodiscard]] std::filesystem::path programBesideSelf(std::string_view name);

} // namespace quorvane::autostart
