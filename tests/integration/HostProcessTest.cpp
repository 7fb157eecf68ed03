// The host program as a process: one host per user, stopping on a signal, and
// a ledger that cannot be opened.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/transport/ServiceListener.h"
#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"

namespace quorvane::e2e {
namespace {

namespace fs = std::filesystem;

TEST(HostProcessTest, SecondHostSaysSoAndExitsZeroWhileTheFirstKeepsServing) {
    Sandbox sandbox;
    auto first = sandbox.startHost();
    ASSERT_NE(first, nullptr);
    ControlClient control(sandbox);
    control.expectOk(ControlRequest::setStartingPoints(70));

    auto second = sandbox.start({hostProgram()}, {}, false);
    EXPECT_EQ(second->waitForExit(), 0);
    EXPECT_EQ(second->errorOutput(), "quorvane host: another host is already running\n");
    EXPECT_EQ(second->readRemainingOutput(), "");

    EXPECT_TRUE(first->running());
    EXPECT_EQ(control.snapshot().settings.startingPoints, 70);
}

// The datagram a service manager of Type=notify units receives, or "" when
// none came within `timeout`.
std::string awaitDatagram(int fd, std::chrono::milliseconds timeout) {
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1) {
        return "";
    }
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

TEST(HostProcessTest, HostSaysReadyToItsServiceManagerOnlyOnceItAcceptsConnections) {
    Sandbox sandbox;
    const fs::path notifyPath = sandbox.root() / "notify";
    const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(notifyPath.string().size(), sizeof address.sun_path);
    notifyPath.string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(manager, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const std::string variable = "NOTIFY_SOCKET=" + notifyPath.string();

    auto host = sandbox.start({hostProgram()}, {variable}, false);
    ASSERT_EQ(awaitDatagram(manager, 10s), "READY=1") << host->errorOutput();
    // Ready means ready: the very first attempt connects.
    EXPECT_TRUE(sandbox.waitForSocket(0ms, host.get()));
    EXPECT_TRUE(host->running());

    // A second host finds the service there and says so too, so that the
    // manager counts its start as done.
    auto second = sandbox.start({hostProgram()}, {variable}, false);
    EXPECT_EQ(second->waitForExit(), 0);
    EXPECT_EQ(awaitDatagram(manager, 10s), "READY=1");
    ::close(manager);
}

TEST(HostProcessTest, StopSignalEndsTheHostWithStatusZeroAndFreesTheService) {
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        Sandbox sandbox;
        auto host = sandbox.startHost();
        ASSERT_NE(host, nullptr);
        // A bridge in the middle of a session does not hold the host up.
        auto bridge = sandbox.startBridge();
        ASSERT_TRUE(bridge->writeLine(initializeLine(1)));
        ASSERT_TRUE(bridge->readLine().has_value());

        host->signal(number);
        EXPECT_EQ(host->waitForExit(5s), 0);
        EXPECT_EQ(host->errorOutput(), "");
        EXPECT_FALSE(fs::exists(sandbox.socketPath()));

        // The lock is free again: a new host starts on the same ledger.
        auto next = sandbox.startHost();
        ASSERT_NE(next, nullptr);
        ControlClient control(sandbox);
        EXPECT_EQ(control.snapshot().accounts.size(), 1u);
    }
}

TEST(HostProcessTest, LedgerThatCannotBeOpenedGivesOneLineAndStatusOne) {
    struct Case {
        const char* name;
        // Arranges the data folder; answers the XDG_DATA_HOME to use.
        std::function<fs::path(const fs::path& data)> arrange;
        std::string expected;
    };
    const Case cases[] = {
        {"the data folder is a file",
         [](const fs::path& data) {
             std::ofstream(data / "plain-file") << "x";
             return data / "plain-file";
         },
         "quorvane host: cannot create the data folder {data}/plain-file/Quorvane: Not a directory\n"},
        {"the ledger is a folder",
         [](const fs::path& data) {
             fs::create_directories(data / "Quorvane" / "ledger.sqlite");
             fs::permissions(data / "Quorvane", fs::perms::owner_all);
             return data;
         },
         "quorvane host: failed to open store: SQLiteError(14): unable to open database file\n"},
        {"the ledger is not a database",
         [](const fs::path& data) {
             fs::create_directories(data / "Quorvane");
             fs::permissions(data / "Quorvane", fs::perms::owner_all);
             std::ofstream(data / "Quorvane" / "ledger.sqlite") << std::string(4096, 'Q');
             return data;
         },
         "quorvane host: failed to open store: SQLiteError(26): file is not a database\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        const fs::path dataHome = c.arrange(sandbox.dataFolder());
        auto host = sandbox.start({hostProgram()}, {"XDG_DATA_HOME=" + dataHome.string()}, false);
        EXPECT_EQ(host->waitForExit(), 1);
        std::string expected = c.expected;
        if (const auto at = expected.find("{data}"); at != std::string::npos) {
            expected.replace(at, 6, sandbox.dataFolder().string());
        }
        EXPECT_EQ(host->errorOutput(), expected);
        EXPECT_EQ(host->readRemainingOutput(), "");
        EXPECT_FALSE(fs::exists(sandbox.socketPath())); // nothing was published
    }
}

TEST(HostProcessTest, DataFolderOpenToOthersIsMadePrivateWithOneNote) {
    Sandbox sandbox;
    const fs::path folder = sandbox.dataFolder() / "Quorvane";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0755));

