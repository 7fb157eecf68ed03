#include "host/core/ControlHandler.h"

#include "common/Coding.h"

namespace quorvane {
namespace {

constexpr std::string_view encodeFailedResponse = R"({"failure":{"_0":"encode failed"}})";

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

} // namespace

ControlHandler::ControlHandler(LedgerStore& store, ConnectionRegistry& registry, AgentIdentity& identity,
                               AgentDispatch& dispatch, SnapshotBuilder& snapshots)
    : store_(store), registry_(registry), identity_(identity), dispatch_(dispatch), snapshots_(snapshots) {
}

std::string ControlHandler::handle(const std::string& text, const std::string& connectionId) {
    registry_.markControl(connectionId);
    const std::optional<ControlRequest> request = QuorvaneCoding::decode<ControlRequest>(text);
    const ControlResponse response =
        request ? handle(*request) : ControlResponse::failure("Malformed control request");
    if (auto encoded = QuorvaneCoding::encodeToString(response)) {
        return std::move(*encoded);
    }
    return std::string(encodeFailedResponse);
}

ControlResponse ControlHandler::handle(const ControlRequest& request) {
    const auto dataChanged = [&] { registry_.broadcast(ControlEvent::dataChanged()); };
    return std::visit(
        Overloaded{
            [&](const ControlRequest::Snapshot&) { return ControlResponse::snapshot(snapshots_.build()); },
            [&](const ControlRequest::CreateEntry& r) {
                const std::optional<LedgerEntry> created = store_.insertEntry(r.entry);
                if (!created) {
                    return ControlResponse::failure("Could not create entry \u2014 account not found.");
                }
                dataChanged();
                dispatch_.notifyNewItem(r.entry.accountId, *created);
                return ControlResponse::ok();
            },
            [&](const ControlRequest::UpdateEntry& r) {
                if (!store_.updateEntry(r.entry)) {
                    return ControlResponse::failure("Update failed.");
                }
                dataChanged();
                return ControlResponse::ok();
            },
            [&](const ControlRequest::DeleteEntry& r) {
                if (!store_.deleteEntry(r.id)) {
                    return ControlResponse::failure("Delete failed.");
                }
                dataChanged();
                return ControlResponse::ok();
            },
            [&](const ControlRequest::RenameAccount& r) {
                if (!store_.renameAccount(r.id, r.displayName)) {
                    return ControlResponse::failure("Rename failed.");
                }
                dataChanged();
                return ControlResponse::ok();
            },
            [&](const ControlRequest::DeleteAccount& r) {
                if (!store_.deleteAccount(r.id)) {
                    return ControlResponse::failure("Delete failed.");
                }
                dataChanged();
                registry_.broadcast(ControlEvent::connectionsChanged());
                return ControlResponse::ok();
            },
            [&](const ControlRequest::SetAllowUnauthenticated& r) {
                if (!identity_.setAllowUnauthenticated(r.value)) {
                    return ControlResponse::failure("Settings change failed.");
                }
                return ControlResponse::ok();
            },
            [&](const ControlRequest::SetStartingPoints& r) {
                if (!store_.setStartingPoints(r.value)) {
                    return ControlResponse::failure("Settings change failed.");
                }
                dataChanged();
                return ControlResponse::ok();
            },
        },
        request.value);
}

} // namespace quorvane
