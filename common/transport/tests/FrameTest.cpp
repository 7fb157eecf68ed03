#include "common/transport/Frame.h"
#include "common/transport/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane {
namespace {

// Both ends of a local stream; the reading end times out instead of hanging.
class SocketPair {
public:
    SocketPair() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        timeval tv{};
        tv.tv_sec = test::guardTimeout.count();
        ::setsockopt(fds_[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~SocketPair() {
        closeWriter();
        ::close(fds_[1]);
    }
    void write(const std::string& bytes) { ASSERT_TRUE(sendAll(fds_[0], bytes)); }
    void closeWriter() {
        if (fds_[0] >= 0) {
            ::close(fds_[0]);
            fds_[0] = -1;
        }
    }
    int reader() const { return fds_[1]; }

private:
    int fds_[2] = {-1, -1};
};

TEST(Frames, RoundTripEveryKindThroughASocket) {
    const Frame frames[] = {
        {FrameKind::call, Operation::handleAgentMessage, 1, false, R"({"jsonrpc":"2.0","id":1})"},
        {FrameKind::call, Operation::control, UINT64_MAX, false, "{\"snapshot\":{}}"},
        {FrameKind::reply, Operation::handleAgentMessage, 7, false, ""}, // empty reply, present
        {FrameKind::reply, Operation::handleAgentMessage, 8, true, ""},  // absent reply
        {FrameKind::reply, Operation::control, 9, false, "Zoë ✓ \xF0\x9F\x98\x80"},
        {FrameKind::failure, Operation::control, 10, false, "the app may not call handleAgentMessage"},
        {FrameKind::push, Operation::deliverAgentNotification, 0, false, "note"},
        {FrameKind::push, Operation::controlEvent, 0, false, std::string(100000, 'e')},
    };
    SocketPair pair;
    for (const Frame& frame : frames) {
        const std::string bytes = encodeFrame(frame, maxFrameFromHost);
        ASSERT_EQ(bytes.size(), frameHeaderSize + frame.payload.size());
        pair.write(bytes);
    }
    pair.closeWriter();
    for (const Frame& frame : frames) {
        const ReadResult read = readFrame(pair.reader(), maxFrameFromHost);
        ASSERT_EQ(read.status, ReadStatus::frame);
        EXPECT_EQ(read.frame, frame);
    }
    EXPECT_EQ(readFrame(pair.reader(), maxFrameFromHost).status, ReadStatus::closed);
}

TEST(Frames, EncodingRefusesWhatNoPeerMayReceive) {
    const std::size_t limit = 8;
    const Frame refused[] = {
        {FrameKind::call, Operation::control, 1, false, std::string(limit + 1, 'x')}, // too large
        {FrameKind::call, Operation::control, 1, false, "\xC3"},                      // not UTF-8
        {FrameKind::call, Operation::control, 0, false, "x"},                         // no call id
        {FrameKind::call, Operation::controlEvent, 1, false, "x"},                    // a push operation
        {FrameKind::reply, Operation::control, 1, true, ""},                   // control is never absent
        {FrameKind::reply, Operation::handleAgentMessage, 1, true, "x"},       // absent with text
        {FrameKind::push, Operation::deliverAgentNotification, 3, false, "x"}, // push with call id
        {FrameKind::push, Operation::control, 0, false, "x"},                  // push of a request
    };
    for (const Frame& frame : refused) {
        EXPECT_TRUE(encodeFrame(frame, limit).empty()) << frame.payload;
    }
    EXPECT_FALSE(
        encodeFrame({FrameKind::call, Operation::control, 1, false, std::string(limit, 'x')}, limit).empty());
}

// The length is checked before anything is read or allocated: a header that
// announces too much is refused at once, without waiting for the payload.
TEST(Frames, OversizedLengthIsRefusedFromTheHeaderAlone) {
    for (const std::uint32_t length : {std::uint32_t{17}, std::uint32_t{0xFFFFFFFF}}) {
        SocketPair pair;
        pair.write(test::rawHeader(length, 1, 1, 0, frameVersion, 1)); // the writer stays open
        EXPECT_EQ(readFrame(pair.reader(), 16).status, ReadStatus::oversized);
    }
    SocketPair exact;
    exact.write(test::rawHeader(16, 1, 1, 0, frameVersion, 1) + std::string(16, 'x'));
    EXPECT_EQ(readFrame(exact.reader(), 16).status, ReadStatus::frame);
}

TEST(Frames, TruncatedAndMalformedFramesAreReportedAsSuch) {
    const std::string good = encodeFrame({FrameKind::call, Operation::control, 5, false, "payload"}, 64);
    struct Case {
        const char* name;
        std::string bytes;
        ReadStatus expected;
    };
    const Case cases[] = {
        {"nothing", "", ReadStatus::closed},
        {"half a header", good.substr(0, 7), ReadStatus::truncated},
        {"header without all of its payload", good.substr(0, good.size() - 1), ReadStatus::truncated},
        {"wrong version", test::rawHeader(1, 1, 1, 0, 2, 1) + "x", ReadStatus::malformed},
        {"unknown kind", test::rawHeader(1, 9, 1, 0, frameVersion, 1) + "x", ReadStatus::malformed},
        {"unknown operation", test::rawHeader(1, 1, 0, 0, frameVersion, 1) + "x", ReadStatus::malformed},
        {"unknown flag", test::rawHeader(1, 1, 1, 2, frameVersion, 1) + "x", ReadStatus::malformed},
        {"absent control reply", test::rawHeader(0, 2, 2, 1, frameVersion, 1), ReadStatus::malformed},
        {"call without id", test::rawHeader(1, 1, 1, 0, frameVersion, 0) + "x", ReadStatus::malformed},
        {"payload not UTF-8", test::rawHeader(2, 1, 1, 0, frameVersion, 1) + "\xED\xA0",
         ReadStatus::malformed},
    };
    for (const Case& c : cases) {
        SocketPair pair;
        pair.write(c.bytes);
        pair.closeWriter();
        EXPECT_EQ(readFrame(pair.reader(), 64).status, c.expected) << c.name;
    }
}

// A reply goes out as header and payload from separate buffers: the bytes on
// the wire must be encodeFrame's, however the socket splits them and from
// wherever an earlier partial send left off (inside the header, at its end,
// inside the payload).
TEST(Frames, AFrameKeptInPartsGoesOutAsItsEncodedBytes) {
    std::string payload(300000, 'r');
    payload += "Zo\xC3\xAB";
    Frame frame;
    frame.kind = FrameKind::reply;
    frame.callId = 42;
    frame.payload = payload;
    const std::string expected = encodeFrame(frame, maxFrameFromHost);
    const EncodedFrame parts = encodeFrameParts(frame, maxFrameFromHost);
    ASSERT_EQ(parts.size(), expected.size());
    for (const std::size_t offset : {std::size_t{0}, std::size_t{1}, frameHeaderSize - 1, frameHeaderSize,
                                     frameHeaderSize + 1, expected.size() - 1, expected.size()}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        const int small = 4096; // many partial sends
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        std::string received;
        std::size_t at = offset;
        while (received.size() < expected.size() - offset) {
            const std::optional<std::size_t> sent = sendAvailable(fds[0], parts, at);
            ASSERT_TRUE(sent.has_value());
            at += *sent;
            char buffer[65536];
            ssize_t n;
            while ((n = ::recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
            }
        }
        EXPECT_EQ(at, expected.size());
        EXPECT_TRUE(received == expected.substr(offset)) << "from offset " << offset;
        ::close(fds[0]);
        ::close(fds[1]);
    }
    // Refused exactly where encodeFrame refuses.
    const Frame refused[] = {
        {FrameKind::reply, Operation::handleAgentMessage, 1, false, "bad \xFF"},
        {FrameKind::reply, Operation::handleAgentMessage, 1, true, "absent yet present"},
        {FrameKind::reply, Operation::control, 1, false, std::string(65, 'x')},
    };
    for (const Frame& bad : refused) {
        EXPECT_TRUE(encodeFrame(bad, 64).empty());
        EXPECT_TRUE(encodeFrameParts(bad, 64).empty());
    }
}

TEST(Frames, SendingToAClosedPeerFailsWithoutSigpipe) {
    // No handler is installed here: MSG_NOSIGNAL alone must keep the process alive.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ::close(fds[1]);
    EXPECT_FALSE(sendAll(fds[0], "bytes"));
    ::close(fds[0]);

    // And with the helper, even a plain write to a closed pipe only fails.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ignoreSigpipe();
        int p[2];
        if (::pipe(p) != 0) {
            ::_exit(2);
        }
        ::close(p[0]);
        const bool failed = ::write(p[1], "x", 1) < 0 && errno == EPIPE;
        ::_exit(failed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died from signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace quorvane
