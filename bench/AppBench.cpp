// The operator app under load: a snapshot of 1,000 accounts and 2,000 entries
// applied to the model, and the "Records" tab repainted, offscreen.
//
//   QT_QPA_PLATFORM=offscreen <build>/bench/quorvane_bench_app
//       --benchmark_repetitions=10 --benchmark_report_aggregates_only=true

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

#include "app/AppModel.h"
#include "app/ui/MainWindow.h"
#include "app/ui/tools/SampleLedger.h"

namespace {

using namespace quorvane;

// A model without a host (its client looks in an empty runtime folder) and the
// main window on the "Records" tab, shown at its default size.
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
        QApplication::processEvents();
    }

    void applyAndRepaint(const Snapshot& snapshot) {
        model->applySnapshot(snapshot);
        window->repaint(); // synchronous: layout and paint of the visible rows
    }
};

// Every iteration replaces all entries (new ids), every balance and the API log.
void BM_ApplyFullSnapshotAndRepaintRecords(benchmark::State& state) {
    Scene scene;
    const Snapshot snapshots[2] = {samples::largeSnapshot(1000, 2000, 300, 1),
                                   samples::largeSnapshot(1000, 2000, 300, 2)};
    scene.applyAndRepaint(snapshots[1]);
    std::size_t i = 0;
    for (auto _ : state) {
        scene.applyAndRepaint(snapshots[i++ % 2]);
    }
    state.counters["accounts"] = 1000;
    state.counters["entries"] = 2000;
}
BENCHMARK(BM_ApplyFullSnapshotAndRepaintRecords)->Unit(benchmark::kMillisecond);

// The common case: the snapshot after the operator added one entry to the
// shown account (one new row at the top, one balance changed).
void BM_ApplySnapshotWithOneNewEntryAndRepaintRecords(benchmark::State& state) {
    Scene scene;
    Snapshot before = samples::largeSnapshot(1000, 2000, 300, 1);
    Snapshot after = before;
    LedgerEntry added = after.entries.front();
    added.id = "5A3C0002-FFFF-4002-8000-000000000001";
    added.sequence += 1;
    after.entries.insert(after.entries.begin(), added);
    after.entries.pop_back();
    after.accounts.front().balance += added.amount;
    scene.applyAndRepaint(before);
    std::size_t i = 0;
    for (auto _ : state) {
        scene.applyAndRepaint(i++ % 2 == 0 ? after : before);
    }
}
BENCHMARK(BM_ApplySnapshotWithOneNewEntryAndRepaintRecords)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
