#!/usr/bin/env bash
# The newcomer's path, checked: the run command's headless path (set-up and
# build skipped; the build must exist) in a private home with no host running,
# then the official MCP SDK client starts the exact bridge command the run
# command printed and reads a balance. The host it started is stopped at the end.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
home="$(mktemp -d /tmp/quorvane-first-run.XXXXXX)"
host="$root/build/bin/quorvane-host"

stop_host() {
    pkill -TERM -f "^$host" 2>/dev/null || true
    for _ in $(seq 100); do
        pgrep -f "^$host" >/dev/null || break
        sleep 0.1
    done
    rm -rf "$home"
}
trap stop_host EXIT

if pgrep -f "^$host" >/dev/null; then
    echo "first-run check: a host of this build is already running" >&2
    exit 1
fi

# A login shell's environment with nothing of ours in it and no display.
clean=(env -i "HOME=$home" "PATH=/usr/local/bin:/usr/bin:/bin" "USER=$(id -un)" "LOGNAME=$(id -un)"
    "SHELL=/bin/sh" "TERM=dumb" "QUORVANE_SKIP_SETUP=1")
output="$("${clean[@]}" "$root/scripts/run.sh")"
echo "$output"

command="$(printf '%s\n' "$output" | sed -n 's/.*"command": "\([^"]*\)".*/\1/p' | head -n 1)"
if [ -z "$command" ]; then
    echo "first-run check: the run command printed no bridge command" >&2
    exit 1
fi
"${clean[@]}" node "$root/tests/mcp/first-run-check.mjs" "$command"
