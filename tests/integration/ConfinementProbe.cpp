// A program an agent could build for itself, for the confinement tests: it
// carries the operator app's identity and tries one way of changing the
// ledger, named by its first argument. It reports on standard output, in one
// line, "done <what>" when the way was open (exit 0) or "refused <why>" when
// it was not (exit 1); 64 for a usage error.
//
//   connect PATH             connect to a local socket
//   open PATH                open a file for reading and writing
//   run PATH                 execute a program
//   write PATH               create a file in an existing folder and write to it
//   signal PID               send signal 0 to a process
//   control PATH REQUEST     send a control request through the socket at PATH,
//                            admitting a host outside this sandbox on its uid
//   control-checked PATH REQUEST
//                            the same, checking the host's program as usual

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/transport/Frame.h"
#include "common/transport/ServiceConnection.h"
#include "tests/support/ServiceClient.h"

namespace {

int done(const std::string& what) {
    std::printf("done %s\n", what.c_str());
    return 0;
}

int refused(const std::string& why) {
    std::printf("refused %s\n", why.c_str());
    return 1;
}

int refusedErrno(int error) {
    return refused(std::strerror(error));
}

int connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return refused("path too long");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return refusedErrno(errno);
    }
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(fd);
    return rc == 0 ? done("connected") : refusedErrno(error);
}

int openFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return refusedErrno(errno);
    }
    ::close(fd);
    return done("opened");
}

int run(const std::string& path) {
    char* const arguments[] = {const_cast<char*>(path.c_str()), const_cast<char*>("--version"), nullptr};
    ::execv(path.c_str(), arguments);
    return refusedErrno(errno);
}

// Into the folder as it stands: a folder the agent makes itself is no one's
// unit or autostart folder.
int writeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        return refusedErrno(errno);
    }
    const std::string_view text = "[Service]\nExecStart=/bin/true\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written ? done("written") : refused("short write");
}

int signalProcess(const std::string& pid) {
    return ::kill(static_cast<pid_t>(std::stol(pid)), 0) == 0 ? done("signalled") : refusedErrno(errno);
}

int control(const std::string& path, const std::string& request, bool acceptOutside) {
    quorvane::ConnectionOptions options;
    options.socketPath = path;
    if (acceptOutside) {
        options.onHostOutsideNamespaces = [] {};
    }
    quorvane::ServiceConnection connection(std::make_shared<quorvane::test::IgnoringReceiver>(), options);
    const quorvane::Result<std::string> reply = quorvane::test::callControl(connection, request);
    return reply ? done(*reply) : refused(reply.error().message);
}

int tryRoute(int argc, char** argv) {
    const std::string route = argc > 1 ? argv[1] : "";
    if (argc == 3 && route == "connect") {
        return connectTo(argv[2]);
    }
    if (argc == 3 && route == "open") {
        return openFile(argv[2]);
    }
    if (argc == 3 && route == "run") {
        return run(argv[2]);
    }
    if (argc == 3 && route == "write") {
        return writeFile(argv[2]);
    }
    if (argc == 3 && route == "signal") {
        return signalProcess(argv[2]);
    }
    if (argc == 4 && (route == "control" || route == "control-checked")) {
        return control(argv[2], argv[3], route == "control");
    }
    std::fputs("usage: quorvane_e2e_probe ROUTE ARGUMENT...\n", stderr);
    return 64;
}

} // namespace

// Ends without exit-time work, so that a sanitizer's leak check (which may not
// work inside the sandbox) never changes the answer.
int main(int argc, char** argv) {
    quorvane::ignoreSigpipe();
    const int status = tryRoute(argc, argv);
    std::fflush(stdout);
    ::_exit(status);
}
