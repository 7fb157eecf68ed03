#!/usr/bin/env bash
# Installs what is missing, builds Quorvane and starts it.
#
# With a display: starts the operator app, which registers the host for this
# user (systemd user unit, or an XDG autostart entry and a detached start) and
# shows the ledger. Without one: registers and starts the host, and prints the
# MCP client configuration for the bridge and a line that checks it.
#
# QUORVANE_SKIP_SETUP=1 skips installing and building (the build must exist).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${QUORVANE_SKIP_SETUP:-}" != 1 ]; then
    "$root/scripts/setup.sh"
    "$root/scripts/build.sh" "$root/build"
fi

# The build puts the three programs side by side, as an installation does.
bin="$root/build/bin"
app="$bin/quorvane"
bridge="$bin/quorvane-bridge"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$app"
fi

status=0
"$app" --register-and-exit || status=$?
case "$status" in
0) echo "The Quorvane host is registered and running." ;;
2)
    echo "The Quorvane host needs your approval to start (its autostart is masked or switched off);"
    echo "the line above says how to allow it, then run this command again."
    ;;
*)
    echo "The Quorvane host could not be registered or started (status $status); the line above says why."
    ;;
esac
[ "$status" -eq 0 ] || exit "$status"

cat <<MSG

No display was found, so the operator app was not opened. To connect an MCP
client, add this server to its configuration:

{
  "mcpServers": {
    "quorvane": { "command": "$bridge" }
  }
}

To check it from this shell (the answer is one line with "jsonrpc"):

  printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"ping"}' | "$bridge"

More in docs/OPERATOR.md.
MSG
