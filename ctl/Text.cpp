#include "ctl/Text.h"

#include <algorithm>
#include <cstdio>

#include <utf8proc.h>

#include "common/Utf8Text.h"

namespace quorvane::ctl {
namespace {

constexpr std::string_view ellipsis = "\u2026";

bool shownAsEscape(utf8proc_int32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

std::string escapeFor(utf8proc_int32_t c) {
    switch (c) {
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    default:
        break;
    }
    char text[12];
    if (c < 0x100) {
        std::snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned>(c));
    } else {
        std::snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(c));
    }
    return text;
}

// Calls visit(codePoint, bytes) for each character of well-formed UTF-8.
template <class Visit>
void forEachCharacter(std::string_view text, Visit&& visit) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto left = static_cast<utf8proc_ssize_t>(text.size());
    while (left > 0) {
        utf8proc_int32_t c = 0;
        utf8proc_ssize_t length = utf8proc_iterate(bytes, left, &c);
        if (length <= 0) { // not reached for sanitized text; never loop forever
            return;
        }
        if (!visit(c, std::string_view(reinterpret_cast<const char*>(bytes),
                                       static_cast<std::size_t>(length)))) {
            return;
        }
        bytes += length;
        left -= length;
    }
}

std::size_t characterWidth(utf8proc_int32_t c) {
    const int width = utf8proc_charwidth(c);
    return width > 0 ? static_cast<std::size_t>(width) : 0;
}

} // namespace

std::string groupedNumber(std::int64_t value) {
    // Through the unsigned magnitude, so the most negative value has one too.
    const bool negative = value < 0;
    std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    std::string grouped;
    grouped.reserve(digits.size() + digits.size() / 3 + 1);
    if (negative) {
        grouped.push_back('-');
    }
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped.push_back(',');
        }
        grouped.push_back(digits[i]);
    }
    return grouped;
}

std::string terminalSafe(std::string_view text) {
    const std::string valid = Utf8Text::sanitize(text);
    std::string safe;
    safe.reserve(valid.size());
    forEachCharacter(valid, [&](utf8proc_int32_t c, std::string_view bytes) {
        if (shownAsEscape(c)) {
            safe += escapeFor(c);
        } else {
            safe += bytes;
        }
        return true;
    });
    return safe;
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    forEachCharacter(Utf8Text::sanitize(text), [&](utf8proc_int32_t c, std::string_view) {
        width += characterWidth(c);
        return true;
    });
    return width;
}

std::string clipToWidth(std::string_view text, std::size_t columns) {
    const std::string safe = terminalSafe(text);
    if (displayWidth(safe) <= columns) {
        return safe;
    }
    if (columns == 0) {
        return {};
    }
    const std::size_t room = columns - 1; // the ellipsis takes one column
    std::string clipped;
    std::size_t width = 0;
    forEachCharacter(safe, [&](utf8proc_int32_t c, std::string_view bytes) {
        const std::size_t next = characterWidth(c);
        if (width + next > room) {
            return false;
        }
        width += next;
        clipped += bytes;
        return true;
    });
    clipped += ellipsis;
    return clipped;
}

std::string csvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted.push_back('"');
    for (char c : text) {
        if (c == '"') {
            quoted.push_back('"');
        }
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}

std::string csvRecord(const std::vector<std::string>& fields) {
    std::string record;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            record.push_back(',');
        }
        record += csvField(fields[i]);
    }
    record += "\r\n";
    return record;
}

Table::Table(std::vector<Column> columns) : columns_(std::move(columns)) {
}

void Table::addRow(std::vector<std::string> cells) {
    cells.resize(columns_.size());
    for (auto& cell : cells) {
        cell = terminalSafe(cell);
    }
    rows_.push_back(std::move(cells));
}

void Table::print(std::ostream& out) const {
    std::vector<std::size_t> widths(columns_.size(), 0);
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        widths[i] = displayWidth(columns_[i].heading);
        for (const auto& row : rows_) {
            widths[i] = std::max(widths[i], displayWidth(row[i]));
        }
    }
    auto printRow = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const bool last = i + 1 == columns_.size();
            const std::size_t pad = widths[i] - displayWidth(cells[i]);
            if (i > 0) {
                line += "  ";
            }
            if (columns_[i].align == Align::right) {
                line.append(pad, ' ');
                line += cells[i];
            } else {
                line += cells[i];
                if (!last) {
                    line.append(pad, ' ');
                }
            }
        }
        out << line << '\n';
    };
    std::vector<std::string> headings;
    for (const auto& column : columns_) {
        headings.push_back(terminalSafe(column.heading));
    }
    printRow(headings);
    for (const auto& row : rows_) {
        printRow(row);
    }
}

} // namespace quorvane::ctl
