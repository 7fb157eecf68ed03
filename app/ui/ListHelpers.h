#pragma once

// Small helpers for the app's lists and labels.
//
// ScrollAnchor keeps what a reader sees in place while a live list changes:
// once the list is scrolled away from its top, rows added or removed above
// the first visible row no longer push it up or down. At the very top the
// list follows the newest rows as they come.
//
// ElidedLabel is a one-line label that ends in "…" when its text does not
// fit, and then offers the whole text as its tooltip. Its text is laid out in
// the text's own reading direction and always starts at the layout's leading
// edge, as the sidebar draws names, so a right-to-left name lines up the same
// in both places.
//
// Threads: GUI thread only.

#include <QLabel>
#include <QObject>
#include <QPersistentModelIndex>

class QListView;

namespace quorvane {

class ScrollAnchor final : public QObject {
    Q_OBJECT

public:
    // Follows the view's model as set now (set the model first). Owned by the
    // view.
    explicit ScrollAnchor(QListView* view);

private:
    void remember();
    void restore();

    QListView* view_;
    QPersistentModelIndex anchor_;
    int anchorTop_ = 0;
};

class ElidedLabel final : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    // Whether the text is cut at the current width.
    [[nodiscard]] bool isElided() const;
    // Sets the text and updates the tooltip (QLabel::setText is not virtual).
    void setFullText(const QString& text);

    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateToolTip();
};

} // namespace quorvane
