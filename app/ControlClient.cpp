#include "app/ControlClient.h"

namespace quorvane {

struct ControlClient::Core {};

ControlClient::ControlClient(ConnectionOptions) : core_(std::make_shared<Core>()) {}
ControlClient::~ControlClient() = default;
void ControlClient::setOnEvent(EventHandler) {}
void ControlClient::setOnConnectionChange(ConnectionHandler) {}
void ControlClient::send(const ControlRequest&, Completion) {}
void ControlClient::controlEvent(const std::string&) {}
void ControlClient::deliverAgentNotification(const std::string&) {}

} // namespace quorvane
