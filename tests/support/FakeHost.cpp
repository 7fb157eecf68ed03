#include "tests/support/FakeHost.h"

#include <mutex>
#include <stdexcept>

namespace quorvane::test {

struct FakeHost::State {
    mutable std::mutex lock;
    ControlAnswer control;
    AgentAnswer agent;
    std::vector<std::string> requests;
    std::vector<AcceptedPeer> admitted;

    std::vector<AcceptedPeer> peers() const {
        std::lock_guard guard(lock);
        return admitted;
    }
};

namespace {

class FakeService final : public QuorvaneServiceProtocol {
public:
    explicit FakeService(std::shared_ptr<FakeHost::State> state) : state_(std::move(state)) {}

    void handleAgentMessage(const std::string& message,
                            std::function<void(std::optional<std::string>)> reply) override {
        FakeHost::AgentAnswer answer;
        {
            std::lock_guard guard(state_->lock);
            answer = state_->agent;
        }
        reply(answer ? answer(message) : std::nullopt);
    }

    void control(const std::string& request, std::function<void(std::string)> reply) override {
        FakeHost::ControlAnswer answer;
        {
            std::lock_guard guard(state_->lock);
            state_->requests.push_back(request);
            answer = state_->control;
        }
        if (auto text = answer ? answer(request) : std::nullopt) {
            reply(std::move(*text));
        }
    }

private:
    std::shared_ptr<FakeHost::State> state_;
};

template <typename Push>
bool pushToAll(const std::vector<AcceptedPeer>& peers, Push&& push) {
    bool pushed = false;
    for (const auto& peer : peers) {
        if (auto proxy = peer.clientProxy ? peer.clientProxy() : nullptr) {
            push(*proxy);
            pushed = true;
        }
    }
    return pushed;
}

} // namespace

FakeHost::FakeHost(const RuntimeEnvironment& environment, Options options)
    : state_(std::make_shared<State>()) {
    state_->control = std::move(options.control);
    state_->agent = std::move(options.agent);
    auto places = resolveServicePlaces(environment, FolderUse::create);
    if (!places.ok()) {
        throw std::runtime_error("fake host: " + places.error().message);
    }
    auto lock = ServiceLock::acquire(*places);
    if (!lock.lock) {
        throw std::runtime_error("fake host: " + lock.error);
    }
    auto started = ServiceListener::start(
        std::move(*lock.lock),
        [state = state_](const AcceptedPeer& peer) {
            {
                std::lock_guard guard(state->lock);
                state->admitted.push_back(peer);
            }
            return ConnectionSetup{std::make_shared<FakeService>(state), {}};
        },
        std::move(options.listener));
    if (!started.ok()) {
        throw std::runtime_error("fake host: " + started.error().message);
    }
    listener_ = std::move(*started);
}

FakeHost::~FakeHost() = default;

std::vector<std::string> FakeHost::requests() const {
    std::lock_guard guard(state_->lock);
    return state_->requests;
}

std::size_t FakeHost::requestCount() const {
    std::lock_guard guard(state_->lock);
    return state_->requests.size();
}

std::vector<AcceptedPeer> FakeHost::admitted() const {
    return state_->peers();
}

void FakeHost::setControlAnswer(ControlAnswer answer) {
    std::lock_guard guard(state_->lock);
    state_->control = std::move(answer);
}

bool FakeHost::pushEvent(const std::string& json) {
    return pushToAll(state_->peers(), [&](QuorvaneClientProtocol& client) { client.controlEvent(json); });
}

bool FakeHost::pushAgentNotification(const std::string& line) {
    return pushToAll(state_->peers(),
                     [&](QuorvaneClientProtocol& client) { client.deliverAgentNotification(line); });
}

} // namespace quorvane::test