    auto host = sandbox.startHost();
    ASSERT_NE(host, nullptr);
    ASSERT_TRUE(host->waitForErrorText("it is now 0700\n"));
    EXPECT_EQ(host->errorOutput(), "quorvane host: the data folder " + folder.string() +
                                       " was open to other users (mode 0755); it is now 0700\n");
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    for (const char* name : {"ledger.sqlite", "ledger.sqlite-wal", "ledger.sqlite-shm"}) {
        EXPECT_EQ(fs::status(folder / name).permissions(), fs::perms::owner_read | fs::perms::owner_write)
            << name;
    }
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForExit(5s), 0);
}

TEST(HostProcessTest, DataFolderOfAnotherUserIsRefusedWithOneLineAndStatusOne) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the data folder to another user";
    }
    Sandbox sandbox;
    const fs::path folder = sandbox.dataFolder() / "Quorvane";
    fs::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);

    auto host = sandbox.start({hostProgram()}, {}, false);
    EXPECT_EQ(host->waitForExit(), 1);
    EXPECT_EQ(host->errorOutput(), "quorvane host: the data folder " + folder.string() +
                                       " belongs to uid 65534, not to uid 0; refusing to use it\n");
    EXPECT_FALSE(fs::exists(folder / "ledger.sqlite"));
    EXPECT_FALSE(fs::exists(sandbox.socketPath()));
}

TEST(HostProcessTest, SecondHostOnTheSameLedgerIsRefusedEvenWithoutTheRuntimeFolder) {
    Sandbox sandbox;
    auto first = sandbox.startHost();
    ASSERT_NE(first, nullptr);
    // The first host's runtime folder, and the single-host lock in it, go away.
    fs::remove_all(sandbox.serviceFolder());
    const fs::path freshRuntime = sandbox.runtimeFolder().parent_path() / "run2";
    fs::create_directories(freshRuntime);
    fs::permissions(freshRuntime, fs::perms::owner_all);

    auto second = sandbox.start({hostProgram()}, {"XDG_RUNTIME_DIR=" + freshRuntime.string()}, false);
    EXPECT_EQ(second->waitForExit(), 1);
    EXPECT_EQ(second->errorOutput(), "quorvane host: another host has the ledger in " +
                                         (sandbox.dataFolder() / "Quorvane").string() + " open\n");
    EXPECT_FALSE(fs::exists(freshRuntime / "quorvane" / std::string(quorvaneServiceName)));
    EXPECT_TRUE(first->running());

    // Once the first host has gone, the ledger is free for the next one.
    first->signal(SIGTERM);
    ASSERT_EQ(first->waitForExit(5s), 0);
    auto next = sandbox.startHost();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->errorOutput(), "");
}

