#pragma once

// Shared pieces of the transport tests: private runtime folders, raw sockets
// and the peer programs. Folders, child processes, waiting and identity
// readers come from the shared test support (tests/support).

#include <cstdint>
#include <string>

#include "common/ControlProtocol.h"
#include "common/transport/Frame.h"
#include "common/transport/ProgramIdentity.h"
#include "common/transport/RuntimePlaces.h"
#include "tests/support/Child.h"
#include "tests/support/ServiceClient.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace quorvane::test {

// A private runtime folder with room for the deepest layout the tests build
// inside it ("<dir>/run-user/<uid>/quorvane/<service name>").
[[nodiscard]] TempDir runtimeFolder();

// A blocking local socket connected to `path`, with a receive time-out of guardTimeout
// so that a missing close fails the test instead of hanging it. -1 on failure.
[[nodiscard]] int connectRaw(const std::string& path);

// Reads until the peer closes or guardTimeout passes. True when it closed and, unless
// data is allowed, nothing arrived before.
[[nodiscard]] bool readsUntilClosed(int fd, bool dataAllowed = false);

// The header bytes of a frame with the given fields and announced length.
[[nodiscard]] std::string rawHeader(std::uint32_t length, std::uint8_t kind, std::uint8_t operation,
                                    std::uint8_t flags, std::uint8_t version, std::uint64_t callId);

// The folder of the peer test programs (transport_peer_host and friends).
[[nodiscard]] std::string peerProgram(const std::string& flavour);

} // namespace quorvane::test
