// quorvanectl as the operator runs it: the real program against the real host
// and bridge, each test in its own private runtime, data and home folders.

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "common/Json.h"
#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"
#include "tests/support/Files.h"

namespace quorvane::e2e {
namespace {

namespace fs = std::filesystem;

std::string ctlProgram() {
    return QUORVANE_CTL_PROGRAM;
}

struct CtlRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs quorvanectl to its end with `input` on standard input.
CtlRun runCtl(Sandbox& sandbox, std::vector<std::string> arguments, const std::string& input = {}) {
    arguments.insert(arguments.begin(), ctlProgram());
    auto child = sandbox.start(std::move(arguments));
    if (!input.empty()) {
        child->write(input);
    }
    child->closeInput();
    CtlRun run;
    run.out = child->readRemainingOutput();
    run.status = child->waitForExit().value_or(-1);
    run.err = child->errorOutput();
    return run;
}

Json jsonOf(const CtlRun& run) {
    auto parsed = parseJson(run.out, JsonTopLevel::anyValue);
    EXPECT_TRUE(parsed.has_value()) << run.out << run.err;
    return parsed ? *parsed : Json();
}

// One error line, naming the program.
::testing::AssertionResult oneErrorLine(const CtlRun& run, std::string_view part) {
    const auto lines = test::splitLines(run.err);
    if (lines.size() != 1 || run.err.back() != '\n' || run.err.rfind("quorvanectl: ", 0) != 0 ||
        run.err.find(part) == std::string::npos) {
        return ::testing::AssertionFailure() << "standard error: " << run.err;
    }
    return ::testing::AssertionSuccess();
}

class CtlTest : public ::testing::Test {
protected:
    void SetUp() override {
        host = sandbox.startHost();
        ASSERT_NE(host, nullptr);
        control = std::make_unique<ControlClient>(sandbox);
    }

    // An agent whose client calls itself `name`: the host makes its account
    // at initialize (unauthenticated agents are admitted by default).
    std::unique_ptr<Child> agent(const std::string& name) {
        auto bridge = sandbox.startBridge();
        EXPECT_TRUE(bridge->writeLine(initializeLine(1, name)));
        EXPECT_TRUE(bridge->readLine().has_value()) << bridge->errorOutput();
        return bridge;
    }

    std::string accountIdOf(const std::string& label) {
        for (const auto& account : control->snapshot().accounts) {
            if (account.displayName == label) {
                return account.id;
            }
        }
        ADD_FAILURE() << "no account " << label;
        return {};
    }

    CtlRun ctl(std::vector<std::string> arguments, const std::string& input = {}) {
        return runCtl(sandbox, std::move(arguments), input);
    }

