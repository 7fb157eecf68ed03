// quorvane-host: the per-user background program that owns the ledger. Opens
// the store, serves bridges and operator apps on the service socket, and runs
// until it receives SIGTERM, SIGINT or SIGHUP (a closed terminal or session).
// Takes no arguments.
//
// Standard error carries at most one line at start-up (and before it, when the
// data folder had to be made private, one note saying so); while serving, one
// note for each peer cut off for not reading its pushes and each time the
// service socket had to be published again after it was removed; and one last
// line when the socket was removed and could not be published again. The exit
// status tells:
//   0  ended by a signal, or another host already serves this user
//   1  the data folder is not ours, another host has its ledger open, the
//      store could not be opened, or the service could not be published (at
//      start, or again after its socket was removed)

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "common/transport/Frame.h"
#include "common/transport/RuntimePlaces.h"
#include "common/transport/ServiceListener.h"
#include "common/transport/ServiceManager.h"
#include "host/HostService.h"
#include "host/core/HostEngine.h"
#include "host/core/LedgerFile.h"
#include "host/core/SQLite.h"

namespace {

using namespace quorvane;

// One line in one write, so that it never interleaves with another process's.
void writeError(const std::string& line) {
    std::string_view rest(line);
    while (!rest.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (written <= 0) {
            return; // nobody reads; nothing else to do
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

// The listener's report that the service can no longer be reached; the main
// thread learns of it through lostSignal.
std::atomic<bool> serviceLost{false};
constexpr int lostSignal = SIGUSR1;

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, lostSignal);
    return set;
}

// Room for a thousand agent sessions and more: each connection is a
// descriptor, and the soft limit is often 1024. Never lowered.
void raiseDescriptorLimit() {
    constexpr rlim_t wanted = 65536;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Blocks until one of the stop signals arrives, or the service was lost.
void awaitStopSignal(const sigset_t& signals) {
    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) {
            continue;
        }
        if (received != lostSignal || serviceLost) {
            return;
        }
    }
}

} // namespace

int main() {
    ignoreSigpipe();
    raiseDescriptorLimit();
#ifdef __GLIBC__
    // One heap for all threads: the serving threads would each keep an arena
    // of their own, and what a burst leaves in four arenas stays resident.
    ::mallopt(M_ARENA_MAX, 1);
#endif

    // Blocked before any thread exists, so every thread inherits the mask and
    // the signals are left for the main thread's sigwait.
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // The single-host lock is taken before the store is touched: a second host
    // must never open the ledger a running host owns.
    Result<ServicePlaces> places = resolveServicePlaces(RuntimeEnvironment::current(), FolderUse::create);
    if (!places.ok()) {
        writeError("quorvane host: cannot use the service folder: " + places.error().message + "\n");
        return 1;
    }
    ServiceLock::Result lock = ServiceLock::acquire(*places);
    if (lock.status == ServiceLock::Status::alreadyRunning) {
        writeError("quorvane host: another host is already running\n");
        // The service is there all the same: a manager that started this one
        // counts the start as done rather than failed.
        (void)notifyServiceManagerReady();
        return 0;
    }
    if (lock.status != ServiceLock::Status::acquired || !lock.lock) {
        writeError("quorvane host: cannot take the single-host lock: " + lock.error + "\n");
        return 1;
    }

    // The data folder is made private, then the ledger's own lock is taken,
    // before the store opens: it still keeps a second host out when the
    // runtime folder (and with it the lock above) has been removed.
    const std::string databasePath = ledgerDatabasePath();
    const std::string dataFolder = databasePath.substr(0, databasePath.rfind('/'));
    const Result<DataFolderReport> folder = prepareDataFolder(dataFolder);
    if (!folder) {
        writeError("quorvane host: " + folder.error().message + "\n");
        return 1;
    }
    if (folder->note) {
        writeError("quorvane host: " + *folder->note + "\n");
    }
    LedgerLock::Outcome ledgerLock = LedgerLock::acquire(dataFolder);
    if (ledgerLock.status == LedgerLock::Status::heldByAnother) {
        writeError("quorvane host: another host has the ledger in " + dataFolder + " open\n");
        return 1;
    }
    if (ledgerLock.status != LedgerLock::Status::acquired || !ledgerLock.lock) {
        writeError("quorvane host: cannot take the ledger lock: " + ledgerLock.error + "\n");
        return 1;
    }

    std::shared_ptr<HostEngine> engine;
    try {
        engine = std::make_shared<HostEngine>(databasePath);
    } catch (const SQLiteError& error) {
        writeError("quorvane host: failed to open store: " + error.description() + "\n");
        return 1;
    } catch (const std::exception& error) {
        writeError(std::string("quorvane host: failed to open store: ") + error.what() + "\n");
        return 1;
    }

    ListenerOptions options;
    options.environment = RuntimeEnvironment::current();
    options.onNote = [](const std::string& note) { writeError("quorvane host: " + note + "\n"); };
    options.onLost = [](const std::string& reason) {
        writeError("quorvane host: " + reason + "; stopping\n");
        serviceLost = true;
        ::kill(::getpid(), lostSignal);
    };
    auto started =
        ServiceListener::start(std::move(*lock.lock), HostListenerDelegate(engine), std::move(options));
    if (!started.ok()) {
        writeError("quorvane host: cannot publish the service: " + started.error().message + "\n");
        return 1;
    }

    if (const Result<void> told = notifyServiceManagerReady(); !told) {
        writeError("quorvane host: " + told.error().message + "\n");
    }

    awaitStopSignal(signals);

    // Every connection is closed (and reported closed) before the engine and
    // its store go.
    started->reset();
    engine.reset();
    return serviceLost ? 1 : 0;
}
