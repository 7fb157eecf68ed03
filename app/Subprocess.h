#pragma once

// Starting other programs without a shell: a bounded run whose output is
// captured, and a detached start for a background program.
//
// Both functions are thread-safe and leave no child behind: every process they
// create is reaped (or, for the detached start, handed to the system).

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Result.h"

namespace quorvane::autostart {

struct CommandResult {
    enum class Outcome {
        exited,     // exitStatus holds the status
        signalled,  // ended by a signal
        timedOut,   // still running at the deadline; its process group was killed
        notStarted, // could not be started; failure says why
    };
    Outcome outcome = Outcome::notStarted;
    int exitStatus = -1;
    std::string output;      // standard output, at most maxCapturedOutput bytes
    std::string errorOutput; // standard error, at most maxCapturedOutput bytes
    std::string failure;

    [[nodiscard]] bool succeeded() const { return outcome == Outcome::exited && exitStatus == 0; }
};

inline constexpr std::size_t maxCapturedOutput = 64 * 1024;

// Runs argv[0] (looked up through PATH unless it contains a '/') with the
// argument vector argv. The child gets standard input on /dev/null, its own
// process group, default signal handling, no descriptors but 0, 1 and 2, and
// the inherited environment with `environmentOverrides` ("NAME=value") put in
// place. Waits at most `timeout`; then the child's whole process group is
// killed with SIGKILL and the result is timedOut. argv must not be empty.
[[nodiscard]] CommandResult runCommand(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds timeout,
                                       const std::vector<std::string>& environmentOverrides = {});

// Starts `program` (an absolute path) with `arguments` detached from the
// caller: in a new session, not a child of the caller (double fork), with
// standard input, output and error on /dev/null, no other descriptors,
// default signal handling and "/" as working folder. Succeeds when the
// program was executed, else fails with a description of what failed.
[[nodiscard]] Result<void> spawnDetached(const std::filesystem::path& program,
                                         const std::vector<std::string>& arguments = {});

} // namespace quorvane::autostart
