#pragma once

// The one set of colours and fonts every view of the operator app draws with,
// the amount colour rule, and the locale-aware number and date texts.
//
// The system colours are fixed; secondary and tertiary text colours come from
// a palette (the application's unless one is given), so a dark palette works.
// Fonts are derived from the application's font at the time of the call: body
// is that font, the other text styles are relative sizes of it.
//
// Threads: GUI thread only (reads the application's palette and font).

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

#include <cstdint>
#include <optional>

#include "app/ui/EntryType.h"
#include "common/IsoDate.h"

namespace quorvane::AppStyle {

// ---- Colours -------------------------------------------------------------------

[[nodiscard]] QColor systemGreen();
[[nodiscard]] QColor systemBlue();
[[nodiscard]] QColor systemRed();
[[nodiscard]] QColor systemOrange();
[[nodiscard]] QColor systemPurple();

// Text colours for a palette: secondary is the window text faded halfway
// towards the window colour, tertiary further.
[[nodiscard]] QColor secondaryText(const QPalette& palette);
[[nodiscard]] QColor secondaryText();
[[nodiscard]] QColor tertiaryText(const QPalette& palette);
[[nodiscard]] QColor tertiaryText();
// The faint fill behind the add-entry form.
[[nodiscard]] QColor quaternaryFill(const QPalette& palette);

[[nodiscard]] inline QColor creditColor() {
    return systemGreen();
}
[[nodiscard]] inline QColor bonusColor() {
    return systemBlue();
}
[[nodiscard]] inline QColor debitColor() {
    return systemRed();
}
[[nodiscard]] inline QColor penaltyColor() {
    return systemOrange();
}
[[nodiscard]] inline QColor noteColor(const QPalette& palette) {
    return secondaryText(palette);
}
[[nodiscard]] inline QColor noteColor() {
    return secondaryText();
}
[[nodiscard]] inline QColor connectedColor() {
    return systemGreen();
}
[[nodiscard]] inline QColor disconnectedColor(const QPalette& palette) {
    return secondaryText(palette);
}
[[nodiscard]] inline QColor disconnectedColor() {
    return secondaryText();
}

// Above 0 creditColor, below 0 debitColor, exactly 0 noteColor.
[[nodiscard]] QColor amountColor(std::int64_t value, const QPalette& palette);
[[nodiscard]] QColor amountColor(std::int64_t value);

[[nodiscard]] QColor color(EntryType type, const QPalette& palette);
[[nodiscard]] QColor color(EntryType type);

// ---- Fonts ---------------------------------------------------------------------

[[nodiscard]] QFont body();
[[nodiscard]] QFont callout();
[[nodiscard]] QFont caption();
[[nodiscard]] QFont caption2();
[[nodiscard]] QFont headline();
[[nodiscard]] QFont title2();
[[nodiscard]] QFont title3();

// 34 points, semibold.
[[nodiscard]] QFont balanceFont();
// Body size; digits of equal width (the system font's default figures).
[[nodiscard]] QFont amountFont();
[[nodiscard]] inline QFont sectionTitleFont() {
    return headline();
}
// The system's fixed-width font at caption size.
[[nodiscard]] QFont monospacedSmall();

// ---- Texts ---------------------------------------------------------------------

// "+5" for 5, "0" for 0, "-25" for -25: plain decimal digits, no grouping.
[[nodiscard]] QString signedAmountText(std::int64_t value);
// Plain decimal digits, no grouping.
[[nodiscard]] QString plainInteger(std::int64_t value);

// The integer in the user's locale, with its group separators.
[[nodiscard]] QString localeInteger(std::int64_t value);
// An integer typed in the user's locale (group separators allowed, surrounding
// spaces ignored); nullopt when the text is not a 64-bit integer.
[[nodiscard]] std::optional<std::int64_t> parseLocaleInteger(const QString& text);

// Abbreviated date and short time in the user's locale and time zone, e.g.
// "Mar 5, 2024 3:41 PM".
[[nodiscard]] QString entryDateText(Date date);
// Time of day with seconds, without date or zone, e.g. "3:41:07 PM".
[[nodiscard]] QString timeOfDayText(Date date);

} // namespace quorvane::AppStyle
