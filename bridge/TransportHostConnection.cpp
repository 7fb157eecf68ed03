#include "bridge/TransportHostConnection.h"

namespace quorvane {

TransportHostConnection::TransportHostConnection(std::shared_ptr<QuorvaneClientProtocol> exported,
                                                 std::shared_ptr<Flag> reestablish, ConnectionOptions options)
    : connection(std::move(exported), std::move(options)) {
    connection.setInterruptionHandler([reestablish] { reestablish->set(); });
    connection.setInvalidationHandler([reestablish] { reestablish->set(); });
}

std::optional<HostConnection::Cancel>
TransportHostConnection::startCall(const std::string& line, ReplyHandler onReply, ErrorHandler onError) {
    if (invalidated.load()) {
        return std::nullopt;
    }
    CallHandle call = connection.handleAgentMessage(line, std::move(onReply), std::move(onError));
    return Cancel([call]() mutable { call.cancel(); });
}

void TransportHostConnection::invalidate() {
    invalidated.store(true);
    connection.invalidate();
}

ConnectionFactory transportConnectionFactory(ConnectionOptions options) {
    return
        [options = std::move(options)](std::shared_ptr<QuorvaneClientProtocol> exported,
                                       std::shared_ptr<Flag> reestablish) -> std::unique_ptr<HostConnection> {
            return std::make_unique<TransportHostConnection>(std::move(exported), std::move(reestablish),
                                                             options);
        };
}

} // namespace quorvane
