#!/usr/bin/env bash
# Installs what is missing, builds Quorvane and starts it.
#
# With a display: starts the operator app, which registers the host for this
# user (systemd user unit, or an XDG autostart entry and a detached start) and
# shows the ledger. Without one: registers and starts the host, and prints how
# to connect an MCP client through the bridge.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"

app="$root/build/app/quorvane"
bridge="$root/build/bridge/quorvane-bridge"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$app"
fi

status=0
"$app" --register-and-exit || status=$?
case "$status" in
0) echo "The Quorvane host is registered and running." ;;
2) echo "The Quorvane host needs your approval to start (its autostart is masked or switched off)." ;;
*) echo "The Quorvane host could not be registered or started (status $status)." ;;
esac
cat <<MSG

No display was found, so the operator app was not opened. To connect an MCP
client, add this server to its configuration:

{
  "mcpServers": {
    "quorvane": { "command": "$bridge" }
  }
}

More in docs/OPERATOR.md.
MSG
exit "$status"
