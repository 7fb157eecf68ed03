#pragma once

// Small helpers shared by the fuzz targets.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

namespace quorvane::fuzz {

// Stops the run with a message: libFuzzer records the input as a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

inline void require(bool holds, const char* what) {
    if (!holds) {
        fail(what);
    }
}

// An anonymous regular file holding `bytes`, positioned at its start. The
// caller owns the descriptor; -1 when it cannot be made.
[[nodiscard]] inline int memoryFile(std::string_view bytes) {
    const int fd = ::memfd_create("quorvane-fuzz", MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

[[nodiscard]] inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace quorvane::fuzz