    Sandbox sandbox;
    std::unique_ptr<Child> host;
    std::unique_ptr<ControlClient> control;
};

TEST_F(CtlTest, CreditDebitAndNoteLandInTheHistoryNewestFirst) {
    agent("writer");
    const std::string id = accountIdOf("writer");

    CtlRun credit = ctl({"credit", "writer", "250", "--memo", "fixed the build", "--bonus"});
    EXPECT_EQ(credit.status, 0) << credit.err;
    EXPECT_EQ(ctl({"debit", id, "+40", "--penalty"}).status, 0);
    EXPECT_EQ(ctl({"note", "writer", "watch this one"}).status, 0);

    const Json history = jsonOf(ctl({"history", "writer", "--json"}));
    EXPECT_EQ(history["account"]["id"], id);
    EXPECT_EQ(history["balance"], 50000 + 250 - 40);
    EXPECT_EQ(history["nextBefore"], nullptr);
    ASSERT_EQ(history["entries"].size(), 4u);
    const Json& note = history["entries"][0];
    EXPECT_EQ(note["type"], "note");
    EXPECT_EQ(note["memo"], "watch this one");
    EXPECT_EQ(history["entries"][1]["type"], "penalty");
    EXPECT_EQ(history["entries"][1]["signedAmount"], -40);
    const Json& bonus = history["entries"][2];
    EXPECT_EQ(bonus["kind"], "credit");
    EXPECT_EQ(bonus["flag"], "bonus");
    EXPECT_EQ(bonus["amount"], 250);
    EXPECT_EQ(bonus["memo"], "fixed the build");
    for (const char* key : {"id", "accountId", "sequence", "createdAt", "updatedAt"}) {
        EXPECT_TRUE(bonus.contains(key)) << key;
    }

    // --limit pages; --before goes on from where it stopped.
    const Json first = jsonOf(ctl({"history", id, "--limit", "2", "--json"}));
    ASSERT_EQ(first["entries"].size(), 2u);
    ASSERT_TRUE(first["nextBefore"].is_number_integer());
    const Json rest = jsonOf(
        ctl({"history", id, "--before", std::to_string(first["nextBefore"].get<std::int64_t>()), "--json"}));
    ASSERT_EQ(rest["entries"].size(), 2u);
    EXPECT_EQ(rest["entries"][1]["memo"], "Starting balance");

    // The table for people: grouped numbers, signed amounts.
    const CtlRun table = ctl({"history", "writer"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("50,210"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("+250"), std::string::npos) << table.out;
}

TEST_F(CtlTest, AccountsAreListedSortedWithTheirTotals) {
    auto zed = agent("Zed");
    agent("alpha");
    ASSERT_EQ(ctl({"credit", "alpha", "1000000"}).status, 0);

    const Json accounts = jsonOf(ctl({"accounts", "--json"}));
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts[0]["label"], "alpha");
    EXPECT_EQ(accounts[0]["balance"], 1050000);
    EXPECT_EQ(accounts[0]["entries"], 2);
    EXPECT_TRUE(accounts[0]["lastActivity"].is_string());
    EXPECT_EQ(accounts[0]["identityMode"], "clientInfo");
    EXPECT_EQ(accounts[1]["label"], "Zed");
    EXPECT_EQ(accounts[1]["connected"], true);

    const CtlRun table = ctl({"accounts"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("1,050,000"), std::string::npos) << table.out;
    EXPECT_LT(table.out.find("alpha"), table.out.find("Zed")) << table.out;
}

// Unseen: the account's entries its agent has not read yet (the opening
// credit counts as read), until the agent reads its transactions; other
// accounts keep theirs.
TEST_F(CtlTest, AccountsShowUnseenEntriesUntilTheAgentReadsThem) {
    auto reader = agent("reader");
    agent("idle");
    ASSERT_EQ(ctl({"credit", "reader", "1500", "--memo", "well done"}).status, 0);
    ASSERT_EQ(ctl({"note", "reader", "keep going"}).status, 0);
    ASSERT_EQ(ctl({"credit", "idle", "7"}).status, 0);

    auto unseenOf = [&](const std::string& label) {
        const Json accounts = jsonOf(ctl({"accounts", "--json"}));
        for (const Json& account : accounts) {
            if (account["label"] == label) {
                EXPECT_TRUE(account["unseen"].is_number_integer()) << account.dump();
                return account["unseen"].is_number_integer() ? account["unseen"].get<std::int64_t>() : -1;
            }
        }
        ADD_FAILURE() << "no account " << label;
        return std::int64_t{-1};
    };
    EXPECT_EQ(unseenOf("reader"), 2);
    EXPECT_EQ(unseenOf("idle"), 1);
    const CtlRun table = ctl({"accounts"});
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("UNSEEN"), std::string::npos) << table.out;

    // Pushed notices may come before the reply; the reply marks the entries seen.
    ASSERT_TRUE(reader->writeLine(toolCallLine(2, "getTransactions")));
    for (;;) {
        const auto line = reader->readLine();
        ASSERT_TRUE(line.has_value()) << reader->errorOutput();
        if (line->find("\"id\":2") != std::string::npos) {
            break;
        }
    }
    EXPECT_EQ(unseenOf("reader"), 0);
    EXPECT_EQ(unseenOf("idle"), 1);
}

TEST_F(CtlTest, BadNamesAndAmountsAreRefusedWithOneLine) {
    agent("twin");
    agent("twin");
    agent("solo");
    ASSERT_EQ(control->snapshot().accounts.size(), 2u) << "one client name, one account";
    // Two accounts with one label: rename one, then make the label ambiguous.
    const std::string solo = accountIdOf("solo");
    ASSERT_EQ(ctl({"rename", solo, "twin"}).status, 0);

    const CtlRun ambiguous = ctl({"credit", "twin", "5"});
    EXPECT_EQ(ambiguous.status, 1);
    EXPECT_TRUE(oneErrorLine(ambiguous, solo));

    const CtlRun unknown = ctl({"history", "nobody"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(oneErrorLine(unknown, "no account"));

    for (const char* amount : {"0", "-5", "5.0", "1,000", "abc", "99999999999999999999"}) {
        const CtlRun bad = ctl({"credit", solo, amount});
        EXPECT_EQ(bad.status, 2) << amount;
        EXPECT_TRUE(oneErrorLine(bad, "bad amount")) << amount;
    }
    const CtlRun usage = ctl({"frobnicate"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_TRUE(oneErrorLine(usage, "frobnicate"));
    EXPECT_EQ(ctl({"credit", solo}).status, 2) << "AMOUNT is required";

    const CtlRun deleteMissing = ctl({"delete-entry", "00000000-0000-0000-0000-000000000000"});
    EXPECT_EQ(deleteMissing.status, 1);
    EXPECT_TRUE(oneErrorLine(deleteMissing, "no entry"));

    // Nothing was written by any of them.
    for (const auto& account : control->snapshot().accounts) {
        EXPECT_EQ(account.balance, 50000);
    }
}

TEST_F(CtlTest, EditRenameAndDeleteChangeTheLedger) {
    agent("editor");
    const std::string id = accountIdOf("editor");
    ASSERT_EQ(ctl({"credit", id, "10"}).status, 0);
    std::string entryId;
    for (const auto& entry : control->snapshot().entries) {
        if (entry.amount == 10) {
            entryId = entry.id;
        }
    }
    ASSERT_FALSE(entryId.empty());

    CtlRun edit = ctl({"edit", entryId, "--type", "penalty", "--memo", "late"});
    EXPECT_EQ(edit.status, 0) << edit.err;
    Snapshot snapshot = control->snapshot();
    EXPECT_EQ(snapshot.accounts[0].balance, 50000 - 10);
    EXPECT_EQ(ctl({"edit", entryId}).status, 2) << "nothing to change";
    EXPECT_EQ(ctl({"edit", entryId, "--amount", "0"}).status, 2);

    EXPECT_EQ(ctl({"delete-entry", entryId}).status, 0);
    EXPECT_EQ(control->snapshot().accounts[0].balance, 50000);

    EXPECT_EQ(ctl({"rename", "editor", "Editor Bot"}).status, 0);
    EXPECT_EQ(control->snapshot().accounts[0].displayName, "Editor Bot");

    // Not on a terminal: --yes is needed, and nothing is asked.
    const CtlRun refused = ctl({"delete-account", "Editor Bot"}, "y\n");
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(oneErrorLine(refused, "--yes"));
    EXPECT_EQ(control->snapshot().accounts.size(), 1u);
    EXPECT_EQ(ctl({"delete-account", "Editor Bot", "--yes"}).status, 0);
    EXPECT_TRUE(control->snapshot().accounts.empty());
}

TEST_F(CtlTest, SettingsAreShownAndChanged) {
    Json settings = jsonOf(ctl({"settings", "--json"}));
    EXPECT_EQ(settings, Json({{"allowUnauthenticated", true}, {"startingPoints", 50000}}));
    settings = jsonOf(ctl({"settings", "--unauthenticated", "off", "--starting-points", "75", "--json"}));
    EXPECT_EQ(settings, Json({{"allowUnauthenticated", false}, {"startingPoints", 75}}));
    EXPECT_EQ(control->snapshot().settings.startingPoints, 75);
    EXPECT_EQ(ctl({"settings", "--unauthenticated", "maybe"}).status, 2);
    EXPECT_EQ(ctl({"settings", "--starting-points", "1e3"}).status, 2);
}

TEST_F(CtlTest, ConnectionsAndTheActivityLogAreListed) {
    auto bridge = agent("watcher");
    const Json connections = jsonOf(ctl({"connections", "--json"}));
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0]["client"], "watcher");
    EXPECT_EQ(connections[0]["accountId"], accountIdOf("watcher"));
    EXPECT_EQ(connections[0]["authenticated"], true);

    const Json log = jsonOf(ctl({"activity", "--json"}));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0]["direction"], "request");
    EXPECT_EQ(log[0]["method"], "initialize");
    EXPECT_NE(log[0]["payload"].get<std::string>().find("watcher"), std::string::npos);
}

TEST_F(CtlTest, FollowingTheActivityWritesEachNewLineAsItIsLogged) {
    auto bridge = agent("follower");
    auto follow = sandbox.start({ctlProgram(), "activity", "-f", "--json"});
    // The log so far comes first: once it is there, the tool is subscribed.
    const auto first = follow->readLine();
    ASSERT_TRUE(first.has_value()) << follow->errorOutput();
    EXPECT_NE(first->find("initialize"), std::string::npos) << *first;
    ASSERT_TRUE(follow->readLine().has_value()); // the initialize reply

    ASSERT_TRUE(bridge->writeLine(toolCallLine(2, "getBalance")));
    ASSERT_TRUE(bridge->readLine().has_value());
    std::optional<std::string> line;
    bool sawCall = false;
    while (!sawCall && (line = follow->readLine())) {
        const auto entry = parseJson(*line);
        ASSERT_TRUE(entry.has_value()) << *line;
        sawCall = (*entry)["direction"] == "request" &&
                  (*entry)["payload"].get<std::string>().find("getBalance") != std::string::npos;
    }
    EXPECT_TRUE(sawCall) << follow->errorOutput();

    // Interrupted, it ends with status 0.
    follow->signal(SIGINT);
    EXPECT_EQ(follow->waitForExit(), 0);
}

TEST_F(CtlTest, ALedgerLargerThanASnapshotIsReadWhole) {
    agent("busy");
    const std::string id = accountIdOf("busy");
    // More entries than a snapshot carries: every command must page past it.
    constexpr int notes = 2100;
    for (int i = 0; i < notes; ++i) {
        control->expectOk(ControlRequest::createEntry(
            NewLedgerEntry{id, TransactionKind::note, LedgerFlag::none, 0, "note " + std::to_string(i)}));
    }
    const Json history = jsonOf(ctl({"history", "busy", "--json"}));
    ASSERT_EQ(history["entries"].size(), static_cast<std::size_t>(notes + 1));
    EXPECT_EQ(history["entries"][0]["memo"], "note 2099");
    EXPECT_EQ(history["entries"][notes]["memo"], "Starting balance");
    EXPECT_EQ(history["entries"][notes]["sequence"], 1);

    const Json accounts = jsonOf(ctl({"accounts", "--json"}));
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0]["entries"], notes + 1);

