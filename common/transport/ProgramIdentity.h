#pragma once

// Who is on the other end of a service connection.
//
// Each Quorvane program carries its identity — the team and its program
// identifier — in an ELF note linked into the binary (one of the object
// libraries quorvane_identity_host, _bridge, _app or _ctl). Right after accept or
// connect, the verifier checks the peer's uid (SO_PEERCRED: it must be ours),
// then reads the note from the peer's executable (/proc/<pid>/exe) and matches
// it against a requirement text of ControlProtocol.h. The mapping from those
// texts to admitted programs lives in this file's implementation, nowhere else.
//
// What this proves: the peer runs as this user and executes a program that was
// built as a Quorvane program. A same-user process can still drive a
// legitimate program, which is why the host also limits each role to its own
// operation.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "common/Result.h"

namespace quorvane {

enum class ProgramRole { host, bridge, app };

[[nodiscard]] std::string_view roleName(ProgramRole role);

struct ProgramIdentity {
    std::string team;
    std::string identifier;

    bool operator==(const ProgramIdentity&) const = default;
};

// quorvanectl, the operator's command-line tool: it carries its own identifier
// and is admitted as the operator app is (role app).
inline constexpr std::string_view quorvaneCtlIdentifier = "com.zentrafell.quorvane.ctl";

// The note's owner name and type.
inline constexpr std::string_view identityNoteName = "Quorvane";
inline constexpr unsigned identityNoteType = 1;

// Reads the identity note from an ELF64 executable. Only the headers and the
// note segments are read, each within fixed bounds, so a malformed, truncated
// or huge file answers an error quickly. A file with no identity note, or with
// two different ones, has no identity. Never throws; the error says why there
// is no identity.
[[nodiscard]] Result<ProgramIdentity> readProgramIdentity(int fd);
[[nodiscard]] Result<ProgramIdentity> readProgramIdentityAt(const std::string& path);

// The identity of the program a process runs, from /proc/<pid>/exe.
[[nodiscard]] Result<ProgramIdentity> readProcessIdentity(pid_t pid);

// The program an identity names (team and identifier must both match), if any.
[[nodiscard]] std::optional<ProgramRole> roleOf(const ProgramIdentity& identity);

// Whether a requirement text admits a program. Unknown texts admit nothing.
[[nodiscard]] bool requirementAdmits(std::string_view requirement, ProgramRole role);

// How the verifier learns a peer's program identity. Production code leaves it
// empty (readProcessIdentity); tests that run both ends in one process supply
// their own. Called on transport threads.
using ProgramIdentityReader = std::function<Result<ProgramIdentity>(pid_t pid)>;

// An admitted peer.
struct VerifiedPeer {
    ProgramRole role = ProgramRole::bridge;
    pid_t pid = 0;
};

// Checks the peer of a connected local socket: its uid must be ours, and its
// program must satisfy the requirement. Guards against the peer's pid being
// reused while its executable is read. Blocking but bounded; thread-safe. The
// error says why the peer was refused.
[[nodiscard]] Result<VerifiedPeer> verifyPeer(int socketFd, std::string_view requirement,
                                              const ProgramIdentityReader& reader = {});

} // namespace quorvane
