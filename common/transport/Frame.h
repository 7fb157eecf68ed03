#pragma once

// The wire form of the service: length-prefixed frames over a local stream
// socket.
//
// Header, 16 bytes, integers little-endian:
//   0..3   payload length in bytes (u32)
//   4      frame kind           (FrameKind)
//   5      operation            (Operation)
//   6      flags                (bit 0: the reply is absent; other bits zero)
//   7      wire version         (frameVersion)
//   8..15  call id (u64; zero for pushes)
// followed by the payload, UTF-8 text.
//
// A reader checks the length against the limit of its direction before it
// allocates anything; a frame that breaks any rule ends the connection.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

enum class FrameKind : std::uint8_t {
    call = 1,    // client to host: an operation with its argument
    reply = 2,   // host to client: the answer to one call
    failure = 3, // host to client: the call failed; payload is the description
    push = 4,    // host to client: a one-way push
};

enum class Operation : std::uint8_t {
    handleAgentMessage = 1,
    control = 2,
    deliverAgentNotification = 3,
    controlEvent = 4,
};

inline constexpr std::size_t frameHeaderSize = 16;
inline constexpr std::uint8_t frameVersion = 1;
inline constexpr std::uint8_t flagReplyAbsent = 0x01;

// Largest payload a host accepts, and largest a client accepts.
inline constexpr std::size_t maxFrameToHost = std::size_t{4} << 20;
inline constexpr std::size_t maxFrameFromHost = std::size_t{64} << 20;

struct Frame {
    FrameKind kind = FrameKind::call;
    Operation operation = Operation::handleAgentMessage;
    std::uint64_t callId = 0;
    bool replyAbsent = false; // only on a reply to handleAgentMessage, with an empty payload
    std::string payload;

    bool operator==(const Frame&) const = default;
};

[[nodiscard]] std::string_view operationName(Operation operation);

// Whether kind, operation, call id and flag agree with each other.
[[nodiscard]] bool isWellFormed(const Frame& frame);

// The frame's bytes, header and payload. Empty when the frame is not well
// formed, its payload exceeds maxPayload or is not valid UTF-8.
[[nodiscard]] std::string encodeFrame(const Frame& frame, std::size_t maxPayload);

// A frame ready to send, its header and its payload kept apart: a payload
// built elsewhere (a reply of some megabytes) goes to the socket from the
// buffer it was built in. Its bytes are the header's followed by the payload's.
struct EncodedFrame {
    std::string header; // frameHeaderSize bytes, or none when the frame could not be encoded
    std::string payload;

    [[nodiscard]] bool empty() const { return header.empty(); }
    [[nodiscard]] std::size_t size() const { return header.size() + payload.size(); }
};

// encodeFrame's bytes as header and payload, the payload moved out of the
// frame. Empty (and the payload dropped) on the same conditions.
[[nodiscard]] EncodedFrame encodeFrameParts(Frame frame, std::size_t maxPayload);

enum class ReadStatus {
    frame,     // a complete, well-formed frame
    closed,    // the peer closed the connection between frames
    truncated, // the connection ended inside a frame
    oversized, // the announced length exceeds the limit (nothing was allocated)
    malformed, // bad header fields or a payload that is not UTF-8
    failed,    // the socket reported an error
};

struct ReadResult {
    ReadStatus status = ReadStatus::failed;
    Frame frame; // valid when status == frame
};

[[nodiscard]] std::string_view readStatusText(ReadStatus status);

// For readers that gather a frame's bytes themselves (the host's serving
// loop): the fields of a header and the payload length it announces into
// `frame` and `length`. `frame` when the header is sound and the length
// within maxPayload (nothing else is checked yet); else oversized or
// malformed, as readFrame would answer.
[[nodiscard]] ReadStatus decodeFrameHeader(const unsigned char (&header)[frameHeaderSize],
                                           std::size_t maxPayload, Frame& frame, std::size_t& length);

// Whether a frame with its whole payload read is one a reader accepts: well
// formed, with a UTF-8 payload.
[[nodiscard]] bool isAcceptableFrame(const Frame& frame);

// Reads one frame from a blocking stream socket. Retries on EINTR. Thread-safe
// as long as one thread reads a given socket.
[[nodiscard]] ReadResult readFrame(int fd, std::size_t maxPayload);

// Writes all bytes to a blocking stream socket with MSG_NOSIGNAL (a peer that
// has gone away never raises SIGPIPE). False when the socket fails.
[[nodiscard]] bool sendAll(int fd, std::string_view bytes);

// Sends what the socket takes at once, without waiting (MSG_DONTWAIT as well
// as MSG_NOSIGNAL): the number of bytes sent, possibly fewer than asked or
// none, or nullopt when the socket failed.
[[nodiscard]] std::optional<std::size_t> sendAvailable(int fd, std::string_view bytes);

// The same for the frame's bytes from `offset` on (at most frame.size()),
// header and payload in one call.
[[nodiscard]] std::optional<std::size_t> sendAvailable(int fd, const EncodedFrame& frame, std::size_t offset);

// Ignores SIGPIPE for the whole process. Every Quorvane program calls it first.
void ignoreSigpipe();

} // namespace quorvane