    // The oldest note is beyond the snapshot, and still found by its id.
    const std::string oldest = history["entries"][notes - 1]["id"];
    ASSERT_EQ(history["entries"][notes - 1]["memo"], "note 0");
    const CtlRun edit = ctl({"edit", oldest, "--memo", "first of many"});
    EXPECT_EQ(edit.status, 0) << edit.err;
    const Json page = jsonOf(ctl({"history", id, "--before", "3", "--json"}));
    ASSERT_EQ(page["entries"].size(), 2u);
    EXPECT_EQ(page["entries"][0]["memo"], "first of many");
}

TEST_F(CtlTest, CsvExportReadsBackWithAnIndependentReader) {
    const std::string python = findOnPath("python3");
    if (python.empty()) {
        GTEST_SKIP() << "python3 is not installed: no independent CSV reader";
    }
    agent("exporter");
    const std::vector<std::string> memos = {
        "plain", "comma, inside", "say \"hi\"", "two\nlines\r\nand CRLF", "één 日本 🙂", ""};
    for (const auto& memo : memos) {
        ASSERT_EQ(ctl({"note", "exporter", memo.empty() ? std::string("x") : memo}).status, 0);
    }
    const std::string file = (sandbox.root() / "ledger.csv").string();
    const CtlRun exported = ctl({"export", "--format", "csv", "-o", file});
    ASSERT_EQ(exported.status, 0) << exported.err;
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // Python's csv module reads the file; its rows come back as JSON.
    const std::string script = (sandbox.root() / "read.py").string();
    test::writeFile(script, "import csv, json, sys\n"
                            "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                            "    print(json.dumps(list(csv.DictReader(f))))\n");
    // The test's own environment: python3 may need its PATH.
    test::Child::Options options;
    options.arguments = {python, script, file};
    auto reader = std::make_unique<Child>(options);
    reader->closeInput();
    const std::string rowsText = reader->readRemainingOutput();
    ASSERT_EQ(reader->waitForExit(), 0) << reader->errorOutput();
    const auto rows = parseJson(rowsText);
    ASSERT_TRUE(rows.has_value()) << rowsText;
    std::vector<std::string> notes;
    for (const auto& row : *rows) {
        EXPECT_TRUE(row["record"] == "account" || row["record"] == "entry") << row.dump();
        if (row["record"] == "entry" && row["type"] == "note") {
            notes.push_back(row["memo"].get<std::string>());
            EXPECT_EQ(row["label"], "exporter");
        }
    }
    std::vector<std::string> expected(memos.begin(), memos.end() - 1);
    expected.push_back("x");
    EXPECT_EQ(notes, expected);

    // JSON export: the same ledger, accounts and entries.
    const Json whole = jsonOf(ctl({"export"}));
    EXPECT_EQ(whole["accounts"].size(), 1u);
    EXPECT_EQ(whole["entries"].size(), memos.size() + 1);
}

TEST_F(CtlTest, BackupWritesAPrivateCopyAndNeverOverwritesWithoutForce) {
    agent("saver");
    const std::string file = (sandbox.root() / "copy.sqlite").string();
    const CtlRun made = ctl({"backup", file});
    ASSERT_EQ(made.status, 0) << made.err;
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(test::readFile(file).substr(0, 16), std::string("SQLite format 3\0", 16));

    test::writeFile(file, "keep me");
    const CtlRun refused = ctl({"backup", file});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(oneErrorLine(refused, "--force"));
    EXPECT_EQ(test::readFile(file), "keep me");
    EXPECT_EQ(ctl({"backup", file, "--force"}).status, 0);
    EXPECT_EQ(test::readFile(file).substr(0, 15), "SQLite format 3");
}

TEST(CtlCompletionTest, BashCompletesCommandsAndOptionValues) {
    const std::string bash = findOnPath("bash");
    const fs::path library = "/usr/share/bash-completion/bash_completion";
    if (bash.empty() || !fs::exists(library)) {
        GTEST_SKIP() << "bash or bash-completion is not installed";
    }
    auto complete = [&](const std::string& words, int current) {
        test::Child::Options options;
        options.arguments = {bash, "-c",
                             "source " + library.string() +
                                 " && source '" QUORVANE_CTL_COMPLETION "' && COMP_WORDS=(" + words +
                                 ") && COMP_CWORD=" + std::to_string(current) +
                                 " && COMP_LINE=\"${COMP_WORDS[*]}\" && COMP_POINT=${#COMP_LINE} && "
                                 "_quorvanectl quorvanectl && echo \"${COMPREPLY[*]}\""};
        auto child = std::make_unique<Child>(options);
        child->closeInput();
        std::string out = child->readRemainingOutput();
        EXPECT_EQ(child->waitForExit(), 0) << child->errorOutput();
        return out;
    };
    EXPECT_EQ(complete("quorvanectl hi", 1), "history\n");
    EXPECT_EQ(complete("quorvanectl de", 1), "debit delete-entry delete-account\n");
    EXPECT_EQ(complete("quorvanectl export --format ''", 3), "json csv\n");
    EXPECT_EQ(complete("quorvanectl credit someone 5 --b", 4), "--bonus\n");
    EXPECT_EQ(complete("quorvanectl settings --unauthenticated o", 3), "on off\n");
}

TEST(CtlWithoutHostTest, EveryCommandSaysTheHostIsNotRunning) {
    Sandbox sandbox;
    const CtlRun status = runCtl(sandbox, {"status", "--json"});
    EXPECT_EQ(status.status, 1);
    const Json report = jsonOf(status);
    EXPECT_EQ(report["running"], false);
    EXPECT_EQ(report["registration"]["state"], "failed");
    EXPECT_TRUE(report["error"].is_string());
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"accounts"},
                                                      {"credit", "x", "5"},
                                                      {"activity", "-f"},
                                                      {"backup", "/tmp/never"}}) {
        const CtlRun run = runCtl(sandbox, arguments);
        EXPECT_EQ(run.status, 1) << arguments[0];
        EXPECT_TRUE(oneErrorLine(run, "could not be reached")) << arguments[0];
    }
}

