// Renders the main window with a made-up ledger to PNG files, one per tab and
// a few more for the sheets and a dark palette, for visual review. Needs no
// host: the model is fed a snapshot directly.
//
// Usage: quorvane_render_screenshots <output folder>
// Run with QT_QPA_PLATFORM=offscreen on a machine without a display.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPalette>
#include <QStyleFactory>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include "app/AppModel.h"
#include "app/ui/ActivityView.h"
#include "app/ui/EntryEditors.h"
#include "app/ui/MainWindow.h"
#include "app/ui/RecordsView.h"
#include "app/ui/tools/SampleLedger.h"

namespace {

using namespace quorvane;

void settle(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

bool save(QWidget* widget, const QDir& folder, const QString& name) {
    QString path = folder.filePath(name);
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

QPalette darkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x26, 0x26, 0x28));
    p.setColor(QPalette::WindowText, QColor(0xEC, 0xEC, 0xEC));
    p.setColor(QPalette::Base, QColor(0x1E, 0x1E, 0x20));
    p.setColor(QPalette::AlternateBase, QColor(0x2C, 0x2C, 0x2E));
    p.setColor(QPalette::Text, QColor(0xEC, 0xEC, 0xEC));
    p.setColor(QPalette::Button, QColor(0x33, 0x33, 0x36));
    p.setColor(QPalette::ButtonText, QColor(0xEC, 0xEC, 0xEC));
    p.setColor(QPalette::Highlight, QColor(0x0A, 0x84, 0xFF));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::PlaceholderText, QColor(0x8E, 0x8E, 0x93));
    p.setColor(QPalette::ToolTipBase, QColor(0x33, 0x33, 0x36));
    p.setColor(QPalette::ToolTipText, QColor(0xEC, 0xEC, 0xEC));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6E, 0x6E, 0x73));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6E, 0x6E, 0x73));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6E, 0x6E, 0x73));
    return p;
}

// One model fed the showcase ledger, its window shown; the model's own start
// finds no host (a private, empty runtime folder) before the snapshot lands.
struct Scene {
    QTemporaryDir runtime;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<MainWindow> window;

    Scene() {
        ConnectionOptions options;
        RuntimeEnvironment environment = RuntimeEnvironment::current();
        environment.xdgRuntimeDir = runtime.path().toStdString();
        options.environment = environment;
        model = std::make_unique<AppModel>(std::make_unique<ControlClient>(options), AppModel::Registrar{});
        window = std::make_unique<MainWindow>(*model);
        window->show();
        settle(300);
        model->applySnapshot(samples::showcaseSnapshot());
        settle(200);
    }
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Quorvane"));
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = true;
    {
        Scene scene;
        RootView* root = scene.window->root();
        root->setCurrentIndex(0);
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("records.png"));
        root->setCurrentIndex(1);
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("activity.png"));
        root->setCurrentIndex(2);
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("settings.png"));
        root->setCurrentIndex(0);

        // The sheets, on their own.
        const LedgerEntry& entry = scene.model->entries().front();
        auto* edit = new EditEntrySheet(*scene.model, entry, scene.window.get());
        edit->show();
        settle(100);
        ok &= save(edit, folder, QStringLiteral("edit-sheet.png"));
        edit->close();
        auto* rename = new RenameSheet(*scene.model, scene.model->accounts().front(), scene.window.get());
        rename->show();
        settle(100);
        ok &= save(rename, folder, QStringLiteral("rename-sheet.png"));
        rename->close();

        // No selection: an account id that is not listed.
        scene.model->setSelectedAccountID(std::string("NOT-LISTED"));
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("records-no-selection.png"));
    }
    {
        // The same window under a dark palette.
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QApplication::setPalette(darkPalette());
        Scene scene;
        ok &= save(scene.window.get(), folder, QStringLiteral("records-dark.png"));
        scene.window->root()->setCurrentIndex(1);
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("activity-dark.png"));
        scene.window->root()->setCurrentIndex(2);
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("settings-dark.png"));
    }
    return ok ? 0 : 1;
}
