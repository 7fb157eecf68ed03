#pragma once

// Small helpers shared by the bridge tests: private folders, files and pipes.

#include <string>
#include <string_view>
#include <vector>

namespace quorvane::test {

// A folder made with mkdtemp under $TMPDIR (or under `base` when given), and
// removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& base = {});
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
[[nodiscard]] std::string readFile(const std::string& path);

// `count` copies of `c` followed by `tail`.
[[nodiscard]] std::string repeated(char c, std::size_t count, std::string_view tail = {});

// Everything readable from the descriptor until end of file.
[[nodiscard]] std::string readAll(int fd);

// The lines of a text, split at "\n" (a last part without one counts too).
[[nodiscard]] std::vector<std::string> splitLines(const std::string& text);

// A pipe whose ends close with the object.
struct Pipe {
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void closeRead();
    void closeWrite();
    int read = -1;
    int write = -1;
};

} // namespace quorvane::test
