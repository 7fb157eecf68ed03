#pragma once

// A private folder for one test (or one benchmark run), removed with
// everything in it when the object goes.
//
// Folders that will hold a service socket must leave room for the socket's
// path: a local socket address holds at most maxSocketPathLength bytes, and a
// deep build folder (the tests' $TMPDIR lives in it) may not. withSocketRoom()
// then makes the folder under /tmp instead.
//
// Not thread-safe; construction throws std::runtime_error when the folder
// cannot be made.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvane::test {

class TempDir {
public:
    // A new folder `<base>/<prefix>XXXXXX`. An empty `base` means $TMPDIR, or
    // /tmp when that is unset or not an absolute path.
    explicit TempDir(const std::string& base = {}, std::string_view prefix = "qv");

    // A folder below which `room` more bytes of path still fit a socket
    // address: under $TMPDIR when they fit there, else under /tmp.
    [[nodiscard]] static TempDir withSocketRoom(std::size_t room, std::string_view prefix = "qv");

    // The bytes the service's sockets take below a runtime folder: the longer
    // of the two, "/quorvane-control/<service name>".
    [[nodiscard]] static std::size_t serviceSocketRoom();

    TempDir(TempDir&& other) noexcept;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    TempDir& operator=(TempDir&&) = delete;
    ~TempDir();

    [[nodiscard]] const std::string& path() const { return path_; }
    // `<path>/<name>`; the file is not made.
    [[nodiscard]] std::string file(std::string_view name) const;

private:
    struct Made {};
    TempDir(Made, std::string path) : path_(std::move(path)) {}
    std::string path_;
};

// $TMPDIR when it is an absolute path, else /tmp.
[[nodiscard]] std::string temporaryBase();

} // namespace quorvane::test
