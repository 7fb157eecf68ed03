// An agent confined by quorvane-sandbox reaches the host as an agent through
// the bridge, and nothing else: every other way to change the ledger fails.
// These tests need bubblewrap and unprivileged user namespaces, and skip with
// the reason where either is missing.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/transport/RuntimePlaces.h"
#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"

namespace quorvane::e2e {
namespace {

namespace fs = std::filesystem;

const std::string sandboxProgram = QUORVANE_SANDBOX_PROGRAM;
const std::string probeProgram = QUORVANE_PROBE_PROGRAM;

// Where quorvane-sandbox finds bubblewrap; the test world's own search path
// is empty.
const std::string systemPath = "PATH=/usr/bin:/bin";

// Why agents cannot be confined here, if they cannot.
std::optional<std::string> confinementUnavailable() {
    const std::string bwrap = findOnPath("bwrap");
    if (bwrap.empty()) {
        return "bubblewrap (bwrap) is not installed; scripts/setup.sh installs it";
    }
    Child::Options options;
    options.arguments = {bwrap, "--unshare-user", "--unshare-pid", "--ro-bind", "/", "/", "--", "/bin/true"};
    options.input = Child::Stream::null;
    options.output = Child::Stream::null;
    Child probe(options);
    if (probe.waitForExit() != 0) {
        return "unprivileged user namespaces are not available: " + probe.errorOutput();
    }
    return std::nullopt;
}

class Confinement : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = confinementUnavailable()) {
            GTEST_SKIP() << *reason;
        }
        configFolder = sandbox.root() / "config";
        fs::create_directories(configFolder / "systemd" / "user");
        fs::create_directories(configFolder / "autostart");
        host = sandbox.startHost();
        ASSERT_NE(host, nullptr);
        control = std::make_unique<ControlClient>(sandbox);
    }

    // `command` run by quorvane-sandbox with `options` before it.
    std::unique_ptr<Child> confined(std::vector<std::string> options,
                                    const std::vector<std::string>& command) {
        options.insert(options.begin(), sandboxProgram);
        options.push_back("--");
        options.insert(options.end(), command.begin(), command.end());
        return sandbox.start(options, {systemPath, "XDG_CONFIG_HOME=" + configFolder.string()});
    }

    Sandbox sandbox;
    fs::path configFolder;
    std::unique_ptr<Child> host;
    std::unique_ptr<ControlClient> control;
};

TEST_F(Confinement, AgentReadsItsBalanceAndReceivesACreditThroughTheBridge) {
    const std::string agentSocket = sandbox.socketPath().string();
    auto agent = confined({}, {bridgeProgram(), "--socket", agentSocket});

    // What the operator is told to put into the agent's MCP configuration.
    const std::string entry = R"({"mcpServers":{"quorvane":{"command":")" + bridgeProgram() +
                              R"(","args":["--socket",")" + agentSocket + R"("]}}})";
    EXPECT_TRUE(agent->waitForErrorText(entry)) << agent->errorOutput();

    ASSERT_TRUE(agent->writeLine(initializeLine(1)));
    const auto initialized = agent->readLine();
    ASSERT_TRUE(initialized.has_value()) << agent->errorOutput();
    EXPECT_TRUE(sameMessage(initialized, initializeReply(1, instructionsUnauthenticated)));
    ASSERT_TRUE(agent->writeLine(initializedNotification));

    const Snapshot snapshot = control->snapshot();
    ASSERT_EQ(snapshot.accounts.size(), 1u);
    const std::string accountId = snapshot.accounts[0].id;
    ASSERT_TRUE(agent->writeLine(toolCallLine(2, "getBalance")));
    EXPECT_TRUE(sameMessage(agent->readLine(), balanceReply(2, accountId, 50000, 0)));

    // The operator credits from outside; the push reaches the agent inside.
    control->expectOk(ControlRequest::createEntry(NewLedgerEntry{
        accountId, TransactionKind::credit, LedgerFlag::bonus, 25, "Confined and still paid"}));
    EXPECT_TRUE(sameMessage(
        agent->readLine(),
        R"({"jsonrpc":"2.0","method":"notifications\/message","params":{"data":{"amount":25,"balance":50025,)"
        R"("event":"new_item","flag":"bonus","kind":"credit","memo":"Confined and still paid","signedAmount":25,)"
        R"("unseenCount":1},"level":"info","logger":"quorvane"}})"));
    ASSERT_TRUE(agent->writeLine(toolCallLine(3, "getBalance")));
    EXPECT_TRUE(sameMessage(agent->readLine(), balanceReply(3, accountId, 50025, 1)));

    agent->closeInput();
    EXPECT_EQ(agent->waitForExit(), 0);
    // The bridge said, once, that it admitted the host on the uid alone.
    const std::string errors = agent->errorOutput();
    const std::string note = "accepting it on its user id alone";
    const auto first = errors.find(note);
    EXPECT_NE(first, std::string::npos) << errors;
    EXPECT_EQ(errors.find(note, first + 1), std::string::npos) << errors;
}

