// The bridge's input side on hostile standard input: the line reader, then
// the request-id and reply readers on every line it yields. The first input
// byte picks the line limit (small, to reach the oversized paths, or the
// bridge's own).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <unistd.h>

#include "bridge/BridgeMessages.h"
#include "bridge/LineReader.h"
#include "common/Json.h"
#include "common/Utf8Text.h"
#include "fuzz/FuzzSupport.h"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return -1;
    }
    const std::size_t limit = data[0] == 0xff ? defaultMaxLineBytes : std::size_t{data[0]};
    const int fd = fuzz::memoryFile(fuzz::asText(data + 1, size - 1));
    if (fd < 0) {
        return 0;
    }
    LineReader reader(fd, limit);
    std::size_t lines = 0;
    for (;;) {
        const InputLine line = reader.next();
        if (line.kind == InputLine::Kind::end) {
            break;
        }
        fuzz::require(++lines <= size, "more lines than input bytes");
        if (line.kind == InputLine::Kind::oversized) {
            fuzz::require(line.text.empty(), "an oversized line carries text");
            continue;
        }
        fuzz::require(line.text.size() <= limit, "a line exceeds the limit");
        fuzz::require(line.text.find('\n') == std::string::npos, "a line holds a line feed");
        fuzz::require(Utf8Text::isValid(line.text), "a line is not valid UTF-8");

        if (const auto id = requestId(line.text)) {
            const std::string reply = errorLine(*id, hostUnavailableMessage);
            fuzz::require(parseJson(reply).has_value(), "an error line is not JSON");
        }
        (void)isNotAuthenticated(line.text);
    }
    fuzz::require(reader.next().kind == InputLine::Kind::end, "input resumed after its end");
    ::close(fd);
    return 0;
}
