#include "app/AtomicFile.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::autostart {

namespace {

std::string errorText(int error) {
    std::array<char, 256> buffer{};
    return ::strerror_r(error, buffer.data(), buffer.size());
}

// mkdir -p with mode 0700 for the folders it creates.
Result<void> createFolders(const std::filesystem::path& folder) {
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) == 0 || errno == EEXIST) {
            continue;
        }
        return fail("cannot create " + partial.string() + ": " + errorText(errno));
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return fail(folder.string() + " is not a folder");
    }
    return {};
}

bool writeAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode) {
    if (!path.is_absolute() || !path.has_filename()) {
        return fail("not an absolute file path: " + path.string());
    }
    const auto folder = path.parent_path();
    if (Result<void> created = createFolders(folder); !created) {
        return created;
    }

    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return fail("cannot create a file in " + folder.string() + ": " + errorText(errno));
    }
    auto abandon = [&](const std::string& what) {
        int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return fail(what + ": " + errorText(error));
    };
    if (::fchmod(fd, mode) != 0) {
        return abandon("cannot set the permissions of " + temporary);
    }
    if (!writeAll(fd, contents)) {
        return abandon("cannot write " + temporary);
    }
    if (::fsync(fd) != 0) {
        return abandon("cannot flush " + temporary);
    }
    if (::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return fail("cannot write " + temporary + ": " + errorText(error));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return fail("cannot replace " + path.string() + ": " + errorText(error));
    }
    // Make the rename itself durable; a failure here loses nothing already written.
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return {};
}

} // namespace quorvane::autostart
