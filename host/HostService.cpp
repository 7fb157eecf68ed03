#include "host/HostService.h"

#include "common/Uuid.h"

namespace quorvane {

void QuorvaneService::handleAgentMessage(const std::string& message,
                                         std::function<void(std::optional<std::string>)> reply) {
    reply(engine_->handleAgentMessage(message, connectionId_));
}

void QuorvaneService::control(const std::string& request, std::function<void(std::string)> reply) {
    reply(engine_->control(request, connectionId_));
}

ConnectionSetup HostListenerDelegate::operator()(const AcceptedPeer& peer) const {
    std::string id = newUuidString();
    ConnectionSetup setup;
    setup.service = std::make_shared<QuorvaneService>(engine_, id);
    engine_->connectionOpened(id, peer.clientProxy);
    std::weak_ptr<HostEngine> weakEngine = engine_;
    setup.onClosed = [weakEngine, id = std::move(id)] {
        if (auto engine = weakEngine.lock()) {
            engine->connectionClosed(id);
        }
    };
    return setup;
}

} // namespace quorvane
