#include "app/ui/EntryEditors.h"

#include <QComboBox>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/AppModel.h"
#include "app/ui/AppStyle.h"
#include "app/ui/EntryInput.h"

namespace quorvane {

namespace {

std::string utf8(const QString& text) {
    return text.toStdString();
}

QString labelText(EntryType type) {
    std::string_view text = label(type);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QLabel* sheetTitle(const QString& text, QWidget* parent) {
    auto* title = new QLabel(text, parent);
    title->setFont(AppStyle::headline());
    return title;
}

// The line under an editor's fields that says why the last try failed.
QLabel* errorLine(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("editorError"));
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, AppStyle::debitColor());
    label->setPalette(palette);
    label->setAccessibleName(QStringLiteral("Error"));
    label->hide();
    return label;
}

void showError(QLabel* label, const QString& what, const Result<void>& outcome) {
    label->setText(what + QStringLiteral(": ") + QString::fromStdString(outcome.error().message));
    label->show();
}

} // namespace

// ---- EntryFields --------------------------------------------------------------------

EntryFields::EntryFields(QWidget* parent)
    : QWidget(parent), typePicker_(new QComboBox(this)), amount_(new QLineEdit(this)),
      memo_(new QLineEdit(this)), amountFade_(new QGraphicsOpacityEffect(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);

    for (EntryType type : allEntryTypes) {
        typePicker_->addItem(labelText(type), static_cast<int>(type));
    }
    typePicker_->setAccessibleName(QStringLiteral("Type"));
    typePicker_->setFixedWidth(120);
    amount_->setPlaceholderText(QStringLiteral("Amount"));
    amount_->setAccessibleName(QStringLiteral("Amount"));
    amount_->setFixedWidth(90);
    amount_->setGraphicsEffect(amountFade_);
    memo_->setPlaceholderText(QStringLiteral("Memo"));
    memo_->setAccessibleName(QStringLiteral("Memo"));

    row->addWidget(typePicker_, 0, Qt::AlignVCenter);
    row->addWidget(amount_, 0, Qt::AlignVCenter);
    row->addWidget(memo_, 1, Qt::AlignVCenter);

    connect(typePicker_, &QComboBox::currentIndexChanged, this, [this] {
        updateAmountState();
        emit changed();
    });
    connect(amount_, &QLineEdit::textChanged, this, &EntryFields::changed);
    connect(memo_, &QLineEdit::textChanged, this, &EntryFields::changed);
    updateAmountState();
}

EntryType EntryFields::type() const {
    return static_cast<EntryType>(typePicker_->currentData().toInt());
}

void EntryFields::setType(EntryType type) {
    typePicker_->setCurrentIndex(typePicker_->findData(static_cast<int>(type)));
}

QString EntryFields::amountText() const {
    return amount_->text();
}
void EntryFields::setAmountText(const QString& text) {
    amount_->setText(text);
}
QString EntryFields::memo() const {
    return memo_->text();
}
void EntryFields::setMemo(const QString& memo) {
    memo_->setText(memo);
}

void EntryFields::updateAmountState() {
    bool note = type() == EntryType::note;
    amount_->setEnabled(!note);
    amountFade_->setOpacity(note ? 0.4 : 1.0);
}

// ---- AddEntryView ---------------------------------------------------------------------

AddEntryView::AddEntryView(AppModel& model, QWidget* parent)
    : QFrame(parent), model_(model), fields_(new EntryFields(this)),
      addButton_(new QPushButton(QStringLiteral("Add"), this)), error_(errorLine(this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(6);
    auto* row = new QHBoxLayout();
    row->setSpacing(10);
    row->addWidget(fields_, 1, Qt::AlignVCenter);
    row->addWidget(addButton_, 0, Qt::AlignVCenter);
    column->addLayout(row);
    column->addWidget(error_);
    addButton_->setDefault(true);
    addButton_->setAutoDefault(false);
    addButton_->setEnabled(false);

    connect(fields_, &EntryFields::changed, this, &AddEntryView::updateAddButton);
    connect(addButton_, &QPushButton::clicked, this, &AddEntryView::add);
}

void AddEntryView::setAccountID(std::string accountID) {
    if (accountID != accountID_) {
        error_->hide();
    }
    accountID_ = std::move(accountID);
}

void AddEntryView::updateAddButton() {
    addButton_->setEnabled(!pending_ && canSubmit());
}

bool AddEntryView::canSubmit() const {
    return EntryInput::canSubmit(fields_->type(), utf8(fields_->amountText()), utf8(fields_->memo()));
}

void AddEntryView::add() {
    if (pending_ || !canSubmit()) {
        return;
    }
    pending_ = true;
    error_->hide();
    updateAddButton();
    QString amount = fields_->amountText();
    QString memo = fields_->memo();
    model_.createEntry(EntryInput::newEntry(accountID_, fields_->type(), utf8(amount), utf8(memo)),
                       [self = QPointer<AddEntryView>(this), amount, memo](const Result<void>& outcome) {
                           if (self) {
                               self->finishAdd(outcome, amount, memo);
                           }
                       });
}

void AddEntryView::finishAdd(const Result<void>& outcome, const QString& sentAmount,
                             const QString& sentMemo) {
    pending_ = false;
    if (outcome) {
        // What the operator typed since is theirs to keep.
        if (fields_->amountText() == sentAmount && fields_->memo() == sentMemo) {
            fields_->setAmountText(QString());
            fields_->setMemo(QString());
        }
    } else {
        showError(error_, QStringLiteral("Not added"), outcome);
    }
    updateAddButton();
}

void AddEntryView::keyPressEvent(QKeyEvent* event) {
    bool returnKey = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (returnKey && modifiers == Qt::NoModifier) {
        add();
        event->accept();
        return;
    }
    QFrame::keyPressEvent(event);
}

void AddEntryView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(AppStyle::quaternaryFill(palette()));
    painter.drawRoundedRect(QRectF(rect()), 8, 8);
}

