#pragma once

// The operator app's main window: a menu bar, a banner across all tabs while
// the host cannot be reached, a tab view with "Records", "Activity" and
// "Settings", the host status in the tool area of the "Records" tab, and the
// model's start() when the window is first shown.
//
// Threads: GUI thread only. The model must outlive the window; several windows
// may share one model.

#include <QFrame>
#include <QMainWindow>
#include <QTabWidget>

class QAction;
class QLabel;
class QPushButton;
class QSettings;

namespace quorvane {

class ActivityView;
class AppModel;
class ConnectionStatusView;
class RecordsView;
class SettingsPaneView;

// The three tabs, in order, each with a title and an icon.
class RootView final : public QTabWidget {
    Q_OBJECT

public:
    explicit RootView(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] RecordsView* records() const { return records_; }
    [[nodiscard]] ActivityView* activity() const { return activity_; }
    [[nodiscard]] SettingsPaneView* settings() const { return settings_; }
    [[nodiscard]] ConnectionStatusView* connectionStatus() const { return status_; }

private:
    RecordsView* records_;
    ActivityView* activity_;
    SettingsPaneView* settings_;
    ConnectionStatusView* status_;
};

// Shown while the model is offline: what is wrong, that the app keeps
// trying, and a "Retry" button that tries at once.
class OfflineBanner final : public QFrame {
    Q_OBJECT

public:
    explicit OfflineBanner(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] QLabel* message() const { return message_; }
    [[nodiscard]] QPushButton* retryButton() const { return retry_; }

private:
    void follow();

    AppModel& model_;
    QLabel* message_;
    QPushButton* retry_;
};

class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    static constexpr QSize defaultSize{1150, 760};
    static constexpr QSize minimumContentSize{900, 600};

    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] RootView* root() const { return root_; }
    [[nodiscard]] OfflineBanner* offlineBanner() const { return banner_; }
    // View > Refresh (F5, Ctrl+R): asks the host for everything afresh.
    [[nodiscard]] QAction* refreshAction() const { return refresh_; }

    // Edit > Find (Ctrl+F): focuses the filter of the list at hand (in the
    // "Records" tab the entries' filter while the focus is in the account
    // pane, else the accounts' filter).
    void findInCurrentTab();
    // Edit > Copy (Ctrl+C): a text field copies its selection; a list copies
    // its current row (the API log: the row's whole payload).
    void copySelection();
    // Edit > Delete (Delete): on the ledger, the current entry at once; on the
    // accounts, the selected account after the confirmation. Text fields keep
    // the key for themselves.
    void deleteSelection();

    // What the operator arranged, kept between runs: window geometry, the
    // current tab, the splitter and the accounts' order. restoreLayout
    // ignores what is missing or unreadable.
    void saveLayout(QSettings& settings) const;
    void restoreLayout(const QSettings& settings);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildMenus();

    AppModel& model_;
    OfflineBanner* banner_;
    RootView* root_;
    QAction* refresh_ = nullptr;
    bool shown_ = false;
};

} // namespace quorvane
