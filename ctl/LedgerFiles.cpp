#include "ctl/LedgerFiles.h"

#include <cstdlib>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

namespace quorvane::ctl {

std::string ledgerFilePath() {
    std::filesystem::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        data = xdg;
    } else {
        std::string home;
        if (const char* variable = std::getenv("HOME"); variable != nullptr && variable[0] != '\0') {
            home = variable;
        } else if (const passwd* entry = ::getpwuid(::getuid());
                   entry != nullptr && entry->pw_dir != nullptr) {
            home = entry->pw_dir;
        }
        if (home.empty()) {
            return {};
        }
        data = std::filesystem::path(home) / ".local" / "share";
    }
    return (data / "Quorvane" / "ledger.sqlite").string();
}

std::filesystem::path absolutePath(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? std::filesystem::path(path) : absolute;
}

} // namespace quorvane::ctl
