#pragma once

// The commands of quorvanectl, each given its parsed options. Every command
// writes its result to the console's output, one error line to its error
// stream ("quorvanectl: " and the reason), and answers the exit status:
// exitSuccess, exitFailure (the host refused, is not running, or the named
// thing does not exist) or exitUsage (a value on the command line is wrong).
//
// Threads: a command runs on the caller's thread; `activity --follow` also
// writes from the connection's transport thread, under its own lock.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "common/transport/ServiceConnection.h"

namespace quorvane::ctl {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

struct Console {
    std::ostream& out;
    std::ostream& err;
    std::istream& in;
    bool inputIsTerminal = false;
    bool outputIsTerminal = false;
    // Where the host is looked for; tests point it at a private runtime folder.
    ConnectionOptions connection;
};

struct StatusOptions {
    bool start = false;
    bool json = false;
};
struct ListOptions {
    bool json = false;
};
struct HistoryOptions {
    std::string account;
    std::optional<std::int64_t> limit;
    std::optional<std::int64_t> before;
    bool json = false;
};
struct EntryOptions {
    std::string account;
    std::string amount;
    std::string memo;
    bool flagged = false; // --bonus for a credit, --penalty for a debit
};
struct EditOptions {
    std::string entry;
    std::optional<std::string> type;
    std::optional<std::string> amount;
    std::optional<std::string> memo;
};
struct DeleteAccountOptions {
    std::string account;
    bool yes = false;
};
struct SettingsOptions {
    std::optional<std::string> unauthenticated; // "on" or "off"
    std::optional<std::string> startingPoints;
    bool json = false;
};
struct ActivityOptions {
    bool follow = false;
    bool json = false;
};
struct ExportOptions {
    std::string format = "json";
    std::optional<std::string> output;
};
struct BackupOptions {
    std::string file;
    bool force = false;
};

[[nodiscard]] int runStatus(Console& console, const StatusOptions& options);
[[nodiscard]] int runAccounts(Console& console, const ListOptions& options);
[[nodiscard]] int runHistory(Console& console, const HistoryOptions& options);
[[nodiscard]] int runCredit(Console& console, const EntryOptions& options);
[[nodiscard]] int runDebit(Console& console, const EntryOptions& options);
[[nodiscard]] int runNote(Console& console, const std::string& account, const std::string& memo);
[[nodiscard]] int runEdit(Console& console, const EditOptions& options);
[[nodiscard]] int runDeleteEntry(Console& console, const std::string& entry);
[[nodiscard]] int runRename(Console& console, const std::string& account, const std::string& label);
[[nodiscard]] int runDeleteAccount(Console& console, const DeleteAccountOptions& options);
[[nodiscard]] int runSettings(Console& console, const SettingsOptions& options);
[[nodiscard]] int runConnections(Console& console, const ListOptions& options);
[[nodiscard]] int runActivity(Console& console, const ActivityOptions& options);
[[nodiscard]] int runExport(Console& console, const ExportOptions& options);
[[nodiscard]] int runBackup(Console& console, const BackupOptions& options);

} // namespace quorvane::ctl
