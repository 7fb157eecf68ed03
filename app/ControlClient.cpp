#include "app/ControlClient.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <thread>
#include <utility>

#include <pthread.h>

#include "app/HandOver.h"
#include "common/Coding.h"
#include "common/ThreadSafety.h"

namespace quorvane {

// Shared by the main thread, the worker and the transport's threads.
//
// Lifetime: the Core outlives its worker and its connection. The destructor of
// ControlClient first closes the main-thread hand-over (so nothing more is
// run there), then stops the worker, whose last act is to destroy the
// connection; ServiceConnection's destructor joins the transport's threads, so
// no callback can reach the Core afterwards. That is why the transport's
// callbacks may hold a plain pointer to it, and why posting to the closed
// hand-over from those threads is safe until then.
struct ControlClient::Core {
    explicit Core(ConnectionOptions connectionOptions) : options(std::move(connectionOptions)) {
        worker = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "quorvane-client");
            workLoop();
        });
    }

    // ---- Main-thread hand-off (any thread) ------------------------------------

    void post(std::function<void()> task) {
        (void)mainThread.post(std::move(task)); // refused once the client is going away
    }

    void deliver(std::optional<ControlResponse> response, Completion completion) {
        post([response = std::move(response), completion = std::move(completion)]() mutable {
            if (completion) {
                completion(std::move(response));
            }
        });
    }

    void notifyConnection(bool connected) {
        post([this, connected] {
            if (onConnectionChange) {
                onConnectionChange(connected);
            }
        });
    }

    void receiveEvent(const std::string& json) {
        auto event = QuorvaneCoding::decode<ControlEvent>(json);
        if (!event) {
            return; // undecodable events are dropped without a trace
        }
        post([this, event = std::move(*event)] {
            if (onEvent) {
                onEvent(event);
            }
        });
    }

    // ---- The worker --------------------------------------------------------------

    void enqueue(std::function<void()> task) QUORVANE_EXCLUDES(queueLock) {
        {
            MutexLock guard(queueLock);
            if (stopping) {
                return;
            }
            tasks.push_back(std::move(task));
        }
        queueReady.notify_one();
    }

    void workLoop() QUORVANE_EXCLUDES(queueLock) {
        for (;;) {
            std::function<void()> task;
            {
                MutexLock guard(queueLock);
                while (!stopping && tasks.empty()) {
                    queueReady.wait(guard);
                }
                if (stopping) {
                    break;
                }
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
        // Outstanding calls fail here; their completions find no context.
        connection.reset();
    }

    // Worker only.
    ServiceConnection& ensureConnection() {
        if (!connection) {
            ++generation;
            const std::uint64_t made = generation;
            connection = std::make_unique<ServiceConnection>(std::make_shared<Exported>(this), options);
            connection->setInterruptionHandler([this, made] { handleDrop(made); });
            connection->setInvalidationHandler([this, made] { handleDrop(made); });
        }
        return *connection;
    }

    // Worker only. Throws the connection away unless it has already been
    // replaced by a newer one.
    void discardConnection(std::uint64_t made) {
        if (connection && generation == made) {
            connection.reset();
        }
    }

    // Transport thread.
    void handleDrop(std::uint64_t made) {
        enqueue([this, made] { discardConnection(made); });
        notifyConnection(false);
    }

    // Worker only.
    void perform(std::string request, Completion completion) {
        ServiceConnection& service = ensureConnection();
        const std::uint64_t made = generation;
        // Exactly one of the two runs, on a transport thread.
        auto onReply = [this, completion](std::string reply) {
            deliver(QuorvaneCoding::decode<ControlResponse>(reply), completion);
            notifyConnection(true); // even an unreadable answer proves the host is there
        };
        auto onError = [this, made, completion](std::string) {
            enqueue([this, made] { discardConnection(made); });
            deliver(std::nullopt, completion);
            notifyConnection(false);
        };
        (void)service.control(std::move(request), std::move(onReply), std::move(onError));
    }

    void shutDown() QUORVANE_EXCLUDES(queueLock) {
        mainThread.close(); // drops every hand-over not yet run
        std::deque<std::function<void()>> dropped;
        {
            MutexLock guard(queueLock);
            stopping = true;
            dropped.swap(tasks);
        }
        queueReady.notify_one();
        worker.join();
    }

    // The object the host's pushes reach.
    struct Exported final : QuorvaneClientProtocol {
        explicit Exported(Core* owner) : core(owner) {}
        void controlEvent(const std::string& json) override { core->receiveEvent(json); }
        void deliverAgentNotification(const std::string&) override {}
        Core* core;
    };

    const ConnectionOptions options;

    // Lives on the main thread; closed once shutting down.
    HandOver mainThread;

    Mutex queueLock;
    std::condition_variable_any queueReady;
    std::deque<std::function<void()>> tasks QUORVANE_GUARDED_BY(queueLock);
    bool stopping QUORVANE_GUARDED_BY(queueLock) = false;
    std::thread worker;

    // Worker only.
    std::unique_ptr<ServiceConnection> connection;
    std::uint64_t generation = 0;

    // Main thread only: set before the first send, read by handed-over tasks.
    EventHandler onEvent;
    ConnectionHandler onConnectionChange;
};

ControlClient::ControlClient(ConnectionOptions options) : core_(std::make_unique<Core>(std::move(options))) {
}

ControlClient::~ControlClient() {
    core_->shutDown();
}

void ControlClient::setOnEvent(EventHandler handler) {
    core_->onEvent = std::move(handler);
}

void ControlClient::setOnConnectionChange(ConnectionHandler handler) {
    core_->onConnectionChange = std::move(handler);
}

void ControlClient::send(const ControlRequest& request, Completion completion) {
    std::optional<std::string> text;
    try {
        text = QuorvaneCoding::encodeToString(request);
    } catch (...) {
        text.reset();
    }
    if (!text) {
        core_->deliver(std::nullopt, std::move(completion));
        return;
    }
    core_->enqueue(
        [core = core_.get(), text = std::move(*text), completion = std::move(completion)]() mutable {
            core->perform(std::move(text), std::move(completion));
        });
}

void ControlClient::controlEvent(const std::string& json) {
    core_->receiveEvent(json);
}

void ControlClient::deliverAgentNotification(const std::string&) {
}

} // namespace quorvane
