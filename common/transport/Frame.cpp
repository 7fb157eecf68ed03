#include "common/transport/Frame.h"

#include "common/Utf8Text.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <span>

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace quorvane {

namespace {

void putLe(unsigned char* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint64_t getLe(const unsigned char* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | in[i];
    }
    return value;
}

bool isRequestOperation(Operation op) {
    return op == Operation::handleAgentMessage || op == Operation::control;
}

bool isPushOperation(Operation op) {
    return op == Operation::deliverAgentNotification || op == Operation::controlEvent;
}

enum class Fill { complete, eof, error };

// Reads exactly `size` bytes; `eof` when the stream ended first (got tells how
// much arrived).
Fill readExact(int fd, char* data, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t n = ::recv(fd, data + got, size - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return Fill::eof;
        } else if (errno != EINTR) {
            return Fill::error;
        }
    }
    return Fill::complete;
}

} // namespace

std::string_view operationName(Operation operation) {
    switch (operation) {
    case Operation::handleAgentMessage:
        return "handleAgentMessage";
    case Operation::control:
        return "control";
    case Operation::deliverAgentNotification:
        return "deliverAgentNotification";
    case Operation::controlEvent:
        return "controlEvent";
    }
    return "unknown";
}

bool isWellFormed(const Frame& frame) {
    switch (frame.kind) {
    case FrameKind::call:
    case FrameKind::failure:
        return isRequestOperation(frame.operation) && frame.callId != 0 && !frame.replyAbsent;
    case FrameKind::reply:
        if (!isRequestOperation(frame.operation) || frame.callId == 0) {
            return false;
        }
        return !frame.replyAbsent ||
               (frame.operation == Operation::handleAgentMessage && frame.payload.empty());
    case FrameKind::push:
        return isPushOperation(frame.operation) && frame.callId == 0 && !frame.replyAbsent;
    }
    return false;
}

namespace {

// The header of a frame that can be sent; empty otherwise.
std::string encodeHeader(const Frame& frame, std::size_t maxPayload) {
    if (frame.payload.size() > maxPayload || frame.payload.size() > UINT32_MAX || !isWellFormed(frame) ||
        !Utf8Text::isValid(frame.payload)) {
        return {};
    }
    std::string bytes(frameHeaderSize, '\0');
    auto* header = reinterpret_cast<unsigned char*>(bytes.data());
    putLe(header, frame.payload.size(), 4);
    header[4] = static_cast<unsigned char>(frame.kind);
    header[5] = static_cast<unsigned char>(frame.operation);
    header[6] = frame.replyAbsent ? flagReplyAbsent : 0;
    header[7] = frameVersion;
    putLe(header + 8, frame.callId, 8);
    return bytes;
}

} // namespace

std::string encodeFrame(const Frame& frame, std::size_t maxPayload) {
    std::string bytes = encodeHeader(frame, maxPayload);
    if (!bytes.empty()) {
        bytes.append(frame.payload);
    }
    return bytes;
}

EncodedFrame encodeFrameParts(Frame frame, std::size_t maxPayload) {
    std::string header = encodeHeader(frame, maxPayload);
    if (header.empty()) {
        return {};
    }
    return {std::move(header), std::move(frame.payload)};
}

std::string_view readStatusText(ReadStatus status) {
    switch (status) {
    case ReadStatus::frame:
        return "frame";
    case ReadStatus::closed:
        return "the peer closed the connection";
    case ReadStatus::truncated:
        return "the connection ended inside a frame";
    case ReadStatus::oversized:
        return "the peer sent a frame larger than allowed";
    case ReadStatus::malformed:
        return "the peer sent a malformed frame";
    case ReadStatus::failed:
        return "the connection failed";
    }
    return "unknown";
}

ReadStatus decodeFrameHeader(const unsigned char (&header)[frameHeaderSize], std::size_t maxPayload,
                             Frame& frame, std::size_t& length) {
    const std::uint64_t announced = getLe(header, 4);
    if (announced > maxPayload) {
        return ReadStatus::oversized;
    }
    const unsigned kind = header[4];
    const unsigned op = header[5];
    const unsigned flags = header[6];
    if (header[7] != frameVersion || kind < 1 || kind > 4 || op < 1 || op > 4 ||
        (flags & ~flagReplyAbsent) != 0) {
        return ReadStatus::malformed;
    }
    frame.kind = static_cast<FrameKind>(kind);
    frame.operation = static_cast<Operation>(op);
    frame.replyAbsent = (flags & flagReplyAbsent) != 0;
    frame.callId = getLe(header + 8, 8);
    length = static_cast<std::size_t>(announced);
    return ReadStatus::frame;
}

bool isAcceptableFrame(const Frame& frame) {
    return isWellFormed(frame) && Utf8Text::isValid(frame.payload);
}

ReadResult readFrame(int fd, std::size_t maxPayload) {
    unsigned char header[frameHeaderSize];
    std::size_t got = 0;
    switch (readExact(fd, reinterpret_cast<char*>(header), sizeof header, got)) {
    case Fill::complete:
        break;
    case Fill::eof:
        return {got == 0 ? ReadStatus::closed : ReadStatus::truncated, {}};
    case Fill::error:
        return {ReadStatus::failed, {}};
    }

    ReadResult result{ReadStatus::frame, {}};
    Frame& frame = result.frame;
    std::size_t length = 0;
    if (const ReadStatus decoded = decodeFrameHeader(header, maxPayload, frame, length);
        decoded != ReadStatus::frame) {
        return {decoded, {}};
    }
    frame.payload.resize(length);
    switch (readExact(fd, frame.payload.data(), frame.payload.size(), got)) {
    case Fill::complete:
        break;
    case Fill::eof:
        return {ReadStatus::truncated, {}};
    case Fill::error:
        return {ReadStatus::failed, {}};
    }
    if (!isAcceptableFrame(frame)) {
        return {ReadStatus::malformed, {}};
    }
    return result;
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

namespace {

// Sends what the socket takes at once of the pieces' bytes, one after the
// other, from `offset` on: one sendmsg for all of them.
std::optional<std::size_t> sendPiecesAvailable(int fd, std::span<const std::string_view> pieces,
                                               std::size_t offset) {
    std::array<iovec, 2> parts;
    std::size_t total = 0;
    for (const std::string_view piece : pieces) {
        total += piece.size();
    }
    std::size_t at = offset;
    while (at < total) {
        std::size_t count = 0;
        std::size_t skip = at;
        for (const std::string_view piece : pieces) {
            if (skip >= piece.size()) {
                skip -= piece.size();
                continue;
            }
            // sendmsg only reads what the vectors point at.
            parts.at(count++) = {const_cast<char*>(piece.data()) + skip, piece.size() - skip};
            skip = 0;
        }
        msghdr message{};
        message.msg_iov = parts.data();
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return std::nullopt;
        }
    }
    return at - offset;
}

} // namespace

std::optional<std::size_t> sendAvailable(int fd, std::string_view bytes) {
    const std::string_view pieces[] = {bytes};
    return sendPiecesAvailable(fd, pieces, 0);
}

std::optional<std::size_t> sendAvailable(int fd, const EncodedFrame& frame, std::size_t offset) {
    const std::string_view pieces[] = {frame.header, frame.payload};
    return sendPiecesAvailable(fd, pieces, offset);
}

void ignoreSigpipe() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

} // namespace quorvane
