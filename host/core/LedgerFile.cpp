#include "host/core/LedgerFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/core/SQLite.h"

namespace quorvane {

namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Closes a descriptor when it goes out of scope.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

Result<DataFolderReport> prepareDataFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("cannot create the data folder " + folder + ": " + errnoText(errno));
    }
    const FdGuard fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        return fail("cannot use the data folder " + folder + ": " + errnoText(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return fail("cannot use the data folder " + folder + ": " + errnoText(errno));
    }
    const uid_t ours = ::geteuid();
    if (st.st_uid != ours) {
        return fail("the data folder " + folder + " belongs to uid " + std::to_string(st.st_uid) +
                    ", not to uid " + std::to_string(ours) + "; refusing to use it");
    }
    DataFolderReport report;
    if ((st.st_mode & 077) != 0) {
        if (::fchmod(fd.get(), 0700) != 0) {
            return fail("cannot make the data folder " + folder + " private: " + errnoText(errno));
        }
        report.note = "the data folder " + folder + " was open to other users (mode " +
                      octalMode(st.st_mode) + "); it is now 0700";
    }
    return report;
}

LedgerLock::Outcome LedgerLock::acquire(const std::string& folder) {
    const std::string path = folder + "/" + fileName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) {
        return {Status::failed, nullptr, "cannot open " + path + ": " + errnoText(errno)};
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return {Status::heldByAnother, nullptr, {}};
        }
        return {Status::failed, nullptr, "cannot lock " + path + ": " + errnoText(error)};
    }
    return {Status::acquired, std::unique_ptr<LedgerLock>(new LedgerLock(fd)), {}};
}

LedgerLock::~LedgerLock() {
    ::close(fd_); // releases the lock
}

std::unique_ptr<SQLiteDatabase> openLedgerDatabase(const std::string& path) {
    // SQLite gives the -wal and -shm files the ledger file's mode.
    struct UmaskScope {
        mode_t previous = ::umask(077);
        ~UmaskScope() { ::umask(previous); }
    } privateFiles;
    return std::make_unique<SQLiteDatabase>(path);
}

} // namespace quorvane
