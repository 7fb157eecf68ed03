#pragma once

// What is happening now: the "Activity" tab with the live API traffic, and the
// host status shown in the window's tool area. Both only read the AppModel.
//
// Threads: GUI thread only. The model must outlive the views.

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListView;

namespace quorvane {

class ActivityFilterModel;
class ApiLogModel;
class AppModel;

// "Live API Activity (n)" over the API log, newest first, with filters by
// agent (client label) and method and a switch for error replies only; error
// replies are marked in their row. The payload of the current row can be
// copied (Ctrl+C or the context menu). While the reader has scrolled down,
// new lines do not move what is shown.
class ActivityView final : public QWidget {
    Q_OBJECT

public:
    explicit ActivityView(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] QLabel* heading() const { return heading_; }
    [[nodiscard]] QListView* list() const { return list_; }
    [[nodiscard]] ApiLogModel* logModel() const { return logModel_; }
    [[nodiscard]] ActivityFilterModel* filterModel() const { return filterModel_; }
    [[nodiscard]] QLineEdit* agentField() const { return agent_; }
    [[nodiscard]] QLineEdit* methodField() const { return method_; }
    [[nodiscard]] QCheckBox* errorsOnlyBox() const { return errorsOnly_; }

    // Puts the full payload of the current row on the clipboard.
    void copyCurrentPayload();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void update();

    AppModel& model_;
    QLabel* heading_;
    QLineEdit* agent_;
    QLineEdit* method_;
    QCheckBox* errorsOnly_;
    QListView* list_;
    ApiLogModel* logModel_;
    ActivityFilterModel* filterModel_;
};

// A filled dot, "Host connected" or "Host offline", and "v" + the host's
// version once one is known.
class ConnectionStatusView final : public QWidget {
    Q_OBJECT

public:
    explicit ConnectionStatusView(AppModel& model, QWidget* parent = nullptr);

    [[nodiscard]] QString statusText() const;
    [[nodiscard]] QString versionText() const;
    [[nodiscard]] bool dotShowsConnected() const { return connected_; }

private:
    void update();

    AppModel& model_;
    QWidget* dot_;
    QLabel* status_;
    QLabel* version_;
    bool connected_ = false;
};

} // namespace quorvane