// The sandbox shows the agent socket's folder, not the socket file: a host
// that restarts (and binds a new socket) is reached again from inside.
TEST_F(Confinement, ConfinedAgentReachesARestartedHost) {
    auto agent = confined({}, {bridgeProgram(), "--socket", sandbox.socketPath().string()});
    ASSERT_TRUE(agent->writeLine(initializeLine(1)));
    ASSERT_TRUE(agent->readLine().has_value()) << agent->errorOutput();
    const std::string accountId = control->snapshot().accounts.at(0).id;

    host->signal(SIGTERM);
    ASSERT_EQ(host->waitForExit(), 0);
    host = sandbox.startHost();
    ASSERT_NE(host, nullptr);

    ASSERT_TRUE(agent->writeLine(toolCallLine(2, "getBalance")));
    EXPECT_TRUE(sameMessage(agent->readLine(), balanceReply(2, accountId, 50000, 0))) << agent->errorOutput();
    agent->closeInput();
    EXPECT_EQ(agent->waitForExit(), 0);
}

// One way a confined agent might try to change the ledger, tried by the probe
// program (which carries the operator app's identity) inside the sandbox.
struct Route {
    std::string name;
    std::vector<std::string> sandboxOptions;
    std::vector<std::string> probe;
    std::vector<std::string> reasons; // the refusal names one of them
};

TEST_F(Confinement, EveryOtherRouteToChangeTheLedgerFails) {
    const Result<ServicePlaces> places =
        resolveServicePlaces(sandbox.runtimeEnvironment(), FolderUse::existingOnly);
    ASSERT_TRUE(places.ok()) << places.error().message;
    const std::string programs = fs::path(bridgeProgram()).parent_path().string();
    const std::string ledger = (sandbox.dataFolder() / "Quorvane" / "ledger.sqlite").string();
    ASSERT_TRUE(fs::exists(ledger));
    const std::string credit = R"({"createEntry":{"_0":{"accountId":"A","kind":"credit","flag":"none",)"
                               R"("amount":1000000,"memo":"mine"}}})";
    const std::string unit = (configFolder / "systemd" / "user" / "escape.service").string();
    const std::string autostartEntry = (configFolder / "autostart" / "escape.desktop").string();
    const std::string notFound = "No such file or directory";

    const std::vector<Route> routes = {
        {"connect to the control socket", {}, {"connect", places->controlSocketPath}, {notFound}},
        {"open the ledger file", {}, {"open", ledger}, {notFound}},
        {"open the ledger's write-ahead log", {}, {"open", ledger + "-wal"}, {notFound}},
        {"run quorvane", {}, {"run", programs + "/quorvane"}, {notFound}},
        {"run quorvanectl", {}, {"run", programs + "/quorvanectl"}, {notFound}},
        // Shown the programs' folder on purpose, the operator programs are
        // still only empty files.
        {"run quorvane from a folder shown read-only",
         {"--ro", programs},
         {"run", programs + "/quorvane"},
         {"Permission denied", notFound}},
        {"run quorvanectl from a folder shown read-only",
         {"--ro", programs},
         {"run", programs + "/quorvanectl"},
         {"Permission denied", notFound}},
        {"send control requests through the agent socket",
         {},
         {"control", places->socketPath, credit},
         {"the agent socket does not carry control"}},
        {"send control requests through the agent socket, host checked as outside",
         {},
         {"control-checked", places->socketPath, R"({"snapshot":{}})"},
         {"the peer's process is unknown"}},
        {"write a user unit", {}, {"write", unit}, {notFound}},
        {"write an autostart entry", {}, {"write", autostartEntry}, {notFound}},
        {"signal the host", {}, {"signal", std::to_string(host->pid())}, {"No such process"}},
    };

    const Snapshot before = control->snapshot();
    for (const Route& route : routes) {
        std::vector<std::string> options = route.sandboxOptions;
        options.insert(options.end(), {"--ro", probeProgram});
        std::vector<std::string> command = route.probe;
        command.insert(command.begin(), probeProgram);
        auto probe = confined(options, command);
        const std::string line = probe->readLine().value_or("<nothing>");
        EXPECT_EQ(probe->finish(), 1) << route.name << ": " << line << "\n" << probe->errorOutput();
        bool named = false;
        for (const auto& reason : route.reasons) {
            named = named || line.find(reason) != std::string::npos;
        }
        EXPECT_TRUE(line.starts_with("refused ") && named) << route.name << ": " << line;
        std::cout << "route: " << route.name << ": " << line << "\n"; // the record of what was tried
    }

    // Nothing changed, and nothing landed where the service manager or the
    // desktop would start it.
    const Snapshot after = control->snapshot();
    EXPECT_EQ(after.accounts, before.accounts);
    EXPECT_EQ(after.entries, before.entries);
    EXPECT_EQ(after.settings, before.settings);
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_FALSE(fs::exists(autostartEntry));
}

