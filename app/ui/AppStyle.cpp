#include "app/ui/AppStyle.h"

#include <QDateTime>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <string>

namespace quorvane::AppStyle {

namespace {

QColor blend(const QColor& from, const QColor& towards, double amount) {
    auto mix = [amount](int a, int b) { return static_cast<int>(a + (b - a) * amount + 0.5); };
    return QColor(mix(from.red(), towards.red()), mix(from.green(), towards.green()),
                  mix(from.blue(), towards.blue()));
}

// Every text style names its weight, so it never takes a parent widget's.
QFont scaled(QFont font, double factor) {
    font.setWeight(QFont::Normal);
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(std::max(7.0, font.pointSizeF() * factor));
    } else if (font.pixelSize() > 0) {
        font.setPixelSize(std::max(9, static_cast<int>(font.pixelSize() * factor + 0.5)));
    }
    return font;
}

QDateTime localDateTime(Date date) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(ms));
}

struct DateFormats {
    QString localeName;
    QString abbreviatedDate;
    QString shortTime;
    QString timeWithSeconds;
};

// The locale's long date without the weekday and with abbreviated month
// names, its short time, and its long time without the zone.
const DateFormats& dateFormats() {
    thread_local DateFormats formats;
    QLocale locale;
    if (formats.localeName != locale.name() || formats.abbreviatedDate.isEmpty()) {
        formats.localeName = locale.name();
        QString date = locale.dateFormat(QLocale::LongFormat);
        date.remove(QRegularExpression(QStringLiteral("d{4}[,.]?\\s*")));
        date.replace(QRegularExpression(QStringLiteral("M{4}")), QStringLiteral("MMM"));
        formats.abbreviatedDate = date.trimmed();
        formats.shortTime = locale.timeFormat(QLocale::ShortFormat);
        QString time = locale.timeFormat(QLocale::LongFormat);
        time.remove(QRegularExpression(QStringLiteral("\\s*\\(?t+\\)?")));
        formats.timeWithSeconds = time.trimmed();
    }
    return formats;
}

} // namespace

QColor systemGreen() {
    return QColor(0x34, 0xC7, 0x59);
}
QColor systemBlue() {
    return QColor(0x00, 0x7A, 0xFF);
}
QColor systemRed() {
    return QColor(0xFF, 0x3B, 0x30);
}
QColor systemOrange() {
    return QColor(0xFF, 0x95, 0x00);
}
QColor systemPurple() {
    return QColor(0xAF, 0x52, 0xDE);
}

QColor secondaryText(const QPalette& palette) {
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.42);
}
QColor secondaryText() {
    return secondaryText(QGuiApplication::palette());
}

QColor tertiaryText(const QPalette& palette) {
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.6);
}
QColor tertiaryText() {
    return tertiaryText(QGuiApplication::palette());
}

QColor quaternaryFill(const QPalette& palette) {
    QColor fill = palette.color(QPalette::WindowText);
    fill.setAlphaF(0.06);
    return fill;
}

QColor amountColor(std::int64_t value, const QPalette& palette) {
    if (value > 0) {
        return creditColor();
    }
    if (value < 0) {
        return debitColor();
    }
    return noteColor(palette);
}
QColor amountColor(std::int64_t value) {
    return amountColor(value, QGuiApplication::palette());
}

QColor color(EntryType type, const QPalette& palette) {
    switch (type) {
    case EntryType::credit:
        return creditColor();
    case EntryType::bonus:
        return bonusColor();
    case EntryType::debit:
        return debitColor();
    case EntryType::penalty:
        return penaltyColor();
    case EntryType::note:
        return noteColor(palette);
    }
    return noteColor(palette);
}
QColor color(EntryType type) {
    return color(type, QGuiApplication::palette());
}

QFont body() {
    QFont font = QGuiApplication::font();
    font.setWeight(QFont::Normal);
    return font;
}
QFont callout() {
    return scaled(body(), 0.93);
}
QFont caption() {
    return scaled(body(), 0.85);
}
QFont caption2() {
    return scaled(body(), 0.8);
}

QFont headline() {
    QFont font = body();
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont title2() {
    return scaled(body(), 1.32);
}
QFont title3() {
    return scaled(body(), 1.16);
}

QFont balanceFont() {
    QFont font = body();
    font.setPointSizeF(34);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont amountFont() {
    return body();
}

QFont monospacedSmall() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setWeight(QFont::Normal);
    QFont size = caption();
    if (size.pointSizeF() > 0) {
        font.setPointSizeF(size.pointSizeF());
    } else {
        font.setPixelSize(size.pixelSize());
    }
    return font;
}

QString signedAmountText(std::int64_t value) {
    std::string digits = std::to_string(value);
    return QString::fromStdString(value >= 1 ? "+" + digits : digits);
}

QString plainInteger(std::int64_t value) {
    return QString::number(static_cast<qlonglong>(value));
}

QString localeInteger(std::int64_t value) {
    return QLocale().toString(static_cast<qlonglong>(value));
}

std::optional<std::int64_t> parseLocaleInteger(const QString& text) {
    bool ok = false;
    qlonglong value = QLocale().toLongLong(text.trimmed(), &ok);
    if (!ok) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

QString entryDateText(Date date) {
    const DateFormats& formats = dateFormats();
    QDateTime when = localDateTime(date);
    QLocale locale;
    return locale.toString(when.date(), formats.abbreviatedDate) + QLatin1Char(' ') +
           locale.toString(when.time(), formats.shortTime);
}

QString timeOfDayText(Date date) {
    return QLocale().toString(localDateTime(date).time(), dateFormats().timeWithSeconds);
}

} // namespace quorvane::AppStyle
