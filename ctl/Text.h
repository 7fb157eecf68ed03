#pragma once

// How quorvanectl writes values for people and for other programs: grouped
// numbers, text from the ledger made safe for a terminal, aligned tables and
// CSV fields. Pure functions and a plain value class; safe on any thread.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::ctl {

// The value with its thousands grouped by commas: "1,234,567", "-42".
[[nodiscard]] std::string groupedNumber(std::int64_t value);

// Text an agent may have chosen (labels, memos, payloads) as it may be shown
// on one terminal line: ill-formed UTF-8 becomes U+FFFD; control characters
// (C0, DEL, C1) and the bidirectional formatting characters, which could move
// the cursor, recolour the terminal or reorder what is shown, are written as
// visible escapes ("\n", "\t", "\x1B", "\u202E"); a backslash stays as it is.
[[nodiscard]] std::string terminalSafe(std::string_view text);

// The columns a terminal gives to terminal-safe text (wide characters take two,
// combining marks none).
[[nodiscard]] std::size_t displayWidth(std::string_view text);

// Terminal-safe text cut to at most `columns` columns; a cut text ends with
// "…" within that width. Cuts only between characters.
[[nodiscard]] std::string clipToWidth(std::string_view text, std::size_t columns);

// One field of a CSV record (RFC 4180): quoted when it holds a comma, a double
// quote, CR or LF, with each double quote
// doubled; otherwise unchanged. The bytes are not changed in any other way.
[[nodiscard]] std::string csvField(std::string_view text);

// The fields joined by commas and ended by CRLF.
[[nodiscard]] std::string csvRecord(const std::vector<std::string>& fields);

// Rows of cells under headings, printed with the columns aligned and two
// spaces between them. Cells are made terminal-safe when printed; the last
// column is not padded.
class Table {
public:
    enum class Align { left, right };
    struct Column {
        std::string heading;
        Align align = Align::left;
    };

    explicit Table(std::vector<Column> columns);

    // A row with one cell per column (missing cells are empty, extra ones dropped).
    void addRow(std::vector<std::string> cells);

    [[nodiscard]] bool empty() const { return rows_.empty(); }

    void print(std::ostream& out) const;

private:
    std::vector<Column> columns_;
    std::vector<std::vector<std::string>> rows_;
};

} // namespace quorvane::ctl
