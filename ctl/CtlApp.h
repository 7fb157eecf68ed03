#pragma once

// quorvanectl's command line: the subcommands and their options (CLI11),
// `--register-and-exit`, `--help` and `--version`.

namespace quorvane::ctl {

// Runs quorvanectl with its arguments (argv[0] is the program) on the
// process's standard streams and answers the exit status: 0 success,
// 1 failure, 2 a usage error (and, for --register-and-exit and status --start,
// 2 when the host's autostart needs the user's approval). Errors are one line
// on standard error. Call once per process, from its main thread.
[[nodiscard]] int run(int argc, char** argv);

} // namespace quorvane::ctl
