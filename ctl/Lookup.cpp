#include "ctl/Lookup.h"

#include "common/Limits.h"
#include "ctl/Text.h"

namespace quorvane::ctl {

namespace {

// How many ids an ambiguity error lists.
constexpr std::size_t maxListedIds = 5;

} // namespace

std::string canonicalId(std::string_view id) {
    std::string upper(id);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

Result<Account> findAccount(const std::vector<Account>& accounts, std::string_view name) {
    const std::string id = canonicalId(name);
    for (const auto& account : accounts) {
        if (account.id == id) {
            return account;
        }
    }
    std::vector<const Account*> labelled;
    for (const auto& account : accounts) {
        if (account.displayName == name) {
            labelled.push_back(&account);
        }
    }
    if (labelled.size() == 1) {
        return *labelled.front();
    }
    if (labelled.empty()) {
        return fail("no account has the id or label \"" + terminalSafe(name) + "\"");
    }
    // Agents of one kind often share a label: name a few, count the rest.
    std::string ids;
    for (std::size_t i = 0; i < labelled.size() && i < maxListedIds; ++i) {
        ids += (i == 0 ? "" : ", ") + labelled[i]->id;
    }
    if (labelled.size() > maxListedIds) {
        ids += " and " + std::to_string(labelled.size() - maxListedIds) + " more";
    }
    return fail(std::to_string(labelled.size()) + " accounts have the label \"" + terminalSafe(name) +
                "\"; name one by its id: " + ids);
}

bool holdsWholeLedger(const Snapshot& snapshot) {
    return snapshot.entries.size() < Limits::snapshotEntries &&
           (!snapshot.omitted || snapshot.omitted->entries == 0);
}

} // namespace quorvane::ctl
