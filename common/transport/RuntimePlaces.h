#pragma once

// Where the host's service lives: two local stream sockets named after the
// service, each in a private per-user folder. The agent socket (bridges) has
// the lock file beside it; the control socket (operator programs) has a folder
// of its own next to the agent socket's folder, so that the agent folder can
// be shown to a confined agent whole without the control socket.
//
//   $XDG_RUNTIME_DIR/quorvane/<service name>          when XDG_RUNTIME_DIR is set
//   /run/user/<uid>/quorvane/<service name>           when that folder is ours and private
//   /tmp/quorvane-<uid>/<service name>                otherwise
//
// and the control socket at <agent folder>-control/<service name>, for example
// $XDG_RUNTIME_DIR/quorvane-control/<service name>.
//
// Bridges are started by MCP clients with a stripped environment, so the middle
// rule lets them find the socket of a host started with XDG_RUNTIME_DIR set.
// Every folder is checked with lstat before use: a directory (not a symbolic
// link), owned by us, with no group or other permission bits.

#include <cstddef>
#include <optional>
#include <string>

#include <sys/types.h>

#include "common/Result.h"

namespace quorvane {

// The bytes of a socket path that fit a local socket address (sun_path less its
// terminating NUL). Abstract socket names are never used.
inline constexpr std::size_t maxSocketPathLength = 107;

// What the folder choice depends on. current() reads XDG_RUNTIME_DIR and the
// real uid; tests build their own with private bases.
struct RuntimeEnvironment {
    std::optional<std::string> xdgRuntimeDir; // the variable's value when set
    uid_t uid = 0;
    std::string runUserBase = "/run/user";
    std::string tmpBase = "/tmp";

    [[nodiscard]] static RuntimeEnvironment current();
};

struct ServicePlaces {
    std::string directory;         // the private folder holding the agent socket and the lock
    std::string socketPath;        // <directory>/<service name>: the agent socket
    std::string lockPath;          // <directory>/<service name>.lock
    std::string controlDirectory;  // <directory>-control: the control socket's private folder
    std::string controlSocketPath; // <controlDirectory>/<service name>
};

enum class FolderUse {
    create,       // the host: create missing folders (mode 0700), then check them
    existingOnly, // clients: only check; a missing folder is an error
};

// Chooses and checks the folders for the service. Never throws; the error is
// a sentence for a person. An XDG_RUNTIME_DIR that is empty or not absolute
// counts as unset. A chosen folder that fails its check is refused (no
// fall-back to another place), so that a host and its clients never silently
// disagree. The control folder is created and checked only with
// FolderUse::create; a client of the control socket checks it before use.
[[nodiscard]] Result<ServicePlaces> resolveServicePlaces(const RuntimeEnvironment& environment,
                                                         FolderUse use);

// Checks one folder with lstat: exists, is a directory and not a symbolic link,
// belongs to `uid`, has no group or other bits. Fails with the reason.
[[nodiscard]] Result<void> checkPrivateFolder(const std::string& path, uid_t uid);

} // namespace quorvane
