// Handing work to the main thread: order, one event-loop turn per task, and
// nothing run once closed or destroyed, also while other threads post.

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/HandOver.h"
#include "app/tests/AppModelTestSupport.h"

namespace quorvane {
namespace {

using namespace apptest;

bool onMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Counts tasks that ran and tasks destroyed without running, and where the
// unrun ones were destroyed. Thread-safe.
class Tally {
public:
    // A task that counts itself as run; if it is destroyed unrun instead, it
    // counts as dropped.
    HandOver::Task task(std::function<void()> body = {}) {
        auto ran = std::shared_ptr<bool>(new bool(false), [this](bool* flag) {
            if (!*flag) {
                std::lock_guard lock(mutex_);
                droppedOn_.push_back(std::this_thread::get_id());
            }
            delete flag;
        });
        return [this, ran, body = std::move(body)] {
            *ran = true;
            {
                std::lock_guard lock(mutex_);
                ++ran_;
                offMainThread_ = offMainThread_ || !onMainThread();
            }
            if (body) {
                body();
            }
        };
    }

    std::size_t ran() {
        std::lock_guard lock(mutex_);
        return ran_;
    }
    std::vector<std::thread::id> droppedOn() {
        std::lock_guard lock(mutex_);
        return droppedOn_;
    }
    bool ranOffMainThread() {
        std::lock_guard lock(mutex_);
        return offMainThread_;
    }

private:
    std::mutex mutex_;
    std::size_t ran_ = 0;
    bool offMainThread_ = false;
    std::vector<std::thread::id> droppedOn_;
};

TEST(HandOver, RunsEveryTaskOnceOnItsThreadInTheOrderPosted) {
    constexpr int posters = 4;
    constexpr int perPoster = 300;
    HandOver handOver;
    Tally tally;
    // Appended to on the main thread only (where the tasks run).
    std::vector<std::vector<int>> seen(posters + 1);

    // Posted from the main thread: not run inside post().
    EXPECT_TRUE(handOver.post(tally.task([&] { seen[posters].push_back(0); })));
    EXPECT_EQ(tally.ran(), 0u);
    EXPECT_EQ(handOver.pending(), 1u);

    std::vector<std::thread> threads;
    for (int poster = 0; poster < posters; ++poster) {
        threads.emplace_back([&, poster] {
            for (int i = 0; i < perPoster; ++i) {
                EXPECT_TRUE(handOver.post(tally.task([&seen, poster, i] { seen[poster].push_back(i); })));
            }
        });
    }
    // Run while they post (joining first would order everything for the
    // race detector before the tasks run).
    const std::size_t total = posters * perPoster + 1;
    const bool allRan = waitUntil([&] { return tally.ran() == total; });
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(allRan) << tally.ran() << " of " << total;
    EXPECT_FALSE(tally.ranOffMainThread());
    EXPECT_EQ(handOver.pending(), 0u);
    EXPECT_TRUE(tally.droppedOn().empty());
    for (int poster = 0; poster < posters; ++poster) {
        std::vector<int> expected(perPoster);
        for (int i = 0; i < perPoster; ++i) {
            expected[i] = i;
        }
        EXPECT_EQ(seen[poster], expected) << "poster " << poster;
    }
    EXPECT_EQ(seen[posters], std::vector<int>{0});
}

TEST(HandOver, EachTaskRunsInItsOwnTurnOfTheEventLoop) {
    HandOver handOver;
    QObject other;
    std::vector<std::string> order;
    bool secondRanInsideFirst = false;

    // A queued call posted between two tasks runs between them.
    ASSERT_TRUE(handOver.post([&] { order.emplace_back("first"); }));
    QMetaObject::invokeMethod(
        &other, [&] { order.emplace_back("between"); }, Qt::QueuedConnection);
    ASSERT_TRUE(handOver.post([&] { order.emplace_back("second"); }));
    ASSERT_TRUE(waitUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"first", "between", "second"}));

    // A task that waits in a nested event loop lets the next one run.
    order.clear();
    ASSERT_TRUE(handOver.post([&] {
        order.emplace_back("outer");
        secondRanInsideFirst = waitUntil([&] { return order.size() == 2; }, 5s);
    }));
    ASSERT_TRUE(handOver.post([&] { order.emplace_back("inner"); }));
    ASSERT_TRUE(waitUntil([&] { return order.size() == 2 && secondRanInsideFirst; }));
    EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner"}));
}

TEST(HandOver, ClosedOrDestroyedItRunsNothingMoreAndDropsTasksOnItsThread) {
    enum class End { close, destroy };
    for (End end : {End::close, End::destroy}) {
        SCOPED_TRACE(end == End::close ? "close" : "destroy");
        Tally tally;
        auto handOver = std::make_unique<HandOver>();
        std::thread poster([&] {
            for (int i = 0; i < 3; ++i) {
                EXPECT_TRUE(handOver->post(tally.task()));
            }
        });
        poster.join();
        ASSERT_EQ(handOver->pending(), 3u);

        // The wakes are queued; the tasks must not run after this point.
        if (end == End::close) {
            handOver->close();
            handOver->close();
        } else {
            handOver.reset();
        }
        EXPECT_EQ(tally.droppedOn(), std::vector<std::thread::id>(3, std::this_thread::get_id()));
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        EXPECT_EQ(tally.ran(), 0u);

        if (end == End::close) {
            // Later posts are refused and their tasks dropped on the posting thread.
            EXPECT_FALSE(handOver->post(tally.task()));
            std::thread::id refusedOn;
            std::thread late([&] {
                refusedOn = std::this_thread::get_id();
                EXPECT_FALSE(handOver->post(tally.task()));
            });
            late.join();
            EXPECT_EQ(handOver->pending(), 0u);
            const auto dropped = tally.droppedOn();
            ASSERT_EQ(dropped.size(), 5u);
            EXPECT_EQ(dropped[3], std::this_thread::get_id());
            EXPECT_EQ(dropped[4], refusedOn);
            QCoreApplication::processEvents();
            EXPECT_EQ(tally.ran(), 0u);
        }
    }
}

// Threads keep posting while the main thread runs their tasks and then
// closes: every accepted task either ran before close() or was dropped by it,
// and none runs after it.
TEST(HandOver, PostsRacingCloseRunBeforeItOrNever) {
    constexpr int posters = 3;
    HandOver handOver;
    Tally tally;
    bool closed = false; // main thread only
    bool ranAfterClose = false;
    std::atomic<std::size_t> accepted{0};

    std::vector<std::thread> threads;
    for (int poster = 0; poster < posters; ++poster) {
        threads.emplace_back([&] {
            while (handOver.post(tally.task([&] { ranAfterClose = ranAfterClose || closed; }))) {
                ++accepted;
                if (handOver.pending() > 64) {
                    std::this_thread::yield(); // keeps the queue (and Qt's) short
                }
            }
        });
    }
    ASSERT_TRUE(waitUntil([&] { return tally.ran() >= 200; }));
    handOver.close();
    closed = true;
    for (auto& thread : threads) {
        thread.join();
    }
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();

    EXPECT_FALSE(ranAfterClose);
    EXPECT_FALSE(tally.ranOffMainThread());
    // Each poster's last, refused task is dropped too.
    EXPECT_EQ(tally.ran() + tally.droppedOn().size(), accepted.load() + posters);
}

} // namespace
} // namespace quorvane
