#include "bridge/tests/FakeHost.h"

#include <thread>

namespace quorvane::test {

class FakeHost::Connection final : public HostConnection {
public:
    Connection(std::shared_ptr<FakeHost> host, int number) : host_(std::move(host)), number_(number) {}

    std::optional<Cancel> startCall(const std::string& line, ReplyHandler onReply,
                                    ErrorHandler onError) override {
        const Answer answer = host_->script(line);
        {
            std::lock_guard guard(host_->lock);
            host_->sent_.push_back({number_, line});
        }
        if (answer.kind == Answer::Kind::refuse) {
            return std::nullopt;
        }
        if (answer.kind == Answer::Kind::silent && host_->keepSilentHandler) {
            *host_->keepSilentHandler = onReply;
        }
        auto deliver = [answer, onReply, onError] {
            switch (answer.kind) {
            case Answer::Kind::reply:
                onReply(answer.text);
                break;
            case Answer::Kind::noReply:
                onReply(std::nullopt);
                break;
            case Answer::Kind::error:
                onError(answer.text);
                break;
            default:
                break;
            }
        };
        if (host_->answerOnOtherThread) {
            std::lock_guard guard(host_->lock);
            host_->answerThreads_.emplace_back([deliver] {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                deliver();
            });
        } else {
            deliver();
        }
        std::weak_ptr<FakeHost> weak = host_;
        return Cancel([weak] {
            if (auto host = weak.lock()) {
                std::lock_guard guard(host->lock);
                ++host->cancellations_;
            }
        });
    }

    void invalidate() override {
        std::lock_guard guard(host_->lock);
        ++host_->invalidations_;
    }

private:
    std::shared_ptr<FakeHost> host_;
    int number_;
};

ConnectionFactory FakeHost::factory() {
    std::shared_ptr<FakeHost> self = shared_from_this();
    return [self](std::shared_ptr<QuorvaneClientProtocol> exported,
                  std::shared_ptr<Flag> reestablish) -> std::unique_ptr<HostConnection> {
        std::lock_guard guard(self->lock);
        self->flag_ = std::move(reestablish);
        self->exported_ = std::move(exported);
        return std::make_unique<Connection>(self, ++self->connections_);
    };
}

FakeHost::~FakeHost() {
    for (auto& thread : answerThreads_) {
        thread.join();
    }
}

std::vector<Sent> FakeHost::sent() const {
    std::lock_guard guard(lock);
    return sent_;
}

std::vector<std::string> FakeHost::sentLines() const {
    std::lock_guard guard(lock);
    std::vector<std::string> lines;
    for (const Sent& s : sent_) {
        lines.push_back(s.line);
    }
    return lines;
}

int FakeHost::connectionsMade() const {
    std::lock_guard guard(lock);
    return connections_;
}

int FakeHost::invalidations() const {
    std::lock_guard guard(lock);
    return invalidations_;
}

int FakeHost::cancellations() const {
    std::lock_guard guard(lock);
    return cancellations_;
}

std::shared_ptr<Flag> FakeHost::reestablishFlag() const {
    std::lock_guard guard(lock);
    return flag_;
}

std::shared_ptr<QuorvaneClientProtocol> FakeHost::exported() const {
    std::lock_guard guard(lock);
    return exported_;
}

} // namespace quorvane::test
