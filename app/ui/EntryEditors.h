#pragma once

// The operator's editors: the inline form that adds an entry to the shown
// account, the sheet that edits an entry and the sheet that renames an account.
// Each turns typed text into one AppModel operation. What was typed stays
// until the host has taken it: the add form clears itself, and a sheet
// closes, only on success; a failure (the host refused, or could not be
// reached) keeps the text and shows the reason under the fields.
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
#include "common/Result.h"

class QComboBox;
class QGraphicsOpacityEffect;
class QLabel;
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
// while canSubmit() holds and no add is waiting for the host, pressed by
// Return; below them a line that says why the last add failed.
class AddEntryView final : public QFrame {
    Q_OBJECT

public:
    AddEntryView(AppModel& model, QWidget* parent = nullptr);

    void setAccountID(std::string accountID);
    [[nodiscard]] const std::string& accountID() const { return accountID_; }

    [[nodiscard]] bool canSubmit() const;
    // Creates the entry (when canSubmit). Once the host has added it, amount
    // and memo are emptied unless the operator changed them meanwhile; the
    // type stays. When it was not added, the fields keep their text and the
    // error line says why.
    void add();

    [[nodiscard]] EntryFields* fields() const { return fields_; }
    [[nodiscard]] QPushButton* addButton() const { return addButton_; }
    // Hidden while there is nothing to report.
    [[nodiscard]] QLabel* errorLabel() const { return error_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void updateAddButton();
    void finishAdd(const Result<void>& outcome, const QString& sentAmount, const QString& sentMemo);

    AppModel& model_;
    std::string accountID_;
    EntryFields* fields_;
    QPushButton* addButton_;
    QLabel* error_;
    bool pending_ = false;
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

    // Whether Save is allowed: the add form's rule (an amount that parses
    // and is above 0, or a note with a memo).
    [[nodiscard]] bool canSave() const;
    // Sends the edited entry (when canSave) and closes the sheet once the
    // host has taken it; a failure keeps the sheet open with the reason.
    void save();

    [[nodiscard]] EntryFields* fields() const { return fields_; }
    [[nodiscard]] EditorButtonsView* buttons() const { return buttons_; }
    [[nodiscard]] QLabel* errorLabel() const { return error_; }

private:
    void updateSaveButton();

    AppModel& model_;
    LedgerEntry entry_;
    EntryFields* fields_;
    EditorButtonsView* buttons_;
    QLabel* error_;
    bool pending_ = false;
};

// "Rename Account": the name as typed, not trimmed, may be empty.
class RenameSheet final : public QDialog {
    Q_OBJECT

public:
    RenameSheet(AppModel& model, const Account& account, QWidget* parent);

    // Sends the name and closes the sheet once the host has taken it; a
    // failure keeps the sheet open with the reason.
    void save();

    [[nodiscard]] QLineEdit* nameField() const { return name_; }
    [[nodiscard]] EditorButtonsView* buttons() const { return buttons_; }
    [[nodiscard]] QLabel* errorLabel() const { return error_; }

private:
    AppModel& model_;
    std::string accountID_;
    QLineEdit* name_;
    EditorButtonsView* buttons_;
    QLabel* error_;
    bool pending_ = false;
};

} // namespace quorvane
