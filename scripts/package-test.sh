#!/usr/bin/env bash
# Checks the Debian package end to end on this machine: builds it, installs it
# with dpkg, starts the installed app (which registers and starts the host),
# serves one MCP session through the installed bridge (initialize, then
# getBalance), backs the ledger up the way docs/OPERATOR.md says, removes the
# package and checks that nothing of it is left behind.
#
# Usage: scripts/package-test.sh [build-folder]     (default: build)
# The folder is configured and built when needed. Needs root (dpkg) and node
# (to read the session's replies). The session runs in private mount and
# process namespaces with its own /run/user and a private HOME: it never meets
# a host that serves a real user, and every process it starts ends with it.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
package_dir="$build/package"
programs=/usr/lib/quorvane

say() { echo "package-test: $*"; }
fail() {
    echo "package-test: FAILED: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root for dpkg"
command -v node >/dev/null 2>&1 || fail "needs node (scripts/setup.sh installs it)"
command -v unshare >/dev/null 2>&1 || fail "needs unshare (util-linux)"
if dpkg-query -W -f='${Status}' quorvane 2>/dev/null | grep -q "ok installed"; then
    fail "a quorvane package is already installed here; remove it first (dpkg -r quorvane)"
fi

# ---- Build the package ----------------------------------------------------------
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --parallel "$(nproc)" --target quorvane quorvane-host quorvane-bridge
rm -f "$package_dir"/quorvane_*.deb
(cd "$build" && cpack -G DEB -B "$package_dir" >/dev/null)
deb="$(ls "$package_dir"/quorvane_*.deb)"
say "built $(basename "$deb")"

contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
for path in ./usr/lib/quorvane/quorvane ./usr/lib/quorvane/quorvane-host ./usr/lib/quorvane/quorvane-bridge \
    ./usr/bin/quorvane ./usr/bin/quorvane-bridge ./usr/share/applications/com.zentrafell.quorvane.desktop \
    ./usr/share/icons/hicolor/scalable/apps/com.zentrafell.quorvane.svg ./usr/share/doc/quorvane/OPERATOR.md; do
    grep -qx "$path" <<<"$contents" || fail "the package lacks $path"
done

# ---- Install --------------------------------------------------------------------
installed=""
cleanup() {
    if [ -n "$installed" ]; then
        dpkg -r quorvane >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT
dpkg -i "$deb" >/dev/null
installed=yes
files_before_removal="$(dpkg -L quorvane)"
say "installed"
if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate /usr/share/applications/com.zentrafell.quorvane.desktop ||
        fail "the desktop entry does not validate"
fi

# ---- One user's first session, in private namespaces ----------------------------
session="$(mktemp)"
cat >"$session" <<'SESSION'
set -eu
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }
programs=/usr/lib/quorvane
mount -t tmpfs -o mode=0755 quorvane-package-test /run/user
mkdir -m 0700 /run/user/0
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
# What an MCP client passes to the programs it starts.
agent_env() { env -i HOME="$home" LOGNAME=root USER=root PATH=/usr/bin:/bin SHELL=/bin/sh TERM=dumb "$@"; }
socket=/run/user/0/quorvane/K7QW2ZR5VD.com.zentrafell.quorvane.host

running_host() {
    for p in /proc/[0-9]*; do
        if [ "$(readlink "$p/exe" 2>/dev/null)" = "$programs/quorvane-host" ]; then
            echo "${p#/proc/}"
            return 0
        fi
    done
    return 1
}

# The app, started without a display: its window registers the host.
agent_env QT_QPA_PLATFORM=offscreen /usr/bin/quorvane >"$home/app.log" 2>&1 &
app=$!
for _ in $(seq 1 300); do
    [ -S "$socket" ] && break
    kill -0 "$app" 2>/dev/null || break
    sleep 0.05
done
if kill -0 "$app" 2>/dev/null; then
    kill -TERM "$app"
    { wait "$app"; } 2>/dev/null || true
    [ -S "$socket" ] || fail "the app did not start the host: $(cat "$home/app.log")"
    echo "package-test: the app registered and started the host"
else
    # A build without the window: the bridge starts the host through the app's
    # headless registration instead.
    wait "$app" || true
    echo "package-test: the app has no window in this build: $(cat "$home/app.log")"
fi

# The session, through the installed link, as an MCP client starts it.
printf '%s\n%s\n' \
    '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"package-test","version":"1.0"}}}' \
    '{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"getBalance","arguments":{}}}' |
    agent_env /usr/bin/quorvane-bridge >"$home/session.out" 2>"$home/session.err" ||
    fail "the bridge ended with an error: $(cat "$home/session.err")"
node - "$home/session.out" <<'CHECK' || fail "unexpected replies: $(cat "$home/session.out")"
const fs = require('node:fs');
const lines = fs.readFileSync(process.argv[2], 'utf8').split('\n').filter((l) => l !== '');
const [init, balance] = lines.map((l) => JSON.parse(l));
const ok = lines.length === 2 &&
    init.id === 1 && init.result.protocolVersion === '2025-06-18' && init.result.serverInfo.name === 'quorvane' &&
    balance.id === 2 && balance.result.isError === undefined &&
    /^[0-9A-F-]{36}$/.test(balance.result.structuredContent.accountId) &&
    Number.isInteger(balance.result.structuredContent.balance) &&
    JSON.stringify(JSON.parse(balance.result.content[0].text)) === JSON.stringify(balance.result.structuredContent);
process.exit(ok ? 0 : 1);
CHECK
echo "package-test: a session through the installed bridge answered getBalance"

[ -f "$home/.config/autostart/com.zentrafell.quorvane.host.desktop" ] ||
    [ -f "$home/.config/systemd/user/com.zentrafell.quorvane.host.service" ] ||
    fail "the host was not registered for the next login"
grep -q "$programs/quorvane-host" "$home"/.config/autostart/*.desktop "$home"/.config/systemd/user/*.service \
    2>/dev/null || fail "the registration does not start the installed host"

# The backup recipe of the operator's guide, on the live ledger.
ledger="$home/.local/share/Quorvane/ledger.sqlite"
[ -f "$ledger" ] || fail "no ledger at $ledger"
if command -v sqlite3 >/dev/null 2>&1; then
    sqlite3 "$ledger" ".backup '$home/backup.sqlite'"
    [ "$(sqlite3 "$home/backup.sqlite" 'PRAGMA integrity_check;')" = "ok" ] || fail "the backup is damaged"
    [ "$(sqlite3 "$home/backup.sqlite" 'SELECT count(*) FROM account;')" = "1" ] ||
        fail "the backup lacks the session's account"
    echo "package-test: the online backup of the live ledger is whole"
fi

host="$(running_host)" || fail "no installed host is running"
kill -TERM "$host"
for _ in $(seq 1 200); do
    kill -0 "$host" 2>/dev/null || break
    sleep 0.05
done
! kill -0 "$host" 2>/dev/null || fail "the host did not end on SIGTERM"
SESSION
unshare --mount --pid --fork --kill-child --mount-proc sh "$session" || {
    rm -f "$session"
    fail "the session check failed"
}
rm -f "$session"

# ---- Remove ---------------------------------------------------------------------
dpkg -r quorvane >/dev/null
installed=""
status="$(dpkg-query -W -f='${Status}' quorvane 2>/dev/null || true)"
case "$status" in
"" | *" not-installed") ;;
*) fail "dpkg still knows quorvane as: $status" ;;
esac
while IFS= read -r path; do
    if [ -n "$path" ] && [ ! -d "$path" ] && { [ -e "$path" ] || [ -L "$path" ]; }; then
        fail "left behind: $path"
    fi
done <<<"$files_before_removal"
for folder in "$programs" /usr/share/doc/quorvane; do
    [ ! -e "$folder" ] || fail "left behind: $folder"
done
for p in /proc/[0-9]*; do
    case "$(readlink "$p/exe" 2>/dev/null)" in
    "$programs"/*) fail "a program of the package still runs: pid ${p#/proc/}" ;;
    esac
done
say "removed cleanly"
say "passed"
