#include "bridge/Bootstrap.h"

#include "common/ThreadSafety.h"

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvane {
namespace {

std::string errorText(int error) {
    return std::generic_category().message(error);
}

// The program beside the bridge, when there is one: the app's, else the
// headless one.
std::optional<std::filesystem::path> registrationProgram(const std::filesystem::path& ownExecutable) {
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(ownExecutable, error);
    if (error || !resolved.has_parent_path()) {
        return std::nullopt;
    }
    for (std::string_view name : {registrationProgramName, headlessRegistrationProgramName}) {
        std::filesystem::path program = resolved.parent_path() / name;
        if (std::filesystem::is_regular_file(program, error)) {
            return program;
        }
    }
    return std::nullopt;
}

// The spawn attributes of one start: standard input and output on /dev/null,
// nothing else inherited beyond standard error, default signal handling.
class SpawnSetup {
public:
    SpawnSetup() {
        if ((error = posix_spawn_file_actions_init(&actions)) != 0) {
            return;
        }
        if ((error = posix_spawnattr_init(&attributes)) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        initialized = true;
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE); // ignored by the bridge, not by the child
        sigset_t none;
        sigemptyset(&none);
        const short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if ((error = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) ==
                0 &&
            (error = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0)) ==
                0 &&
            (error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1)) == 0 &&
            (error = posix_spawnattr_setsigdefault(&attributes, &defaults)) == 0 &&
            (error = posix_spawnattr_setsigmask(&attributes, &none)) == 0) {
            error = posix_spawnattr_setflags(&attributes, flags);
        }
    }

    ~SpawnSetup() {
        if (initialized) {
            posix_spawnattr_destroy(&attributes);
            posix_spawn_file_actions_destroy(&actions);
        }
    }

    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = 0;

private:
    bool initialized = false;
};

struct ChildExit {
    Mutex lock;
    std::condition_variable_any exitedSignal;
    bool exited QUORVANE_GUARDED_BY(lock) = false;
};

void reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Waits for the child until the deadline. A detached thread reaps it, so that
// a child that outlives the wait is still collected when it ends.
void waitForExit(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    auto state = std::make_shared<ChildExit>();
    try {
        std::thread([pid, state] {
            reap(pid);
            {
                MutexLock guard(state->lock);
                state->exited = true;
            }
            state->exitedSignal.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: poll until the deadline instead.
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid || (done < 0 && errno != EINTR)) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return;
    }
    MutexLock guard(state->lock);
    while (!state->exited) {
        if (state->exitedSignal.wait_until(guard, deadline) == std::cv_status::timeout) {
            return;
        }
    }
}

} // namespace

void bootstrapHost(std::chrono::steady_clock::time_point deadline, const NoteFunction& note,
                   const std::filesystem::path& ownExecutable) {
    const std::optional<std::filesystem::path> program = registrationProgram(ownExecutable);
    if (!program) {
        note("cannot locate enclosing app bundle for bootstrap");
        return;
    }
    const std::string path = program->string();

    SpawnSetup setup;
    if (setup.error != 0) {
        note("bootstrap failed: cannot prepare to start " + path + ": " + errorText(setup.error));
        return;
    }
    std::string argument(registerAndExitArgument);
    char* arguments[] = {const_cast<char*>(path.c_str()), argument.data(), nullptr};
    pid_t pid = 0;
    const int error =
        ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, arguments, environ);
    if (error != 0) {
        note("bootstrap failed: cannot start " + path + ": " + errorText(error));
        return;
    }
    waitForExit(pid, deadline);
}

} // namespace quorvane
