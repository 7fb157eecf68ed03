#pragma once

// The operator's editors: the inline form that adds an entry to the shown
// account, the sheet that edits an entry and the sheet that renames an account.
// Each turns typed text into one AppModel operation and clears or closes
// itself at once; none waits for the host or shows an error.
//
// Sheets are window-modal dialogs: Escape cancels, Return saves. They delete
// themselves when closed.
//
// Threads: GUI thread only. The model must outlive the editors.

#include <QDialog>
#include <QFrame>
#include <QWidget>

#include <string>

#include "app/ui/EntryType.h"
#include "common/Records.h"

class QComboBox;
class QGraphicsOpacityEffect;
class QLineEdit;
class QPushButton;

namespace quorvane {

class AppModel;

// Type picker ("Credit" … "Note"), amount field and memo field in one row. The
// amount field is disabled and faded while the type is Note; its text stays.
class EntryFields final : public QWidget {
    Q_OBJECT

public:
    explicit EntryFields(QWidget* parent = nullptr);

    [[nodiscard]] EntryType type() const;
    void setType(EntryType type);
    [[nodiscard]] QString amountText() const;
    void setAmountText(const QString& text);
    [[nodiscard]] QString memo() const;
    void setMemo(const QString& memo);

    [[nodiscard]] QComboBox* typePicker() const { return typePicker_; }
    [[nodiscard]] QLineEdit* amountField() const { return amount_; }
    [[nodiscard]] QLineEdit* memoField() const { return memo_; }

signals:
    // Any of the three values changed, by the user or by a setter.
    void changed();

private:
    void updateAmountState();

    QComboBox* typePicker_;
    QLineEdit* amount_;
    QLineEdit* memo_;
    QGraphicsOpacityEffect* amountFade_;
};

// The add-entry form for one account: the fields and an "Add" button, enabled
// while canSubmit() holds and pressed by Return.
class AddEntryView final : public QFrame {
    Q_OBJECT

public:
    AddEntryView(AppModel& model, QWidget* parent = nullptr);

    void setAccountID(std::string accountID);
    [[nodiscard]] const std::string& accountID() const { return accountID_; }

    [[nodiscard]] bool canSubmit() const;
    // Creates the entry (when canSubmit), then empties amount and memo; the
    // type stays.
    void add();

    [[nodiscard]] EntryFields* fields() const { return fields_; }
    [[nodiscard]] QPushButton* addButton() const { return addButton_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    AppModel& model_;
    std::string accountID_;
    EntryFields* fields_;
    QPushButton* addButton_;
};

// A row with flexible space, "Cancel" (Escape) and "Save" (Return).
class EditorButtonsView final : public QWidget {
    Q_OBJECT

public:
    explicit EditorButtonsView(QWidget* parent = nullptr);

    [[nodiscard]] QPushButton* cancelButton() const { return cancel_; }
    [[nodiscard]] QPushButton* saveButton() const { return save_; }

private:
    QPushButton* cancel_;
    QPushButton* save_;
};

// "Edit Transaction": changes type, amount and memo of one entry.
class EditEntrySheet final : public QDialog {
    Q_OBJECT

public:
    EditEntrySheet(AppModel& model, LedgerEntry entry, QWidget* parent);

    // Sends the edited entry and closes the sheet. Always allowed: an amount
    // that does not parse is saved as 0.
    void save();

    [[nodiscard]] EntryFields* fields() const { return fields_; }
    [[nodiscard]] EditorButtonsView* buttons() const { return buttons_; }

private:
    AppModel& model_;
    LedgerEntry entry_;
    EntryFields* fields_;
    EditorButtonsView* buttons_;
};

// "Rename Account": the name as typed, not trimmed, may be empty.
class RenameSheet final : public QDialog {
    Q_OBJECT

public:
    RenameSheet(AppModel& model, const Account& account, QWidget* parent);

    void save();

    [[nodiscard]] QLineEdit* nameField() const { return name_; }
    [[nodiscard]] EditorButtonsView* buttons() const { return buttons_; }

private:
    AppModel& model_;
    std::string accountID_;
    QLineEdit* name_;
    EditorButtonsView* buttons_;
};

} // namespace quorvane
