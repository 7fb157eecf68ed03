// Links quorvanectl's identity into the binary that includes this object.
#include "common/transport/identity/IdentityNote.h"

namespace {
QUORVANE_DEFINE_IDENTITY_NOTE(quorvane::quorvaneCtlIdentifier);
} // namespace
