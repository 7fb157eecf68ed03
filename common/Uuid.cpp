#include "common/Uuid.h"

#include <cerrno>
#include <cstddef>
#include <sys/random.h>
#include <sys/types.h>
#include <uuid/uuid.h>

namespace quorvane {

std::string newUuidString() {
    uuid_t raw;
    // The 16 random bytes straight from getrandom(2): one system call, where
    // uuid_generate_random makes several per id (ids are made for every logged
    // agent message, so this is on the hot path).
    std::size_t filled = 0;
    while (filled < sizeof raw) {
        const ssize_t n = getrandom(raw + filled, sizeof raw - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            uuid_generate_random(raw);
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    raw[6] = static_cast<unsigned char>((raw[6] & 0x0F) | 0x40); // version 4
    raw[8] = static_cast<unsigned char>((raw[8] & 0x3F) | 0x80); // RFC 4122 variant
    char text[37];
    uuid_unparse_upper(raw, text);
    return std::string(text, 36);
}

} // namespace quorvane