// ---- EditorButtonsView ----------------------------------------------------------------

EditorButtonsView::EditorButtonsView(QWidget* parent)
    : QWidget(parent), cancel_(new QPushButton(QStringLiteral("Cancel"), this)),
      save_(new QPushButton(QStringLiteral("Save"), this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch(1);
    row->addWidget(cancel_);
    row->addWidget(save_);
    cancel_->setAutoDefault(false);
    save_->setAutoDefault(false);
    save_->setDefault(true);
}

// ---- EditEntrySheet -------------------------------------------------------------------

EditEntrySheet::EditEntrySheet(AppModel& model, LedgerEntry entry, QWidget* parent)
    : QDialog(parent), model_(model), entry_(std::move(entry)), fields_(new EntryFields(this)),
      buttons_(new EditorButtonsView(this)) {
    setWindowTitle(QStringLiteral("Edit Transaction"));
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedWidth(480);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    column->addWidget(sheetTitle(QStringLiteral("Edit Transaction"), this));
    column->addWidget(fields_);
    error_ = errorLine(this);
    column->addWidget(error_);
    column->addWidget(buttons_);

    fields_->setType(entryTypeOf(entry_));
    fields_->setAmountText(QString::number(static_cast<qlonglong>(entry_.amount)));
    fields_->setMemo(QString::fromStdString(entry_.memo));

    connect(buttons_->cancelButton(), &QPushButton::clicked, this, &QDialog::reject);
    connect(buttons_->saveButton(), &QPushButton::clicked, this, &EditEntrySheet::save);
    connect(fields_, &EntryFields::changed, this, &EditEntrySheet::updateSaveButton);
    updateSaveButton();
}

bool EditEntrySheet::canSave() const {
    return EntryInput::canSubmit(fields_->type(), utf8(fields_->amountText()), utf8(fields_->memo()));
}

void EditEntrySheet::updateSaveButton() {
    buttons_->saveButton()->setEnabled(!pending_ && canSave());
}

void EditEntrySheet::save() {
    if (pending_ || !canSave()) {
        return;
    }
    pending_ = true;
    error_->hide();
    updateSaveButton();
    model_.updateEntry(
        EntryInput::editedEntry(entry_, fields_->type(), utf8(fields_->amountText()), utf8(fields_->memo())),
        [self = QPointer<EditEntrySheet>(this)](const Result<void>& outcome) {
            if (!self) {
                return;
            }
            self->pending_ = false;
            if (outcome) {
                self->accept();
                return;
            }
            showError(self->error_, QStringLiteral("Not saved"), outcome);
            self->updateSaveButton();
        });
}

// ---- RenameSheet ----------------------------------------------------------------------

RenameSheet::RenameSheet(AppModel& model, const Account& account, QWidget* parent)
    : QDialog(parent), model_(model), accountID_(account.id), name_(new QLineEdit(this)),
      buttons_(new EditorButtonsView(this)) {
    setWindowTitle(QStringLiteral("Rename Account"));
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedWidth(380);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    column->addWidget(sheetTitle(QStringLiteral("Rename Account"), this));
    name_->setPlaceholderText(QStringLiteral("Display name"));
    name_->setAccessibleName(QStringLiteral("Display name"));
    name_->setText(QString::fromStdString(account.displayName));
    column->addWidget(name_);
    error_ = errorLine(this);
    column->addWidget(error_);
    column->addWidget(buttons_);

    connect(buttons_->cancelButton(), &QPushButton::clicked, this, &QDialog::reject);
    connect(buttons_->saveButton(), &QPushButton::clicked, this, &RenameSheet::save);
}

void RenameSheet::save() {
    if (pending_) {
        return;
    }
    pending_ = true;
    error_->hide();
    buttons_->saveButton()->setEnabled(false);
    model_.renameAccount(accountID_, utf8(name_->text()),
                         [self = QPointer<RenameSheet>(this)](const Result<void>& outcome) {
                             if (!self) {
                                 return;
                             }
                             self->pending_ = false;
                             self->buttons_->saveButton()->setEnabled(true);
                             if (outcome) {
                                 self->accept();
                                 return;
                             }
                             showError(self->error_, QStringLiteral("Not renamed"), outcome);
                         });
}

} // namespace quorvane
