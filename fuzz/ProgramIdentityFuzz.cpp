// The identity-note reader on hostile program files: it must answer an
// identity or a reason for every file, within its bounds.

#include <cstddef>
#include <cstdint>

#include <unistd.h>

#include "common/transport/ProgramIdentity.h"
#include "fuzz/FuzzSupport.h"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = fuzz::memoryFile(fuzz::asText(data, size));
    if (fd < 0) {
        return 0;
    }
    const Result<ProgramIdentity> reading = readProgramIdentity(fd);
    ::close(fd);
    if (reading) {
        (void)roleOf(*reading);
    } else {
        fuzz::require(!reading.error().message.empty(), "a file without an identity has no reason");
    }
    return 0;
}
