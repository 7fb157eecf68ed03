#pragma once

// The "Settings" tab: "Access", "New Accounts", "Host" and "About".
//
// The switch and the starting-points field always show the model's values.
// Only the operator's own action sends a request; when the model's values
// change (a snapshot) the controls follow without sending anything, and a
// change the host refused springs back to the model's value.
//
// Threads: GUI thread only. The model must outlive the view.

#include <QWidget>

#include <functional>
#include <string>
#include <thread>

#include "app/HandOver.h"
#include "app/RegistrationController.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quorvane {

class AppModel;

class SettingsPaneView final : public QWidget {
    Q_OBJECT

public:
    // How the login-item button reaches the system. The defaults use
    // RegistrationController and the desktop's autostart settings; tests
    // replace them.
    struct Registration {
        // Registers the host quietly. Runs on a background thread.
        std::function<void()> registerQuietly;
        // The status after registering. Runs on the same background thread.
        std::function<RegistrationController::RegistrationStatus()> currentStatus;
        // Tries to open the desktop's autostart settings; true when it did.
        // Runs on the GUI thread.
        std::function<bool()> openAutostartSettings;
    };

    explicit SettingsPaneView(AppModel& model, QWidget* parent = nullptr);
    SettingsPaneView(AppModel& model, Registration registration, QWidget* parent = nullptr);
    // Waits for a registration still running.
    ~SettingsPaneView() override;

    [[nodiscard]] static Registration systemRegistration();

    [[nodiscard]] QCheckBox* allowUnauthenticatedSwitch() const { return allow_; }
    [[nodiscard]] QLineEdit* startingPointsField() const { return startingPoints_; }
    [[nodiscard]] QLabel* statusLabel() const { return status_; }
    [[nodiscard]] QLabel* versionLabel() const { return version_; }
    [[nodiscard]] QPushButton* registerButton() const { return register_; }

    // The login-item repair: register quietly (in the background), then, when
    // the autostart needs the operator's approval, show how to give it, then
    // refresh the model.
    void registerLoginItem();

signals:
    // After registerLoginItem() has finished, including its refresh.
    void registrationFinished();

private:
    void showSettings();
    void showHost();
    void commitStartingPoints();
    void registrationDone(const RegistrationController::RegistrationStatus& status);

    AppModel& model_;
    Registration registration_;
    QCheckBox* allow_;
    QLineEdit* startingPoints_;
    QLabel* status_;
    QLabel* version_;
    QPushButton* register_;
    // Carries the registration's outcome back to the GUI thread; the
    // destructor joins the worker before it goes.
    HandOver handOver_{this};
    std::thread worker_;
};

} // namespace quorvane