// What would show the agent what it must not see is refused before anything
// runs, with one line that says why.
TEST_F(Confinement, SandboxRefusesToShowWhatItHides) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"the ledger folder as a workspace", {"--workspace", (sandbox.dataFolder() / "Quorvane").string()}},
        {"a folder holding the ledger folder", {"--ro", sandbox.dataFolder().string()}},
        {"the whole system read-only", {"--ro", "/"}},
        {"the runtime folder", {"--ro", sandbox.runtimeFolder().string()}},
        {"the home folder as a workspace", {"--workspace", sandbox.homeFolder().string()}},
        {"the user's unit folder", {"--workspace", (configFolder / "systemd").string()}},
        {"the autostart folder", {"--ro", (configFolder / "autostart").string()}},
        {"the programs' folder as a workspace",
         {"--workspace", fs::path(bridgeProgram()).parent_path().string()}},
    };
    for (const Case& c : cases) {
        auto refused = confined(c.options, {"/bin/true"});
        EXPECT_EQ(refused->finish(), 125) << c.name;
        const std::string errors = refused->errorOutput();
        EXPECT_TRUE(errors.starts_with("quorvane-sandbox: refusing ")) << c.name << ": " << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << c.name << ": " << errors;
    }
}

// Where bubblewrap cannot make a user namespace, the sandbox says so in one
// line and runs nothing.
TEST_F(Confinement, WithoutUserNamespacesTheSandboxRefusesToStart) {
    const fs::path fakes = sandbox.root() / "fakes";
    fs::create_directories(fakes);
    {
        std::ofstream bwrap(fakes / "bwrap");
        bwrap << "#!/bin/sh\necho 'bwrap: No permissions to create new namespace' >&2\nexit 1\n";
    }
    fs::permissions(fakes / "bwrap", fs::perms::owner_all);
    const fs::path marker = sandbox.root() / "ran";
    auto refused = sandbox.start({sandboxProgram, "--", "/bin/touch", marker.string()},
                                 {"PATH=" + fakes.string() + ":/usr/bin:/bin"});
    EXPECT_EQ(refused->finish(), 125);
    const std::string errors = refused->errorOutput();
    EXPECT_NE(errors.find("user namespaces are not available"), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_FALSE(fs::exists(marker));
}

// The bridge takes --socket PATH and nothing else; anything else ends it at
// once with its usage, before it connects anywhere.
TEST(BridgeCommandLine, AnythingButOneSocketPathIsRefusedWithTheUsage) {
    Sandbox world;
    const std::vector<std::vector<std::string>> refused = {
        {"--bogus"}, {"--socket"}, {"--socket", ""}, {"--socket="}, {"--socket", "/a", "--socket", "/b"},
        {"/a"},
    };
    for (const auto& arguments : refused) {
        std::vector<std::string> command = {bridgeProgram()};
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto bridge = world.start(command);
        EXPECT_EQ(bridge->finish(), 2) << arguments.front();
        EXPECT_EQ(bridge->errorOutput(), "quorvane bridge: usage: quorvane-bridge [--socket PATH]\n")
            << arguments.front();
    }
}

} // namespace
} // namespace quorvane::e2e