TEST(HostProcessTest, ForeignDatabaseInPlaceOfTheLedgerIsRefusedAndLeftByteForByte) {
    const std::string sqlite = findOnPath("sqlite3");
    if (sqlite.empty()) {
        GTEST_SKIP() << "no sqlite3 program to make the foreign database with";
    }
    Sandbox sandbox;
    const fs::path folder = sandbox.dataFolder() / "Quorvane";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all);
    const fs::path ledger = folder / "ledger.sqlite";
    auto maker = sandbox.start(
        {sqlite, ledger.string(), "CREATE TABLE notes (body TEXT); INSERT INTO notes VALUES ('x');"}, {},
        false);
    ASSERT_EQ(maker->waitForExit(), 0) << maker->errorOutput();
    const auto contents = [&] {
        std::ifstream in(ledger, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const std::string before = contents();
    ASSERT_FALSE(before.empty());

    auto host = sandbox.start({hostProgram()}, {}, false);
    EXPECT_EQ(host->waitForExit(), 1);
    EXPECT_EQ(host->errorOutput(), "quorvane host: failed to open store: SQLiteError(26): the file is not a "
                                   "Quorvane ledger: it holds the table \"notes\"; it was left unchanged\n");
    EXPECT_EQ(contents(), before);
    EXPECT_FALSE(fs::exists(sandbox.socketPath()));
}

TEST(HostProcessTest, RuntimeFolderRemovedUnderARunningHostGetsItsSocketsBack) {
    Sandbox sandbox;
    auto host = sandbox.startHost();
    ASSERT_NE(host, nullptr);
    ControlClient before(sandbox);
    before.expectOk(ControlRequest::setStartingPoints(70));
    auto bridge = sandbox.startBridge();
    ASSERT_TRUE(bridge->writeLine(initializeLine(1)));
    ASSERT_TRUE(bridge->readLine().has_value());

    // The whole runtime folder goes, as a session cleaner removes it (in one
    // step: moved away, then removed).
    const fs::path gone = sandbox.runtimeFolder().string() + ".gone";
    fs::rename(sandbox.runtimeFolder(), gone);
    fs::remove_all(gone);

    ASSERT_TRUE(host->waitForErrorText("agent socket was removed; it is published again at " +
                                       sandbox.socketPath().string() + "\n"));
    ASSERT_TRUE(sandbox.waitForSocket(5s, host.get()));
    ControlClient after(sandbox);
    EXPECT_EQ(after.snapshot().settings.startingPoints, 70); // the same host, with its ledger
    EXPECT_TRUE(host->running());
    // The bridge already connected goes on, and a new one finds the host.
    ASSERT_TRUE(bridge->writeLine(toolCallLine(2, "getBalance")));
    EXPECT_TRUE(bridge->readLine().has_value());
    auto next = sandbox.startBridge();
    ASSERT_TRUE(next->writeLine(initializeLine(1)));
    EXPECT_TRUE(next->readLine().has_value());
    // A second host still finds this one in charge.
    auto second = sandbox.start({hostProgram()}, {}, false);
    EXPECT_EQ(second->waitForExit(), 0);
    EXPECT_EQ(second->errorOutput(), "quorvane host: another host is already running\n");

    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForExit(5s), 0);
    EXPECT_FALSE(fs::exists(sandbox.socketPath()));
}

TEST(HostProcessTest, HostWhoseSocketFolderIsTakenOverExitsWithOneLineAndTheNextHostStarts) {
    Sandbox sandbox;
    auto host = sandbox.startHost();
    ASSERT_NE(host, nullptr);
    const std::string folder = sandbox.serviceFolder().string();

    // A folder whose lock another holds, swapped in for the host's in one step.
    ServicePlaces other;
    other.directory = folder + ".other";
    other.socketPath = other.directory + "/" + std::string(quorvaneServiceName);
    other.lockPath = other.socketPath + ".lock";
    fs::create_directory(other.directory);
    fs::permissions(other.directory, fs::perms::owner_all);
    auto held = ServiceLock::acquire(other);
    ASSERT_TRUE(held.lock) << held.error;
    if (::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, other.directory.c_str(), RENAME_EXCHANGE) != 0) {
        GTEST_SKIP() << "this file system cannot exchange two folders: " << std::strerror(errno);
    }

    EXPECT_EQ(host->waitForExit(), 1);
    EXPECT_EQ(host->errorOutput(), "quorvane host: the service sockets in " + folder +
                                       " were removed and cannot be published again: another host now holds "
                                       "the lock " +
                                       sandbox.socketPath().string() + ".lock; stopping\n");

    held.lock.reset(); // the other holder goes too
    auto next = sandbox.startHost();
    ASSERT_NE(next, nullptr);
    ControlClient control(sandbox);
    EXPECT_EQ(control.snapshot().settings.startingPoints, 50000);
}

} // namespace
} // namespace quorvane::e2e
