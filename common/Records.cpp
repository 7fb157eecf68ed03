#include "common/Records.h"

#include <limits>

namespace quorvane {

std::string_view rawValue(TransactionKind kind) {
    switch (kind) {
    case TransactionKind::credit:
        return "credit";
    case TransactionKind::debit:
        return "debit";
    case TransactionKind::note:
        return "note";
    }
    return "note";
}

std::string_view rawValue(LedgerFlag flag) {
    switch (flag) {
    case LedgerFlag::none:
        return "none";
    case LedgerFlag::bonus:
        return "bonus";
    case LedgerFlag::penalty:
        return "penalty";
    }
    return "none";
}

std::string_view rawValue(IdentityMode mode) {
    return mode == IdentityMode::credential ? "credential" : "clientInfo";
}

std::string_view rawValue(ApiLogEntry::Direction direction) {
    switch (direction) {
    case ApiLogEntry::Direction::request:
        return "request";
    case ApiLogEntry::Direction::response:
        return "response";
    case ApiLogEntry::Direction::notification:
        return "notification";
    }
    return "request";
}

template <>
std::optional<TransactionKind> fromRawValue<TransactionKind>(std::string_view raw) {
    for (auto kind : allCases<TransactionKind>) {
        if (rawValue(kind) == raw) {
            return kind;
        }
    }
    return std::nullopt;
}

template <>
std::optional<LedgerFlag> fromRawValue<LedgerFlag>(std::string_view raw) {
    for (auto flag : allCases<LedgerFlag>) {
        if (rawValue(flag) == raw) {
            return flag;
        }
    }
    return std::nullopt;
}

template <>
std::optional<IdentityMode> fromRawValue<IdentityMode>(std::string_view raw) {
    if (raw == "credential") {
        return IdentityMode::credential;
    }
    if (raw == "clientInfo") {
        return IdentityMode::clientInfo;
    }
    return std::nullopt;
}

template <>
std::optional<ApiLogEntry::Direction> fromRawValue<ApiLogEntry::Direction>(std::string_view raw) {
    for (auto d : {ApiLogEntry::Direction::request, ApiLogEntry::Direction::response,
                   ApiLogEntry::Direction::notification}) {
        if (rawValue(d) == raw) {
            return d;
        }
    }
    return std::nullopt;
}

std::int64_t signedAmount(TransactionKind kind, std::int64_t amount) {
    switch (kind) {
    case TransactionKind::credit:
        return amount;
    case TransactionKind::debit:
        return amount == std::numeric_limits<std::int64_t>::min() ? std::numeric_limits<std::int64_t>::max()
                                                                  : -amount;
    case TransactionKind::note:
        return 0;
    }
    return 0;
}

} // namespace quorvane

namespace {

using quorvane::hashCombine;

std::size_t h(const std::string& s) {
    return std::hash<std::string>{}(s);
}
std::size_t h(std::int64_t v) {
    return std::hash<std::int64_t>{}(v);
}
std::size_t h(bool v) {
    return std::hash<bool>{}(v);
}
std::size_t h(quorvane::Date d) {
    return std::hash<std::int64_t>{}(d.time_since_epoch().count());
}
template <class E>
requires std::is_enum_v<E> std::size_t h(E e) {
    return std::hash<int>{}(static_cast<int>(e));
}
template <quorvane::HasFieldTable R>
std::size_t h(const R& v);
template <class T>
std::size_t h(const std::vector<T>& items) {
    std::size_t seed = items.size();
    for (const auto& item : items) {
        hashCombine(seed, h(item));
    }
    return seed;
}
template <class T>
std::size_t h(const std::optional<T>& v) {
    std::size_t seed = v.has_value() ? 1 : 0;
    if (v) {
        hashCombine(seed, h(*v));
    }
    return seed;
}
// A record: its fields in the order of its field table.
template <quorvane::HasFieldTable R>
std::size_t h(const R& v) {
    std::size_t seed = 0;
    quorvane::forEachField(v, [&](std::string_view, const auto& member) { hashCombine(seed, h(member)); });
    return seed;
}

} // namespace

std::size_t std::hash<quorvane::ClientInfo>::operator()(const quorvane::ClientInfo& v) const noexcept {
    return h(v);
}
std::size_t
std::hash<quorvane::ClientInfoField>::operator()(const quorvane::ClientInfoField& v) const noexcept {
    return h(v);
}
std::size_t std::hash<quorvane::Account>::operator()(const quorvane::Account& v) const noexcept {
    return h(v);
}
std::size_t std::hash<quorvane::LedgerEntry>::operator()(const quorvane::LedgerEntry& v) const noexcept {
    return h(v);
}
std::size_t
std::hash<quorvane::LiveConnection>::operator()(const quorvane::LiveConnection& v) const noexcept {
    return h(v);
}
std::size_t std::hash<quorvane::ApiLogEntry>::operator()(const quorvane::ApiLogEntry& v) const noexcept {
    return h(v);
}
std::size_t std::hash<quorvane::Settings>::operator()(const quorvane::Settings& v) const noexcept {
    return h(v);
}
