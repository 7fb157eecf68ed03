#include "app/ui/AppIcons.h"

#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QImageReader>
#include <QPainter>
#include <QPalette>
#include <QPixmapCache>

#include <array>
#include <optional>

// The bundled glyphs live in a resource of this static library; it must be
// registered explicitly.
static void initBundledIcons() {
    Q_INIT_RESOURCE(icons);
}

namespace quorvane::AppIcons {

namespace {

struct Glyph {
    const char* resource;  // file name under :/quorvane/icons/
    const char* themeName; // freedesktop name, or nullptr when no theme icon fits
};

Glyph glyph(AppIcon which) {
    switch (which) {
    case AppIcon::records:
        return {"records", "view-list-details"};
    case AppIcon::activity:
        return {"activity", "utilities-system-monitor"};
    case AppIcon::settings:
        return {"settings", "preferences-system"};
    case AppIcon::noSelection:
        return {"no-selection", nullptr};
    case AppIcon::pencil:
        return {"pencil", "document-edit"};
    case AppIcon::trash:
        return {"trash", "edit-delete"};
    case AppIcon::arrowDownLeft:
        return {"arrow-down-left", nullptr};
    case AppIcon::arrowUpRight:
        return {"arrow-up-right", nullptr};
    case AppIcon::bell:
        return {"bell", nullptr};
    case AppIcon::personCheckmark:
        return {"person-checkmark", nullptr};
    case AppIcon::personQuestionmark:
        return {"person-questionmark", nullptr};
    }
    return {"records", nullptr};
}

bool svgReadable() {
    static const bool readable = QImageReader::supportedImageFormats().contains("svg");
    return readable;
}

// The untinted mask: the SVG source where Qt reads SVG, else the PNG renderings.
const QIcon& mask(AppIcon which) {
    static const bool registered = (initBundledIcons(), true);
    (void)registered;
    static QHash<int, QIcon> masks;
    auto found = masks.find(static_cast<int>(which));
    if (found != masks.end()) {
        return *found;
    }
    QIcon icon;
    QString base = QStringLiteral(":/quorvane/icons/") + QLatin1String(glyph(which).resource);
    if (svgReadable()) {
        icon.addFile(base + QStringLiteral(".svg"));
    } else {
        QString pngBase = QStringLiteral(":/quorvane/icons/png/") + QLatin1String(glyph(which).resource);
        for (int size : {16, 24, 32, 48, 64, 128}) {
            icon.addFile(pngBase + QLatin1Char('-') + QString::number(size) + QStringLiteral(".png"),
                         QSize(size, size));
        }
    }
    return *masks.insert(static_cast<int>(which), icon);
}

QPixmap paintTinted(AppIcon which, const QColor& color, QSize size, qreal dpr) {
    QSize device(qMax(1, qRound(size.width() * dpr)), qMax(1, qRound(size.height() * dpr)));
    QPixmap source = mask(which).pixmap(device);
    QPixmap out(device);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    QRect target(QPoint(0, 0), source.size().scaled(device, Qt::KeepAspectRatio));
    target.moveCenter(QRect(QPoint(0, 0), device).center());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(target, source);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(out.rect(), color);
    painter.end();
    out.setDevicePixelRatio(dpr);
    return out;
}

// Draws a bundled glyph in a fixed colour, or in the application palette's
// colour for the icon's mode when no colour is fixed.
class TintedEngine final : public QIconEngine {
public:
    TintedEngine(AppIcon which, std::optional<QColor> color) : which_(which), color_(std::move(color)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        qreal dpr = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, dpr));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        return AppIcons::pixmap(which_, colorFor(mode), size, scale);
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }

    QIconEngine* clone() const override { return new TintedEngine(which_, color_); }

    QString key() const override { return QStringLiteral("QuorvaneTinted"); }

private:
    QColor colorFor(QIcon::Mode mode) const {
        QPalette palette = QGuiApplication::palette();
        if (mode == QIcon::Disabled) {
            return palette.color(QPalette::Disabled, QPalette::WindowText);
        }
        if (color_) {
            return *color_;
        }
        if (mode == QIcon::Selected) {
            return palette.color(QPalette::HighlightedText);
        }
        return palette.color(QPalette::WindowText);
    }

    AppIcon which_;
    std::optional<QColor> color_;
};

} // namespace

QIcon icon(AppIcon which) {
    if (const char* name = glyph(which).themeName;
        name != nullptr && QIcon::hasThemeIcon(QLatin1String(name))) {
        return QIcon::fromTheme(QLatin1String(name));
    }
    return QIcon(new TintedEngine(which, std::nullopt));
}

QIcon tinted(AppIcon which, const QColor& color) {
    return QIcon(new TintedEngine(which, color));
}

QPixmap pixmap(AppIcon which, const QColor& color, QSize size, qreal devicePixelRatio) {
    QString key = QStringLiteral("quorvane-icon-%1-%2-%3x%4@%5")
                      .arg(static_cast<int>(which))
                      .arg(color.rgba())
                      .arg(size.width())
                      .arg(size.height())
                      .arg(devicePixelRatio);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached)) {
        return cached;
    }
    cached = paintTinted(which, color, size, devicePixelRatio);
    QPixmapCache::insert(key, cached);
    return cached;
}

bool hasBundledGlyph(AppIcon which) {
    return !mask(which).pixmap(QSize(16, 16)).isNull();
}

} // namespace quorvane::AppIcons
