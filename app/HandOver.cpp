#include "app/HandOver.h"

#include <QMetaObject>
#include <QThread>

#include <utility>

namespace quorvane {

HandOver::HandOver(QObject* parent) : QObject(parent) {
}

HandOver::~HandOver() {
    close();
}

bool HandOver::post(Task task) {
    MutexLock guard(lock_);
    if (closed_) {
        guard.unlock();
        task = nullptr; // destroyed here, on the posting thread, without the lock
        return false;
    }
    tasks_.push_back(std::move(task));
    // The wake is sent under the lock: close() takes the lock before the
    // object can go, so this object is alive for the whole call. The queued
    // call is by name and carries nothing, so Qt allocates and frees all it
    // needs itself.
    const bool woken = QMetaObject::invokeMethod(this, "runOldest", Qt::QueuedConnection);
    Q_ASSERT(woken);
    (void)woken;
    return true;
}

void HandOver::close() {
    std::deque<Task> dropped;
    {
        MutexLock guard(lock_);
        closed_ = true;
        dropped.swap(tasks_);
    }
    // `dropped` goes here, outside the lock: a task's destructor may post.
}

std::size_t HandOver::pending() const {
    MutexLock guard(lock_);
    return tasks_.size();
}

void HandOver::runOldest() {
    Q_ASSERT(QThread::currentThread() == thread());
    Task task;
    {
        MutexLock guard(lock_);
        if (tasks_.empty()) {
            return;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    if (task) {
        task();
    }
}

} // namespace quorvane
