// Entry of the operator app program `quorvane`. The arguments are looked at
// before anything else so that the headless run needs no display.

#include <cstdio>

#include "app/RegistrationController.h"

#ifdef QUORVANE_WINDOWED_APP
#include <QApplication>
#include <QSettings>

#include "app/AppModel.h"
#include "app/ui/MainWindow.h"
#endif

int main(int argc, char** argv) {
    if (quorvane::RegistrationController::wantsHeadlessRun(argc, argv)) {
        return quorvane::RegistrationController::runHeadless();
    }
#ifdef QUORVANE_WINDOWED_APP
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quorvane"));
    QApplication::setDesktopFileName(QStringLiteral("com.zentrafell.quorvane"));
    // One model for the life of the process, shared by every window.
    quorvane::AppModel model;
    quorvane::MainWindow window(model);
    // Kept in the user's configuration folder (Quorvane/Quorvane.conf).
    QSettings layout(QStringLiteral("Quorvane"), QStringLiteral("Quorvane"));
    window.restoreLayout(layout);
    QObject::connect(&app, &QApplication::aboutToQuit, &window, [&] { window.saveLayout(layout); });
    window.show(); // starts the model once shown
    return QApplication::exec();
#else
    std::fputs(
        "quorvane: the windowed app is not part of this build; only --register-and-exit is available\n",
        stderr);
    return 1;
#endif
}
