#pragma once

// The "Records" tab: the accounts sidebar on the left and, on the right, the
// selected account (header, balance, client information, add-entry form and
// ledger) or a placeholder. Every view reads the AppModel and changes nothing
// itself: each action calls one model operation.
//
// Threads: GUI thread only. The model must outlive the views.

#include <QWidget>

#include <optional>
#include <string>
#include <vector>

#include "app/ui/FindModels.h"
#include "common/Records.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QMessageBox;
class QSettings;
class QSplitter;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace quorvane {

class AddEntryView;
class AppModel;
class LedgerModel;
class SidebarModel;
class TransactionDelegate;

// The selectable list of accounts ("Accounts") above the live connections
// ("Live Connections (n)"), bound to the model's selection, with a filter
// field (name or id) and the order of the accounts above it. Filtering or
// ordering never changes the selection; an account filtered out simply shows
// no selected row.
//
// Keys on the list: Delete asks to delete the selected account, F2 renames
// it, Ctrl+C copies its row; the context menu offers the same.
class AccountsSidebar final : public QWidget {
    Q_OBJECT

public:
    explicit AccountsSidebar(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] QListView* list() const { return list_; }
    [[nodiscard]] SidebarModel* sidebarModel() const { return sidebarModel_; }
    [[nodiscard]] SidebarFilterModel* filterModel() const { return filterModel_; }
    [[nodiscard]] QLineEdit* filterField() const { return filter_; }
    [[nodiscard]] QComboBox* orderPicker() const { return orderPicker_; }

    [[nodiscard]] SidebarFilterModel::Order order() const;
    void setOrder(SidebarFilterModel::Order order);

    // Puts the current account row's visible text on the clipboard: name,
    // identity mode and balance, tab-separated. Nothing without a row.
    void copyCurrent();

signals:
    // The operator asked, by key or menu, to rename or delete the selected
    // account; the header presents the sheet or the confirmation.
    void renameRequested();
    void deleteRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void syncSelectionFromModel();
    void updateLastActivity();
    void showContextMenu(QPoint globalPos);

    AppModel& model_;
    SidebarModel* sidebarModel_;
    SidebarFilterModel* filterModel_;
    QLineEdit* filter_;
    QComboBox* orderPicker_;
    QListView* list_;
    bool syncing_ = false;
};

// What the detail pane says when it shows no account; the texts follow what
// can happen next.
class NoSelectionView final : public QWidget {
    Q_OBJECT

public:
    enum class Situation {
        noAccounts,      // the host answers, no agent has an account yet
        nothingSelected, // accounts are listed, none is chosen
        hostOffline,     // nothing listed and the host does not answer
    };

    explicit NoSelectionView(QWidget* parent = nullptr);
    void setSituation(Situation situation);
    [[nodiscard]] QLabel* titleLabel() const { return title_; }
    [[nodiscard]] QLabel* hintLabel() const { return hint_; }

private:
    QLabel* title_;
    QLabel* hint_;
};

// Balance in the large font, then "points".
class AccountBalanceView final : public QWidget {
    Q_OBJECT

public:
    explicit AccountBalanceView(QWidget* parent = nullptr);
    void setBalance(std::int64_t balance);
    [[nodiscard]] QLabel* balanceLabel() const { return balance_; }

private:
    QLabel* balance_;
    QLabel* points_;
};

// Name, id, balance, and the rename and delete buttons. Rename opens the
// rename sheet; delete asks first ("Delete this account and all its entries?").
class AccountHeaderView final : public QWidget {
    Q_OBJECT

public:
    AccountHeaderView(AppModel& model, QWidget* parent = nullptr);
    void setAccount(const Account& account);

    [[nodiscard]] QToolButton* renameButton() const { return rename_; }
    [[nodiscard]] QToolButton* deleteButton() const { return delete_; }
    [[nodiscard]] QLabel* nameLabel() const { return name_; }
    [[nodiscard]] QLabel* idLabel() const { return id_; }
    [[nodiscard]] AccountBalanceView* balanceView() const { return balance_; }

    void presentRenameSheet();
    void presentDeleteConfirmation();

private:
    AppModel& model_;
    Account account_;
    QLabel* name_;
    QLabel* id_;
    AccountBalanceView* balance_;
    QToolButton* rename_;
    QToolButton* delete_;
};

// "Client Info": one row per field, or "Not provided by this client.". The
// box has one height whatever the fields, room for visibleRows rows, and
// scrolls beyond, so what lies below it stays in place between accounts.
class ClientInfoView final : public QWidget {
    Q_OBJECT

public:
    static constexpr int visibleRows = 4;

