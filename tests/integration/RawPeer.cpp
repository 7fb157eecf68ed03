// A minimal peer for the end-to-end tests: it carries the bridge's identity but
// does none of a client's checks of the host. It connects to the socket given
// as its first argument, sends its second argument as one handleAgentMessage
// call and reports on standard output what came back:
//   "reply <line>"      the host answered (exit 0)
//   "no-reply"          the host answered with no line (exit 0)
//   "closed <status>"   the connection ended without an answer (exit 3)
//   "connect-failed <reason>"                                     (exit 2)
// Used to show that the host admits this program as its own user and refuses
// it as another user.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/transport/Frame.h"

int main(int argc, char** argv) {
    using namespace quorvane;
    if (argc != 3) {
        std::fputs("usage: quorvane_e2e_peer <socket> <line>\n", stderr);
        return 64;
    }
    ignoreSigpipe();
    const std::string path = argv[1];
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::puts("connect-failed path too long");
        return 2;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::printf("connect-failed %s\n", std::strerror(errno));
        return 2;
    }

    Frame call;
    call.kind = FrameKind::call;
    call.operation = Operation::handleAgentMessage;
    call.callId = 1;
    call.payload = argv[2];
    const std::string bytes = encodeFrame(call, maxFrameToHost);
    if (bytes.empty() || !sendAll(fd, bytes)) {
        std::puts("closed send");
        return 3;
    }
    const ReadResult read = readFrame(fd, maxFrameFromHost);
    ::close(fd);
    if (read.status != ReadStatus::frame || read.frame.kind != FrameKind::reply) {
        std::printf("closed %s\n", std::string(readStatusText(read.status)).c_str());
        return 3;
    }
    if (read.frame.replyAbsent) {
        std::puts("no-reply");
    } else {
        std::printf("reply %s\n", read.frame.payload.c_str());
    }
    return 0;
}
