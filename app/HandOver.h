#pragma once

// Hands work from any thread to the thread a QObject lives on (in the app,
// the main thread).
//
// post() puts the task in a queue of its own, guarded by a Mutex, and wakes
// the receiving thread with one argument-free queued call per task. Each wake
// runs the oldest task still queued. So:
// - tasks run on this object's thread, exactly once, in the order they were
//   posted (per posting thread, and overall in the order the queue took
//   them), never inside post();
// - each task runs in its own turn of the event loop, as a queued call would:
//   other events may run between two tasks, and a task that runs a nested
//   event loop lets the next tasks run inside it;
// - everything a task holds is built by the posting thread and taken over by
//   the receiving thread under the Mutex, so the hand-over is visible to
//   ThreadSanitizer even though Qt itself is not instrumented: Qt only ever
//   carries the wake, which owns no memory of ours.
//
// Lifetime: close() (on this object's thread) drops the tasks not yet run,
// destroying them there, and makes every later post() refuse its task; the
// destructor closes. No task runs once close() has begun. The destructor must
// not race a post(): destroy the object only after every thread that might
// still post has been stopped (close() first makes their posts harmless
// until then).

#include <QObject>

#include <cstddef>
#include <deque>
#include <functional>

#include "common/ThreadSafety.h"

namespace quorvane {

class HandOver final : public QObject {
    Q_OBJECT

public:
    using Task = std::function<void()>;

    // Lives on the thread that creates it (moveToThread moves where tasks
    // run). Needs a Qt event loop on that thread for tasks to run.
    explicit HandOver(QObject* parent = nullptr);
    // Closes: the tasks not yet run are destroyed, never run.
    ~HandOver() override;

    HandOver(const HandOver&) = delete;
    HandOver& operator=(const HandOver&) = delete;

    // Any thread. Queues `task` (may be empty: nothing runs) and answers
    // true; after close() answers false and destroys the task on the calling
    // thread.
    bool post(Task task) QUORVANE_EXCLUDES(lock_);

    // This object's thread. Destroys the queued tasks without running them
    // and refuses later posts. Closing again does nothing.
    void close() QUORVANE_EXCLUDES(lock_);

    // Any thread. Tasks posted and not yet run (or dropped).
    [[nodiscard]] std::size_t pending() const QUORVANE_EXCLUDES(lock_);

private Q_SLOTS:
    // One wake: runs the oldest queued task, if any (a wake that finds the
    // queue emptied by close() does nothing).
    void runOldest() QUORVANE_EXCLUDES(lock_);

private:
    mutable Mutex lock_;
    std::deque<Task> tasks_ QUORVANE_GUARDED_BY(lock_);
    bool closed_ QUORVANE_GUARDED_BY(lock_) = false;
};

} // namespace quorvane
