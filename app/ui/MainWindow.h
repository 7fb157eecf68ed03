#pragma once

// The operator app's main window: a tab view with "Records", "Activity" and
// "Settings", the host status in the tool area of the "Records" tab, and the
// model's start() when the window is first shown.
//
// Threads: GUI thread only. The model must outlive the window; several windows
// may share one model.

#include <QMainWindow>
#include <QTabWidget>

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

class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    static constexpr QSize defaultSize{1150, 760};
    static constexpr QSize minimumContentSize{900, 600};

    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] RootView* root() const { return root_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    AppModel& model_;
    RootView* root_;
    bool shown_ = false;
};

} // namespace quorvane
