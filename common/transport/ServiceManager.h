#pragma once

// Telling the user's service manager that the host is ready.
//
// A host started as a systemd user service of Type=notify finds the manager's
// datagram socket in NOTIFY_SOCKET; the manager then counts the start as done
// only once the host says it serves, so `systemctl --user start` (and with it
// a registration) returns when connections are accepted, not when the program
// was merely started. Without NOTIFY_SOCKET nothing is sent.

#include <string>

#include "common/Result.h"

namespace quorvane {

// Sends "READY=1" to the socket NOTIFY_SOCKET names (a path, or an abstract
// name written with a leading '@'), then removes NOTIFY_SOCKET from the
// environment so that nothing started later writes to it. Succeeds without
// sending when the variable is unset or empty; fails with the reason when the
// name is unusable or the datagram cannot be sent. Call from one thread, while
// no other thread reads the environment.
[[nodiscard]] Result<void> notifyServiceManagerReady();

} // namespace quorvane
