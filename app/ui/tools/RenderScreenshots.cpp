// Renders the main window with a made-up ledger to PNG files, one per tab and
// a few more for the sheets and a dark palette, for visual review. Needs no
// host: the model is fed a snapshot directly.
//
// Usage: quorvane_render_screenshots <output folder>
// Run with QT_QPA_PLATFORM=offscreen on a machine without a display.

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListView>
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

// The showcase ledger with two more accounts: a name far too long for the
// header and a right-to-left one, each with an entry, and one error reply in
// the API log.
Snapshot namesSnapshot() {
    Snapshot s = samples::showcaseSnapshot();
    Account longName = s.accounts.back();
    longName.id = "5A3C0001-0063-4001-8000-00000000A001";
    longName.displayName =
        "Quarterly Reconciliation Agent For The Northern Regional Warehouses And Their Suppliers";
    longName.balance = 880;
    Account rtl = longName;
    rtl.id = "5A3C0001-0064-4001-8000-00000000A002";
    rtl.displayName = "\u05E1\u05D5\u05DB\u05DF \u05D4\u05DE\u05D7\u05E7\u05E8 2";
    rtl.balance = -15;
    s.accounts.push_back(longName);
    s.accounts.push_back(rtl);
    LedgerEntry entry = s.entries.front();
    entry.id = "5A3C0002-0063-4002-8000-00000000B001";
    entry.accountId = rtl.id;
    entry.memo = "\u05D1\u05D5\u05E0\u05D5\u05E1 \u05E2\u05DC \u05E1\u05D9\u05DB\u05D5\u05DD";
    s.entries.insert(s.entries.begin(), entry);
    if (!s.recentApiLog.empty()) {
        ApiLogEntry error = s.recentApiLog.back();
        error.id = "5A3C0003-0063-4003-8000-00000000C001";
        error.direction = ApiLogEntry::Direction::response;
        error.method = "tools/call";
        error.payload =
            R"({"jsonrpc":"2.0","id":41,"result":{"content":[{"type":"text","text":"Not authenticated."}],"isError":true}})";
        s.recentApiLog.push_back(error);
    }
    return s;
}

// One model fed a ledger, its window shown; the model's own start finds no
// host (a private, empty runtime folder) before the snapshot lands, so the
// offline banner shows until it is hidden for the shots that are not about it.
struct Scene {
    QTemporaryDir runtime;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<MainWindow> window;

    explicit Scene(const Snapshot& snapshot = samples::showcaseSnapshot(), bool showOffline = false) {
        ConnectionOptions options;
        RuntimeEnvironment environment = RuntimeEnvironment::current();
        environment.xdgRuntimeDir = runtime.path().toStdString();
        options.environment = environment;
        model = std::make_unique<AppModel>(std::make_unique<ControlClient>(options), AppModel::Registrar{});
        window = std::make_unique<MainWindow>(*model);
        window->show();
        settle(300);
        model->applySnapshot(snapshot);
        settle(200);
        window->offlineBanner()->setVisible(showOffline);
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
        // The host gone: the banner across the window, with Retry.
        Scene scene(samples::showcaseSnapshot(), true);
        ok &= save(scene.window.get(), folder, QStringLiteral("records-offline.png"));
    }
    {
        // Long and right-to-left names, the filters in use and an error reply.
        Snapshot names = namesSnapshot();
        Scene scene(names);
        RecordsView* records = scene.window->root()->records();
        scene.model->setSelectedAccountID(names.accounts[names.accounts.size() - 2].id);
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("records-long-name.png"));
        scene.model->setSelectedAccountID(names.accounts.back().id);
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("records-rtl-name.png"));
        scene.model->setSelectedAccountID(names.accounts.front().id);
        records->sidebar()->filterField()->setText(QStringLiteral("a"));
        records->sidebar()->setOrder(SidebarFilterModel::Order::balance);
        records->detail()->loaded()->ledger()->filterField()->setText(QStringLiteral("bonus"));
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("records-filtered.png"));
        ActivityView* activity = scene.window->root()->activity();
        scene.window->root()->setCurrentIndex(1);
        activity->methodField()->setText(QStringLiteral("tools/call"));
        settle(100);
        ok &= save(scene.window.get(), folder, QStringLiteral("activity-filtered.png"));
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
