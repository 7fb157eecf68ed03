#include "ctl/CtlApp.h"

#include <functional>
#include <iostream>
#include <string>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "app/RegistrationController.h"
#include "common/Records.h"
#include "ctl/Commands.h"
#include "ctl/Text.h"

namespace quorvane::ctl {

namespace {

constexpr std::string_view programName = "quorvanectl";

// CLI11's own failures, as one line with the way to the help.
int usageError(const CLI::App& app, const CLI::ParseError& error) {
    std::string where(programName);
    for (const CLI::App* command : app.get_subcommands()) {
        where += " " + command->get_name();
    }
    std::cerr << programName << ": " << terminalSafe(error.what()) << " (see " << where << " --help)\n";
    return exitUsage;
}

} // namespace

int run(int argc, char** argv) {
    Console console{std::cout, std::cerr, std::cin, ::isatty(STDIN_FILENO) == 1, ::isatty(STDOUT_FILENO) == 1,
                    {}};

    CLI::App app{"Quorvane's operator tool: the agents' points ledger, from the command line.",
                 std::string(programName)};
    app.set_version_flag("--version",
                         std::string(programName) + " " + std::string(QuorvaneVersion::displayString),
                         "Show the version and exit");
    app.require_subcommand(0, 1);
    app.fallthrough(false);
    bool registerAndExit = false;
    app.add_flag("--register-and-exit", registerAndExit,
                 "Register the host to start for this user, start it, and exit: 0 when it runs, 2 when its "
                 "autostart was switched off by the user, 1 otherwise");

    std::function<int()> action;

    StatusOptions status;
    auto* statusCommand =
        app.add_subcommand("status", "Whether the host runs, its version, ledger and registration");
    statusCommand->add_flag("--start", status.start,
                            "Register and start the host first, like --register-and-exit");
    statusCommand->add_flag("--json", status.json, "Write JSON");
    statusCommand->callback([&] { action = [&] { return runStatus(console, status); }; });

    ListOptions accounts;
    auto* accountsCommand = app.add_subcommand("accounts", "The accounts with their balances");
    accountsCommand->add_flag("--json", accounts.json, "Write JSON");
    accountsCommand->callback([&] { action = [&] { return runAccounts(console, accounts); }; });

    HistoryOptions history;
    auto* historyCommand = app.add_subcommand("history", "One account's entries, newest first");
    historyCommand->add_option("ACCOUNT", history.account, "Account id or label")->required();
    historyCommand->add_option("--limit", history.limit, "Show at most N entries")
        ->check(CLI::Range(std::int64_t{1}, std::numeric_limits<std::int64_t>::max()));
    historyCommand
        ->add_option("--before", history.before, "Only entries with a sequence number below SEQUENCE")
        ->check(CLI::Range(std::int64_t{1}, std::numeric_limits<std::int64_t>::max()));
    historyCommand->add_flag("--json", history.json, "Write JSON");
    historyCommand->callback([&] { action = [&] { return runHistory(console, history); }; });

    EntryOptions credit;
    auto* creditCommand = app.add_subcommand("credit", "Add points to an account");
    creditCommand->add_option("ACCOUNT", credit.account, "Account id or label")->required();
    creditCommand->add_option("AMOUNT", credit.amount, "Points, a whole number above 0")->required();
    creditCommand->add_option("--memo", credit.memo, "What the entry is for");
    creditCommand->add_flag("--bonus", credit.flagged, "Mark the credit as a bonus");
    creditCommand->callback([&] { action = [&] { return runCredit(console, credit); }; });

    EntryOptions debit;
    auto* debitCommand = app.add_subcommand("debit", "Take points from an account");
    debitCommand->add_option("ACCOUNT", debit.account, "Account id or label")->required();
    debitCommand->add_option("AMOUNT", debit.amount, "Points, a whole number above 0")->required();
    debitCommand->add_option("--memo", debit.memo, "What the entry is for");
    debitCommand->add_flag("--penalty", debit.flagged, "Mark the debit as a penalty");
    debitCommand->callback([&] { action = [&] { return runDebit(console, debit); }; });

    std::string noteAccount;
    std::string noteMemo;
    auto* noteCommand = app.add_subcommand("note", "Add a note (no points) to an account");
    noteCommand->add_option("ACCOUNT", noteAccount, "Account id or label")->required();
    noteCommand->add_option("MEMO", noteMemo, "The note")->required();
    noteCommand->callback([&] { action = [&] { return runNote(console, noteAccount, noteMemo); }; });

    EditOptions edit;
    auto* editCommand = app.add_subcommand("edit", "Change an entry's type, amount or memo");
    editCommand->add_option("ENTRY", edit.entry, "Entry id")->required();
    editCommand->add_option("--type", edit.type, "credit, bonus, debit, penalty or note")
        ->check(CLI::IsMember({"credit", "bonus", "debit", "penalty", "note"}));
    editCommand->add_option("--amount", edit.amount, "Points, a whole number above 0");
    editCommand->add_option("--memo", edit.memo, "The new memo");
    editCommand->callback([&] { action = [&] { return runEdit(console, edit); }; });

    std::string deletedEntry;
    auto* deleteEntryCommand = app.add_subcommand("delete-entry", "Delete one entry");
    deleteEntryCommand->add_option("ENTRY", deletedEntry, "Entry id")->required();
    deleteEntryCommand->callback([&] { action = [&] { return runDeleteEntry(console, deletedEntry); }; });

    std::string renamedAccount;
    std::string newLabel;
    auto* renameCommand = app.add_subcommand("rename", "Change an account's label");
    renameCommand->add_option("ACCOUNT", renamedAccount, "Account id or label")->required();
    renameCommand->add_option("LABEL", newLabel, "The new label")->required();
    renameCommand->callback([&] { action = [&] { return runRename(console, renamedAccount, newLabel); }; });

    DeleteAccountOptions deleteAccount;
    auto* deleteAccountCommand = app.add_subcommand(
        "delete-account", "Delete an account and all its entries (asks first on a terminal)");
    deleteAccountCommand->add_option("ACCOUNT", deleteAccount.account, "Account id or label")->required();
    deleteAccountCommand->add_flag("--yes,-y", deleteAccount.yes, "Do not ask");
    deleteAccountCommand->callback(
        [&] { action = [&] { return runDeleteAccount(console, deleteAccount); }; });

    SettingsOptions settings;
    auto* settingsCommand = app.add_subcommand("settings", "Show or change the host's two settings");
    settingsCommand
        ->add_option("--unauthenticated", settings.unauthenticated,
                     "Admit agents that have not signed up: on or off")
        ->check(CLI::IsMember({"on", "off"}));
    settingsCommand->add_option("--starting-points", settings.startingPoints,
                                "Points a new account starts with");
    settingsCommand->add_flag("--json", settings.json, "Write JSON");
    settingsCommand->callback([&] { action = [&] { return runSettings(console, settings); }; });

    ListOptions connections;
    auto* connectionsCommand = app.add_subcommand("connections", "The agents connected now");
    connectionsCommand->add_flag("--json", connections.json, "Write JSON");
    connectionsCommand->callback([&] { action = [&] { return runConnections(console, connections); }; });

    ActivityOptions activity;
    auto* activityCommand =
        app.add_subcommand("activity", "The log of the agents' requests and the host's replies");
    activityCommand->add_flag("--follow,-f", activity.follow,
                              "Go on writing new lines as they come, until interrupted");
    activityCommand->add_flag("--json", activity.json, "Write JSON (with -f: one object per line)");
    activityCommand->callback([&] { action = [&] { return runActivity(console, activity); }; });

    ExportOptions exportOptions;
    auto* exportCommand = app.add_subcommand("export", "The whole ledger: accounts and entries");
    exportCommand->add_option("--format", exportOptions.format, "json (the default) or csv")
        ->check(CLI::IsMember({"json", "csv"}));
    exportCommand->add_option("--output,-o", exportOptions.output,
                              "Write to FILE instead of standard output");
    exportCommand->callback([&] { action = [&] { return runExport(console, exportOptions); }; });

    BackupOptions backup;
    auto* backupCommand =
        app.add_subcommand("backup", "A consistent copy of the live ledger, made by the host");
    backupCommand->add_option("FILE", backup.file, "Where the copy goes")->required();
    backupCommand->add_flag("--force", backup.force, "Replace FILE when it exists");
    backupCommand->callback([&] { action = [&] { return runBackup(console, backup); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return exitSuccess;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return exitSuccess;
    } catch (const CLI::CallForVersion& version) {
        std::cout << version.what() << '\n';
        return exitSuccess;
    } catch (const CLI::ParseError& error) {
        return usageError(app, error);
    }

    if (registerAndExit) {
        if (action) {
            std::cerr << programName << ": --register-and-exit takes no command\n";
            return exitUsage;
        }
        RegistrationController::Options options;
        options.programName = programName;
        return RegistrationController::runHeadless(options);
    }
    if (!action) {
        std::cerr << programName << ": a command is needed (see " << programName << " --help)\n";
        return exitUsage;
    }
    return action();
}

} // namespace quorvane::ctl
