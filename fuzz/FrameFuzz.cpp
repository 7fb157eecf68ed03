// The frame reader on a stream of hostile bytes. The first input byte picks
// the payload limit (the host's or a tiny one, to reach the oversized path);
// the rest is what the peer sent. Every frame read must encode back to exactly
// the bytes it was read from.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/socket.h>
#include <unistd.h>

#include "common/transport/Frame.h"
#include "fuzz/FuzzSupport.h"

using namespace quorvane;

namespace {

// A stream socket's buffer holds this much without a reader.
constexpr std::size_t maxStream = 64 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > maxStream) {
        return -1;
    }
    const std::size_t limit = (data[0] & 1) != 0 ? maxFrameToHost : static_cast<std::size_t>(data[0] >> 1);
    const std::string_view stream = fuzz::asText(data + 1, size - 1);

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return 0;
    }
    const bool sent = sendAll(ends[1], stream);
    ::shutdown(ends[1], SHUT_WR);
    if (sent) {
        std::size_t offset = 0;
        for (;;) {
            const ReadResult read = readFrame(ends[0], limit);
            if (read.status != ReadStatus::frame) {
                fuzz::require(read.status != ReadStatus::failed, "reading a socket pair failed");
                fuzz::require(read.status != ReadStatus::closed || offset == stream.size(),
                              "closed reported inside the stream");
                break;
            }
            fuzz::require(isWellFormed(read.frame), "a frame read is not well formed");
            fuzz::require(read.frame.payload.size() <= limit, "a frame read exceeds the limit");
            const std::string bytes = encodeFrame(read.frame, limit);
            fuzz::require(bytes == stream.substr(offset, bytes.size()),
                          "a frame read does not encode to its own bytes");
            offset += bytes.size();
        }
    }
    ::close(ends[0]);
    ::close(ends[1]);
    return 0;
}
