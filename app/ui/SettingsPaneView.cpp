#include "app/ui/SettingsPaneView.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QVBoxLayout>

#include "app/AppModel.h"
#include "app/ui/AppStyle.h"

namespace quorvane {

namespace {

using RegistrationController::AutostartMechanism;
using RegistrationController::RegistrationState;
using RegistrationController::RegistrationStatus;

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QLabel* footnote(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(AppStyle::caption());
    label->setWordWrap(true);
    setTextColor(label, AppStyle::secondaryText(parent->palette()));
    return label;
}

// A heading over a grouped box, both added to `column`; returns the box.
QGroupBox* section(const QString& title, QWidget* parent, QVBoxLayout* column) {
    auto* heading = new QLabel(title, parent);
    heading->setFont(AppStyle::headline());
    auto* box = new QGroupBox(parent);
    column->addWidget(heading);
    column->addWidget(box);
    column->addSpacing(12);
    return box;
}

// The desktops' own pages for programs started at login, first found wins.
bool openDesktopAutostartSettings() {
    struct Candidate {
        const char* program;
        QStringList arguments;
    };
    const Candidate candidates[] = {
        {"systemsettings", {QStringLiteral("kcm_autostart")}},
        {"systemsettings5", {QStringLiteral("kcm_autostart")}},
        {"gnome-session-properties", {}},
        {"xfce4-session-settings", {}},
        {"lxqt-config-session", {}},
        {"mate-session-properties", {}},
        {"cinnamon-session-properties", {}},
    };
    for (const Candidate& candidate : candidates) {
        QString path = QStandardPaths::findExecutable(QLatin1String(candidate.program));
        if (!path.isEmpty() && QProcess::startDetached(path, candidate.arguments)) {
            return true;
        }
    }
    return false;
}

} // namespace

SettingsPaneView::Registration SettingsPaneView::systemRegistration() {
    return {[] { RegistrationController::registerQuietly(); },
            [] { return RegistrationController::currentStatus(); }, openDesktopAutostartSettings};
}

SettingsPaneView::SettingsPaneView(AppModel& model, QWidget* parent)
    : SettingsPaneView(model, systemRegistration(), parent) {
}

SettingsPaneView::SettingsPaneView(AppModel& model, Registration registration, QWidget* parent)
    : QWidget(parent), model_(model), registration_(std::move(registration)) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    outer->addWidget(scroll);
    auto* page = new QWidget(scroll);
    scroll->setWidget(page);
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(24, 20, 24, 20);
    column->setSpacing(6);

    // Access
    auto* access = section(QStringLiteral("Access"), page, column);
    auto* accessColumn = new QVBoxLayout(access);
    allow_ = new QCheckBox(QStringLiteral("Allow unauthenticated clients"), access);
    accessColumn->addWidget(allow_);
    accessColumn->addWidget(footnote(
        QStringLiteral(
            "When on, agents are identified automatically by their client info and need no sign-up. When "
            "off, agents must call signUp/login before they can read their record."),
        access));

    // New Accounts
    auto* accounts = section(QStringLiteral("New Accounts"), page, column);
    auto* accountsColumn = new QVBoxLayout(accounts);
    auto* accountsForm = new QFormLayout;
    startingPoints_ = new QLineEdit(accounts);
    startingPoints_->setFixedWidth(120);
    startingPoints_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    startingPoints_->setAccessibleName(QStringLiteral("Starting points"));
    accountsForm->addRow(new QLabel(QStringLiteral("Starting points"), accounts), startingPoints_);
    accountsColumn->addLayout(accountsForm);
    accountsColumn->addWidget(
        footnote(QStringLiteral("Each new account is seeded with this many points as its opening "
                                "entry. Existing accounts are unaffected."),
                 accounts));

    // Host
    auto* host = section(QStringLiteral("Host"), page, column);
    auto* hostColumn = new QVBoxLayout(host);
    auto* hostForm = new QFormLayout;
    status_ = new QLabel(host);
    version_ = new QLabel(host);
    version_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    hostForm->addRow(new QLabel(QStringLiteral("Status"), host), status_);
    hostForm->addRow(new QLabel(QStringLiteral("Version"), host), version_);
    hostColumn->addLayout(hostForm);
    register_ = new QPushButton(QStringLiteral("Register / Repair Login Item"), host);
    hostColumn->addWidget(register_, 0, Qt::AlignLeft);

    // About
    auto* about = section(QStringLiteral("About"), page, column);
    auto* aboutColumn = new QVBoxLayout(about);
    aboutColumn->addWidget(footnote(
        QStringLiteral(
            "Quorvane maintains a points ledger for AI agents. Only you can change points; agents can read "
            "their balance and history and are notified of new items."),
        about));
    column->addStretch(1);

