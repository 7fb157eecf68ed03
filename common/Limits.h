#pragma once

// What the host takes from agents into stored or logged state, and the budgets
// that keep every message it sends inside its frame (Frame.h: 4 MiB towards
// the host, 64 MiB from it).
//
// An agent's line may be up to 4 MiB; without these bounds one initialize
// could store megabytes that every later snapshot carries, and a few sessions
// could make every snapshot too large to send. With them:
//   - one API log entry encodes to well under 100 KiB, so the whole log
//     (300 entries) stays under 30 MiB even when every byte needs escaping;
//   - a snapshot is cut to snapshotBudgetBytes, half the frame, whatever the
//     ledger file holds (SnapshotBuilder);
//   - a push carries at most one memo, escaped as in the 4 MiB request that
//     brought it, or one API log entry;
//   - a tool reply that would not fit its frame is answered with a JSON-RPC
//     error instead (AgentDispatch).
//
// Pure constants, usable from any thread.

#include <chrono>
#include <cstddef>
#include <string_view>

#include "common/transport/Frame.h"

namespace quorvane::Limits {

// ---- Client information (initialize's clientInfo) ----

// name, version and title, each: real clients use a few dozen bytes. A client
// whose name, version or title is longer is treated as one that sent no client
// information (it is not bound by fingerprint and has no label).
inline constexpr std::size_t maxClientInfoFieldBytes = 512;
// The stored JSON text of the whole clientInfo object: room for the extra
// members real clients send (icons, website). Beyond it only the members that
// fit are kept, name, title and version first, so the fingerprint and the
// account of a client never depend on this bound.
inline constexpr std::size_t maxClientInfoJSONBytes = 8 * 1024;

// ---- Credentials ----

// A new sign-up key: 40 characters are asked for; nothing but a salted hash is
// stored, but the key is hashed, counted and replayed by the bridge. Login
// takes any key, since accounts made before this bound may hold longer ones.
inline constexpr std::size_t maxSignUpKeyBytes = 4 * 1024;
// Sign-ups one connection may make per window; more are refused with a "try
// later" tool error, so one session cannot mint thousands of funded accounts.
inline constexpr std::size_t signUpsPerWindow = 10;
inline constexpr std::chrono::seconds signUpWindow{60};

// ---- API log ----

// Entries kept in memory; the oldest go first.
inline constexpr std::size_t apiLogCapacity = 300;
// One logged request, response or notification text: characters (grapheme
// clusters) as shown to the operator, and bytes, since one cluster may hold
// any number of code points. 4000 characters of four bytes fit the byte bound.
inline constexpr std::size_t apiLogPayloadCharacters = 4000;
inline constexpr std::size_t apiLogPayloadBytes = 16 * 1024;
// A logged method name: real ones are a few dozen bytes.
inline constexpr std::size_t apiLogMethodBytes = 256;
// Ends a text that was cut; counted within the bounds above.
inline constexpr std::string_view cutMarker = "\u2026[truncated]";

// ---- Messages from the host ----

// Entries a snapshot carries, the newest (fewer once it is over its budget,
// counted in Snapshot::omitted). A snapshot with fewer entries and none
// omitted holds the whole ledger; operator tools rely on that.
inline constexpr std::size_t snapshotEntries = 2000;
// A snapshot's encoded size: half the frame, so the control response around
// it and any slack in the measuring never reach the frame's limit.
inline constexpr std::size_t snapshotBudgetBytes = std::size_t{32} << 20;
// A text of a snapshot record (a memo, a display name) that is longer than
// this is shortened, with the marker, once the snapshot is over its budget.
inline constexpr std::size_t snapshotTextBytes = 16 * 1024;
// An agent reply line: exactly what its frame can carry.
inline constexpr std::size_t maxAgentReplyBytes = maxFrameFromHost;

static_assert(apiLogPayloadCharacters * 4 <= apiLogPayloadBytes);
static_assert(snapshotBudgetBytes * 2 <= maxFrameFromHost);
static_assert(maxClientInfoJSONBytes <= snapshotTextBytes);

} // namespace quorvane::Limits
