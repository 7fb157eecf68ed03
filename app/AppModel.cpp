#include "app/AppModel.h"

namespace quorvane {

AppModel::AppModel(QObject* parent) : AppModel(std::make_unique<ControlClient>(), {}, parent) {}
AppModel::AppModel(std::unique_ptr<ControlClient> client, Registrar registrar, QObject* parent)
    : QObject(parent), client_(std::move(client)), registrar_(std::move(registrar)) {}
AppModel::~AppModel() = default;
void AppModel::setSelectedAccountID(std::optional<std::string>) {}
std::optional<Account> AppModel::selectedAccount() const { return std::nullopt; }
std::vector<LedgerEntry> AppModel::entriesFor(const std::string&) const { return {}; }
void AppModel::start() {}
void AppModel::refresh() {}
void AppModel::createEntry(const NewLedgerEntry&) {}
void AppModel::updateEntry(const LedgerEntry&) {}
void AppModel::deleteEntry(const std::string&) {}
void AppModel::renameAccount(const std::string&, const std::string&) {}
void AppModel::deleteAccount(const std::string&) {}
void AppModel::setAllowUnauthenticated(bool) {}
void AppModel::setStartingPoints(std::int64_t) {}
void AppModel::applySnapshot(const Snapshot&) {}
void AppModel::apply(const ControlEvent&) {}
void AppModel::sendThenRefresh(const ControlRequest&) {}
void AppModel::setIsConnected(bool) {}

} // namespace quorvane