    // Only the operator's own actions send requests: clicked and a committed
    // edit, never the setters that follow the model.
    connect(allow_, &QCheckBox::clicked, this, [this](bool checked) {
        model_.setAllowUnauthenticated(checked);
        showSettings();
    });
    connect(startingPoints_, &QLineEdit::editingFinished, this, &SettingsPaneView::commitStartingPoints);
    connect(register_, &QPushButton::clicked, this, &SettingsPaneView::registerLoginItem);
    connect(&model_, &AppModel::settingsChanged, this, &SettingsPaneView::showSettings);
    connect(&model_, &AppModel::isConnectedChanged, this, &SettingsPaneView::showHost);
    connect(&model_, &AppModel::hostVersionChanged, this, &SettingsPaneView::showHost);
    showSettings();
    showHost();
}

SettingsPaneView::~SettingsPaneView() {
    if (worker_.joinable()) {
        worker_.join();
    }
}

void SettingsPaneView::showSettings() {
    const Settings& settings = model_.settings();
    {
        QSignalBlocker block(allow_);
        allow_->setChecked(settings.allowUnauthenticated);
    }
    // Text the operator is typing stays until committed.
    if (!(startingPoints_->hasFocus() && startingPoints_->isModified())) {
        QSignalBlocker block(startingPoints_);
        startingPoints_->setText(AppStyle::localeInteger(settings.startingPoints));
        startingPoints_->setModified(false);
    }
}

void SettingsPaneView::showHost() {
    bool connected = model_.isConnected();
    status_->setText(connected ? QStringLiteral("Connected") : QStringLiteral("Offline"));
    setTextColor(status_, connected ? AppStyle::connectedColor() : AppStyle::secondaryText(palette()));
    const std::string& version = model_.hostVersion();
    version_->setText(version.empty() ? QStringLiteral("\u2014") : QString::fromStdString(version));
}

void SettingsPaneView::commitStartingPoints() {
    if (!startingPoints_->isModified()) {
        return;
    }
    startingPoints_->setModified(false);
    if (auto value = AppStyle::parseLocaleInteger(startingPoints_->text())) {
        model_.setStartingPoints(*value);
    }
    // Show the model's value until the host's answer brings the new one.
    QSignalBlocker block(startingPoints_);
    startingPoints_->setText(AppStyle::localeInteger(model_.settings().startingPoints));
}

void SettingsPaneView::registerLoginItem() {
    if (!register_->isEnabled()) {
        return;
    }
    register_->setEnabled(false);
    if (worker_.joinable()) {
        worker_.join();
    }
    worker_ = std::thread(
        [this, registerQuietly = registration_.registerQuietly, currentStatus = registration_.currentStatus] {
            if (registerQuietly) {
                registerQuietly();
            }
            RegistrationStatus status = currentStatus ? currentStatus() : RegistrationStatus{};
            // Dropped unrun if the view is gone by then (the destructor joins
            // this thread first).
            (void)handOver_.post([this, status] { registrationDone(status); });
        });
}

void SettingsPaneView::registrationDone(const RegistrationStatus& status) {
    if (status.state == RegistrationState::needsApproval) {
        bool opened = false;
        QString how;
        if (status.mechanism == AutostartMechanism::systemdUserService) {
            how = QStringLiteral(
                "To allow it, run this command in a terminal, then press \"Register / Repair Login "
                "Item\" again:");
        } else {
            opened = registration_.openAutostartSettings && registration_.openAutostartSettings();
            how = QStringLiteral(
                "To allow it, switch the Quorvane host back on in your desktop's startup "
                "applications, or delete this file, then press \"Register / Repair Login Item\" "
                "again:");
        }
        if (!opened) {
            auto* dialog = new QMessageBox(window());
            dialog->setObjectName(QStringLiteral("approvalDialog"));
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            dialog->setWindowModality(Qt::WindowModal);
            dialog->setIcon(QMessageBox::Information);
            dialog->setWindowTitle(QStringLiteral("Allow the Quorvane host to start"));
            dialog->setText(QString::fromStdString(status.description));
            dialog->setInformativeText(how + QStringLiteral("\n\n") +
                                       QString::fromStdString(status.approval));
            dialog->setTextInteractionFlags(Qt::TextSelectableByMouse);
            dialog->addButton(QMessageBox::Ok);
            dialog->open();
        }
    }
    model_.refresh();
    register_->setEnabled(true);
    emit registrationFinished();
}

} // namespace quorvane
