#pragma once

// One child process for the tests, with pipes on its standard streams.
//
// The child starts with default signal dispositions for SIGPIPE, SIGTERM,
// SIGINT and SIGCHLD and an empty signal mask (whatever the test process
// ignores or blocks), and with no descriptors of the test process beyond its
// three standard streams and those asked for in Options::inheritFds.
//
// Readiness is waited for on what the child shows: a line on its standard
// output (readLine), a text on its standard error (waitForErrorText), a socket
// that accepts (waitForSocket in Waiting.h) or its exit (waitForExit).
//
// Threads: one thread uses the object, except that write() and closeInput()
// may run on one other thread (a feeder) while the first reads. Standard error
// is collected by a thread of the object's own (errorOutput and
// waitForErrorText may be called from any thread).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "tests/support/Waiting.h"

namespace quorvane::test {

class Child {
public:
    enum class Stream {
        pipe,    // a pipe to the test (standard error: collected in the background)
        null,    // /dev/null
        inherit, // the test process's own
        file,    // standard error only: appended to Options::errorFile
    };

    struct Options {
        // arguments[0] is the program: a path, or a name looked up in PATH.
        std::vector<std::string> arguments;
        // "NAME=value" entries; empty: the test process's environment.
        std::optional<std::vector<std::string>> environment;
        Stream input = Stream::pipe;
        Stream output = Stream::pipe;
        Stream error = Stream::pipe;
        std::string errorFile;
        // Descriptors the child keeps under the same numbers.
        std::vector<int> inheritFds;
    };

    // Starts the program; throws std::runtime_error when it cannot start.
    explicit Child(const Options& options);
    // The program with these arguments, the test's environment, pipes on
    // standard input and output and standard error inherited.
    explicit Child(std::vector<std::string> arguments);
    ~Child(); // SIGKILL and reap when still running

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    // Writes all bytes to standard input; false when the child has closed it.
    bool write(std::string_view bytes);
    bool writeLine(std::string_view line);
    void closeInput();
    // Closes the test's end of standard output: the child's writes then fail.
    void closeOutput();

    // The next line of standard output without its line feed; nullopt at the
    // end of output or when none came within `timeout`.
    [[nodiscard]] std::optional<std::string> readLine(std::chrono::milliseconds timeout = guardTimeout);
    // Whether a line arrives within `timeout` (it is kept for readLine).
    [[nodiscard]] bool hasOutputWithin(std::chrono::milliseconds timeout);
    // Everything standard output still holds, up to its end or a pause of `timeout`.
    [[nodiscard]] std::string readRemainingOutput(std::chrono::milliseconds timeout = guardTimeout);

    // Standard error so far: the collected text (Stream::pipe) or the file's
    // contents (Stream::file); empty otherwise. Complete once the child exited.
    [[nodiscard]] std::string errorOutput() const;
    // True once standard error holds `text`; false after `timeout`.
    [[nodiscard]] bool waitForErrorText(std::string_view text,
                                        std::chrono::milliseconds timeout = guardTimeout);

    void signal(int number);
    // Stops the child (SIGSTOP) and returns once it has stopped.
    void pause();
    // The exit status (128 + n for a death by signal n; -1 when someone else
    // reaped it), or nullopt while it still runs after `timeout`.
    [[nodiscard]] std::optional<int> waitForExit(std::chrono::milliseconds timeout = guardTimeout);
    [[nodiscard]] bool running();
    // Closes standard input and waits for the exit: its status, or -1 when the
    // child had to be killed after `timeout`.
    int finish(std::chrono::milliseconds timeout = guardTimeout);

private:
    void collectErrors();
    void recordStatus(int status);

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int input_ = -1;
    int output_ = -1;
    int errors_ = -1;
    std::string errorFile_;
    std::string outputBuffer_;
    bool outputEnded_ = false;
    std::optional<int> status_;

    mutable std::mutex errorLock_;
    std::condition_variable errorGrew_;
    std::string errorText_;
    std::atomic<bool> exited_{false};
    std::unique_ptr<std::thread> errorReader_;
};

// The full path of an executable file called `name` in a folder of this
// process's PATH, if any.
[[nodiscard]] std::optional<std::string> findInPath(std::string_view name);

} // namespace quorvane::test
