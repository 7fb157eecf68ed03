#pragma once

// Starting the host when it cannot be reached: the operator app's program
// `quorvane`, installed beside the bridge, registers the host for autostart,
// starts it and exits when run with "--register-and-exit". Where only the
// headless programs are installed, quorvanectl beside the bridge does the same
// with the same argument and exit statuses.

#include <chrono>
#include <filesystem>
#include <string_view>

#include "bridge/BridgeOutput.h"

namespace quorvane {

inline constexpr std::string_view registrationProgramName = "quorvane";
inline constexpr std::string_view headlessRegistrationProgramName = "quorvanectl";
inline constexpr std::string_view registerAndExitArgument = "--register-and-exit";

// The bridge's own executable, as the kernel knows it.
inline constexpr std::string_view ownExecutableLink = "/proc/self/exe";

// Resolves `ownExecutable` (following symbolic links) and starts the program
// `quorvane` in the same folder, or `quorvanectl` there when there is no
// `quorvane`, with the single argument
// "--register-and-exit": no shell, standard input and output on /dev/null
// (the bridge's standard output carries protocol lines), standard error
// shared, no other inherited descriptors, default signal handling. Waits for
// it to exit, but not past `deadline` (steady clock); a program still running
// then is reaped by a background thread when it ends, never left a zombie.
// Its exit status is not looked at.
//
// Notes "cannot locate enclosing app bundle for bootstrap" when there is
// neither program, and "bootstrap failed: " + the reason when it cannot be
// started. Blocks the calling thread; safe to call from any thread.
void bootstrapHost(std::chrono::steady_clock::time_point deadline, const NoteFunction& note,
                   const std::filesystem::path& ownExecutable = std::filesystem::path(ownExecutableLink));

} // namespace quorvane