TEST(CtlWithoutHostTest, StatusStartAndTheBridgeBootstrapStartTheHostWithoutTheApp) {
    Sandbox sandbox;
    // The headless installation: bridge, host and quorvanectl in one folder,
    // no app. The programs find each other through /proc/self/exe, so they
    // are copied.
    const fs::path folder = sandbox.root() / "headless";
    fs::create_directories(folder);
    for (const auto& program : {bridgeProgram(), hostProgram(), ctlProgram()}) {
        fs::copy_file(program, folder / fs::path(program).filename());
    }

    // An agent's first call starts the host through quorvanectl.
    auto bridge = sandbox.startBridge((folder / "quorvane-bridge").string());
    ASSERT_TRUE(bridge->writeLine(initializeLine(1, "first")));
    const auto reply = bridge->readLine();
    ASSERT_TRUE(reply.has_value()) << bridge->errorOutput();
    EXPECT_TRUE(sameMessage(reply, initializeReply(1, instructionsUnauthenticated)));
    EXPECT_TRUE(fs::exists(sandbox.homeFolder() / ".config/autostart/com.zentrafell.quorvane.host.desktop"));

    // The operator credits it and sees it, with the installed tool.
    const std::string tool = (folder / "quorvanectl").string();
    ASSERT_EQ(runCtl(sandbox, {"status"}).status, 0);
    auto run = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), tool);
        auto child = sandbox.start(std::move(arguments));
        child->closeInput();
        CtlRun result;
        result.out = child->readRemainingOutput();
        result.status = child->waitForExit().value_or(-1);
        result.err = child->errorOutput();
        return result;
    };
    ASSERT_EQ(run({"credit", "first", "7", "--memo", "welcome"}).status, 0);
    const CtlRun history = run({"history", "first"});
    EXPECT_NE(history.out.find("welcome"), std::string::npos) << history.out << history.err;
    // Registering again finds it running: status --start and --register-and-exit agree.
    EXPECT_EQ(run({"status", "--start"}).status, 0);
    EXPECT_EQ(run({"--register-and-exit"}).status, 0);
}

} // namespace
} // namespace quorvane::e2e