    explicit ClientInfoView(QWidget* parent = nullptr);
    void setFields(const std::optional<std::vector<ClientInfoField>>& fields);
    [[nodiscard]] QGroupBox* box() const { return box_; }

private:
    QGroupBox* box_;
    QVBoxLayout* rows_;
    QLabel* empty_;
    QWidget* body_;
    std::vector<ClientInfoField> fields_;
    bool shown_ = false;
};

// "Transactions (n)" and the account's entries, newest first, each with edit
// and delete, and a filter field (memo or type). Delete acts at once; edit
// opens the edit sheet.
//
// Keys on the list act on the current row: Return, Enter, F2 and Space edit,
// Delete deletes at once (as the row's trash button), Ctrl+C copies the row;
// the menu key and a right click open a context menu with the same actions.
class LedgerListView final : public QWidget {
    Q_OBJECT

public:
    LedgerListView(AppModel& model, QWidget* parent = nullptr);
    void setEntries(std::vector<LedgerEntry> entries);

    [[nodiscard]] QLabel* heading() const { return heading_; }
    [[nodiscard]] QListView* list() const { return list_; }
    [[nodiscard]] LedgerModel* ledgerModel() const { return ledgerModel_; }
    [[nodiscard]] LedgerFilterModel* filterModel() const { return filterModel_; }
    [[nodiscard]] QLineEdit* filterField() const { return filter_; }
    [[nodiscard]] TransactionDelegate* delegate() const { return delegate_; }

    void presentEditSheet(const LedgerEntry& entry);

    // The entry of a row of the list (its model's index), or of the current row.
    [[nodiscard]] std::optional<LedgerEntry> entryAt(const QModelIndex& index) const;
    [[nodiscard]] std::optional<LedgerEntry> currentEntry() const;
    // On the current row; nothing without one.
    void editCurrent();
    void deleteCurrent();
    void copyCurrent();
    // A row as the operator reads it: type, memo, date and amount,
    // tab-separated.
    [[nodiscard]] static QString rowText(const QModelIndex& index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateHeading();
    void showContextMenu(QPoint globalPos);

    AppModel& model_;
    QLabel* heading_;
    QLineEdit* filter_;
    QListView* list_;
    LedgerModel* ledgerModel_;
    LedgerFilterModel* filterModel_;
    TransactionDelegate* delegate_;
};

// The selected account, top to bottom: header, client info, add-entry form,
// ledger.
class LoadedAccountView final : public QWidget {
    Q_OBJECT

public:
    LoadedAccountView(AppModel& model, QWidget* parent = nullptr);
    void setContent(const Account& account, std::vector<LedgerEntry> entries);

    [[nodiscard]] AccountHeaderView* header() const { return header_; }
    [[nodiscard]] ClientInfoView* clientInfo() const { return clientInfo_; }
    [[nodiscard]] AddEntryView* addEntry() const { return addEntry_; }
    [[nodiscard]] LedgerListView* ledger() const { return ledger_; }

private:
    AccountHeaderView* header_;
    ClientInfoView* clientInfo_;
    AddEntryView* addEntry_;
    LedgerListView* ledger_;
};

// Shows the model's selected account, or NoSelectionView when there is none.
class DetailContainerView final : public QWidget {
    Q_OBJECT

public:
    explicit DetailContainerView(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] LoadedAccountView* loaded() const { return loaded_; }
    [[nodiscard]] NoSelectionView* noSelection() const { return noSelection_; }
    [[nodiscard]] bool showsAccount() const;

private:
    void update();

    AppModel& model_;
    QStackedWidget* stack_;
    NoSelectionView* noSelection_;
    LoadedAccountView* loaded_;
};

// The two-column split of the "Records" tab.
class RecordsView final : public QWidget {
    Q_OBJECT

public:
    explicit RecordsView(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] AccountsSidebar* sidebar() const { return sidebar_; }
    [[nodiscard]] DetailContainerView* detail() const { return detail_; }
    [[nodiscard]] QSplitter* splitter() const { return split_; }

    // The splitter and the accounts' order, kept between runs.
    // restoreLayout ignores what is missing or unreadable.
    void saveLayout(QSettings& settings) const;
    void restoreLayout(const QSettings& settings);

private:
    QSplitter* split_;
    AccountsSidebar* sidebar_;
    DetailContainerView* detail_;
};

} // namespace quorvane
