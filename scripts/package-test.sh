#!/usr/bin/env bash
# Checks the two Debian packages end to end on this machine: builds them and
# checks their contents; installs quorvane-headless alone and, with every Qt
# library hidden, lets an agent's first call start the host through
# quorvanectl and be answered, credits the agent with quorvanectl and finds the
# credit in its history, and backs the ledger up with quorvanectl; then
# installs the desktop package quorvane, starts the installed app (which
# registers and starts the host) and serves one MCP session through the
# installed bridge; removes both and checks that nothing of them is left.
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
for name in quorvane quorvane-headless; do
    if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "ok installed"; then
        fail "the package $name is already installed here; remove it first (dpkg -r quorvane quorvane-headless)"
    fi
done

# ---- Build the package ----------------------------------------------------------
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --parallel "$(nproc)" --target quorvane quorvane-host quorvane-bridge quorvanectl \
    quorvane-sandbox
if [ -n "$(cmake -L -N "$build" 2>/dev/null | grep '^QUORVANE_SCDOC:FILEPATH=/')" ]; then
    cmake --build "$build" --target quorvanectl_man
fi
rm -f "$package_dir"/quorvane*.deb
(cd "$build" && cpack -G DEB -B "$package_dir" >/dev/null)
headless_deb="$(ls "$package_dir"/quorvane-headless_*.deb)"
desktop_deb="$(ls "$package_dir"/quorvane_*.deb)"
say "built $(basename "$headless_deb") and $(basename "$desktop_deb")"

check_contents() { # deb, then the paths it must hold
    local deb="$1" contents
    shift
    contents="$(dpkg-deb -c "$deb" | awk '{print $6}')"
    for path in "$@"; do
        grep -qx "$path" <<<"$contents" || fail "$(basename "$deb") lacks $path"
    done
}
check_contents "$headless_deb" ./usr/lib/quorvane/quorvane-host ./usr/lib/quorvane/quorvane-bridge \
    ./usr/lib/quorvane/quorvanectl ./usr/bin/quorvane-bridge ./usr/bin/quorvanectl \
    ./usr/share/bash-completion/completions/quorvanectl ./usr/share/doc/quorvane/OPERATOR.md
if command -v scdoc >/dev/null 2>&1; then
    check_contents "$headless_deb" ./usr/share/man/man1/quorvanectl.1
fi
check_contents "$desktop_deb" ./usr/lib/quorvane/quorvane ./usr/bin/quorvane \
    ./usr/share/applications/com.zentrafell.quorvane.desktop \
    ./usr/share/icons/hicolor/scalable/apps/com.zentrafell.quorvane.svg
if dpkg-deb -c "$headless_deb" | awk '{print $6}' | grep -q '/quorvane$'; then
    fail "the headless package holds the app"
fi
headless_depends="$(dpkg-deb -f "$headless_deb" Depends)"
if grep -qi 'qt' <<<"$headless_depends"; then
    fail "the headless package depends on Qt: $headless_depends"
fi
dpkg-deb -f "$desktop_deb" Depends | grep -q 'quorvane-headless (= ' ||
    fail "the desktop package does not depend on the headless one of its version"

