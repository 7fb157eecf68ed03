#pragma once

// The app's icons. Each is looked up in the desktop's icon theme under its
// freedesktop name where one exists, else drawn from the glyphs bundled in the
// app's resources (monochrome masks, tinted when drawn, so they follow the
// palette and never vanish on a dark one).
//
// Threads: GUI thread only.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace quorvane {

enum class AppIcon {
    records,            // list.bullet.rectangle.portrait
    activity,           // waveform.path.ecg
    settings,           // gearshape
    noSelection,        // person.crop.rectangle.stack
    pencil,             // pencil
    trash,              // trash
    arrowDownLeft,      // arrow.down.left
    arrowUpRight,       // arrow.up.right
    bell,               // bell
    personCheckmark,    // person.fill.checkmark
    personQuestionmark, // person.fill.questionmark
};

namespace AppIcons {

// The theme's icon, or the bundled glyph drawn in the palette's text colour
// (disabled and selected states use the matching palette colours).
[[nodiscard]] QIcon icon(AppIcon which);

// Always the bundled glyph, drawn in one colour in every state.
[[nodiscard]] QIcon tinted(AppIcon which, const QColor& color);

// The bundled glyph drawn in `color`, `size` logical pixels at the given
// device pixel ratio. Cached.
[[nodiscard]] QPixmap pixmap(AppIcon which, const QColor& color, QSize size, qreal devicePixelRatio);

// Whether the glyph is bundled (every AppIcon is; for tests).
[[nodiscard]] bool hasBundledGlyph(AppIcon which);

} // namespace AppIcons
} // namespace quorvane
