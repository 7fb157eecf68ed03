#include "app/AutostartFiles.h"

#include <algorithm>
#include <cctype>

namespace quorvane::autostart {

namespace {

bool safePath(const std::string& path) {
    return !path.empty() && path.front() == '/' && std::none_of(path.begin(), path.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// One double-quoted word for a unit's command line: backslash and quote are
// escaped, '%' starts a specifier and '$' a variable, so both are doubled.
std::string unitCommandWord(const std::string& path) {
    std::string word = "\"";
    for (char c : path) {
        switch (c) {
        case '\\':
        case '"':
            word += '\\';
            word += c;
            break;
        case '%':
            word += "%%";
            break;
        case '$':
            word += "$$";
            break;
        default:
            word += c;
        }
    }
    word += '"';
    return word;
}

// One quoted argument of an Exec value. The quoting rule escapes '"', '`', '$'
// and '\' with a backslash and doubles '%'; the string rule of the file format
// is applied on top of that and doubles every backslash once more.
std::string desktopExecWord(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '%') {
            quoted += "%%";
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    std::string escaped;
    for (char c : quoted) {
        escaped += c;
        if (c == '\\') {
            escaped += '\\';
        }
    }
    return escaped;
}

std::string_view trimmed(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

std::optional<std::string> systemdUnitText(const std::filesystem::path& hostProgram) {
    const std::string path = hostProgram.string();
    if (!safePath(path)) {
        return std::nullopt;
    }
    return "[Unit]\n"
           "Description=Quorvane host (points ledger for AI agents)\n"
           "\n"
           "[Service]\n"
           // The host tells the manager when it accepts connections, so that a
           // start returns only then.
           "Type=notify\n"
           "ExecStart=" +
           unitCommandWord(path) +
           "\n"
           "Restart=on-failure\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

std::optional<std::string> desktopEntryText(const std::filesystem::path& hostProgram) {
    const std::string path = hostProgram.string();
    if (!safePath(path)) {
        return std::nullopt;
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quorvane host\n"
           "Comment=Keeps the Quorvane points ledger for AI agents\n"
           "Exec=" +
           desktopExecWord(path) +
           "\n"
           "NoDisplay=true\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool desktopEntryDisabled(std::string_view text) {
    bool inMainGroup = false;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        auto equals = line.find('=');
        if (!inMainGroup || equals == std::string_view::npos) {
            continue;
        }
        auto key = trimmed(line.substr(0, equals));
        auto value = trimmed(line.substr(equals + 1));
        if ((key == "Hidden" && equalsIgnoringCase(value, "true")) ||
            (key == "X-GNOME-Autostart-enabled" && equalsIgnoringCase(value, "false"))) {
            return true;
        }
    }
    return false;
}

} // namespace quorvane::autostart