# ---- Install the headless package alone -------------------------------------
installed=""
cleanup() {
    if [ -n "$installed" ]; then
        dpkg -r quorvane quorvane-headless >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT
dpkg -i "$headless_deb" >/dev/null
installed=yes
say "installed quorvane-headless alone"
for program in "$programs"/*; do
    if ldd "$program" 2>/dev/null | grep -qi 'libQt'; then
        fail "$program links Qt"
    fi
done

# Runs one session script in private mount and process namespaces.
run_session() { # script text
    local session
    session="$(mktemp)"
    printf '%s' "$1" >"$session"
    unshare --mount --pid --fork --kill-child --mount-proc sh "$session" || {
        rm -f "$session"
        fail "the session check failed"
    }
    rm -f "$session"
}

prelude="$(cat <<'PRELUDE'
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

PRELUDE
)"

# ---- A headless machine's first session: no Qt library to be found ---------------
run_session "$prelude
$(cat <<'SESSION'
# Every Qt library is hidden: a program that needed one could not start.
for library in /usr/lib/*/libQt6*.so* /usr/lib/libQt6*.so*; do
    if [ -e "$library" ]; then
        mount --bind /dev/null "$library"
    fi
done
[ ! -e /usr/bin/quorvane ] || fail "the app is installed"

# The agent's first call: the bridge finds no host and no app, so quorvanectl
# beside it registers and starts the host.
printf '%s\n%s\n' \
    '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"headless-agent","version":"1.0"}}}' \
    '{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"getBalance","arguments":{}}}' |
    agent_env /usr/bin/quorvane-bridge >"$home/session.out" 2>"$home/session.err" ||
    fail "the bridge ended with an error: $(cat "$home/session.err")"
grep -q '"id":2,"jsonrpc":"2.0","result":{"content"' "$home/session.out" ||
    fail "the first call was not answered: $(cat "$home/session.out") $(cat "$home/session.err")"
echo "package-test: with the headless package alone, an agent's first call started the host and was answered"
[ -f "$home/.config/autostart/com.zentrafell.quorvane.host.desktop" ] ||
    [ -f "$home/.config/systemd/user/com.zentrafell.quorvane.host.service" ] ||
    fail "the host was not registered for the next login"

# The operator, without any display.
agent_env /usr/bin/quorvanectl status >"$home/status.out" 2>&1 || fail "quorvanectl status: $(cat "$home/status.out")"
agent_env /usr/bin/quorvanectl credit headless-agent 250 --memo "first credit from a shell" --bonus >/dev/null ||
    fail "quorvanectl credit failed"
agent_env /usr/bin/quorvanectl history headless-agent >"$home/history.out" 2>&1 ||
    fail "quorvanectl history: $(cat "$home/history.out")"
grep -q "first credit from a shell" "$home/history.out" || fail "the credit is not in the history: $(cat "$home/history.out")"
grep -q "+250" "$home/history.out" || fail "the history lacks the amount: $(cat "$home/history.out")"
echo "package-test: the operator credited the agent and saw it in quorvanectl history"

# A backup through the host; the sqlite3 recipe of the guide as well, when there.
agent_env /usr/bin/quorvanectl backup "$home/backup.sqlite" >/dev/null || fail "quorvanectl backup failed"
[ "$(stat -c %a "$home/backup.sqlite")" = "600" ] || fail "the backup is not private"
! agent_env /usr/bin/quorvanectl backup "$home/backup.sqlite" 2>/dev/null || fail "a backup overwrote a file"
if command -v sqlite3 >/dev/null 2>&1; then
    [ "$(sqlite3 "$home/backup.sqlite" 'PRAGMA integrity_check;')" = "ok" ] || fail "the backup is damaged"
    [ "$(sqlite3 "$home/backup.sqlite" 'SELECT count(*) FROM account;')" = "1" ] ||
        fail "the backup lacks the session's account"
    ledger="$home/.local/share/Quorvane/ledger.sqlite"
    sqlite3 "$ledger" ".backup '$home/recipe.sqlite'"
    [ "$(sqlite3 "$home/recipe.sqlite" 'PRAGMA integrity_check;')" = "ok" ] || fail "the recipe's backup is damaged"
fi
echo "package-test: quorvanectl backup made a whole, private copy of the live ledger"

host="$(running_host)" || fail "no installed host is running"
kill -TERM "$host"
for _ in $(seq 1 200); do
    kill -0 "$host" 2>/dev/null || break
    sleep 0.05
done
! kill -0 "$host" 2>/dev/null || fail "the host did not end on SIGTERM"
SESSION
)"

# ---- Add the desktop package ------------------------------------------------------
dpkg -i "$desktop_deb" >/dev/null
say "installed quorvane beside it"
files_before_removal="$(dpkg -L quorvane quorvane-headless)"
if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate /usr/share/applications/com.zentrafell.quorvane.desktop ||
        fail "the desktop entry does not validate"
fi

run_session "$prelude
$(cat <<'SESSION'
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
)"

# ---- Remove -------------------------------------------------------------------------
dpkg -r quorvane >/dev/null
dpkg -r quorvane-headless >/dev/null
installed=""
for name in quorvane quorvane-headless; do
    status="$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)"
    case "$status" in
    "" | *" not-installed") ;;
    *) fail "dpkg still knows $name as: $status" ;;
    esac
done
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
