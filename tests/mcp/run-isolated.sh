#!/bin/sh
# Runs one MCP client suite (the arguments: a node command line) against the
# real programs, started as MCP clients start them: with only HOME, LOGNAME,
# PATH, SHELL, TERM and USER. Such a bridge finds the host's socket through
# /run/user/<uid> or /tmp/quorvane-<uid>, places that every program of this
# user shares. So the suite runs, where the system allows it, in private mount
# and process namespaces with an empty tmpfs on /run/user holding only our own
# /run/user/<uid>: no other host can be met there, and every process the suite
# leaves behind ends with it. Where that is not allowed, it runs in the shared
# place, but only when no host answers there.
#
#   run-isolated.sh [--node-major N] NODE-COMMAND...
#
# Needs QUORVANE_HOST, QUORVANE_BRIDGE and QUORVANE_OPERATOR (the programs).
# Exit status 77: skipped (no node, or one older than N; no installed
# packages; or the shared place busy).
set -eu

here="$(cd "$(dirname "$0")" && pwd)"
skip=77

if [ -z "${QUORVANE_MCP_INSIDE:-}" ]; then
    if ! command -v node >/dev/null 2>&1; then
        echo "SKIP: node is not installed (scripts/setup.sh installs it)"
        exit $skip
    fi
    if [ "${1:-}" = "--node-major" ]; then
        have="$(node -p 'process.versions.node.split(".")[0]')"
        if [ "$have" -lt "$2" ]; then
            echo "SKIP: this suite needs Node $2 or later; node is $(node --version)"
            exit $skip
        fi
        shift 2
    fi
    if [ ! -f "$here/node_modules/@modelcontextprotocol/sdk/package.json" ]; then
        echo "SKIP: the MCP client packages are not installed (run: npm ci --prefix $here)"
        exit $skip
    fi
    for program in "$QUORVANE_HOST" "$QUORVANE_BRIDGE" "$QUORVANE_OPERATOR"; do
        if [ ! -x "$program" ]; then
            echo "missing program: $program" >&2
            exit 1
        fi
    done

    # Private namespaces: as root directly, otherwise in a user namespace of our own.
    isolate=""
    if [ -d /run/user ] && command -v unshare >/dev/null 2>&1; then
        for flags in "--mount --pid --fork --kill-child --mount-proc" \
            "--user --map-root-user --mount --pid --fork --kill-child --mount-proc"; do
            # shellcheck disable=SC2086 # the flags are words
            if unshare $flags sh -c 'mount -t tmpfs -o mode=0755 quorvane-test /run/user' >/dev/null 2>&1; then
                isolate="$flags"
                break
            fi
        done
    fi
    if [ -n "$isolate" ]; then
        # shellcheck disable=SC2086
        QUORVANE_MCP_INSIDE=isolated exec unshare $isolate sh "$0" "$@"
    fi

    # Shared place: refuse to disturb a host that already serves this user there.
    if env -i HOME="${TMPDIR:-/tmp}" PATH="${PATH:-/usr/bin:/bin}" \
        "$QUORVANE_OPERATOR" '{"snapshot":{}}' >/dev/null 2>&1; then
        echo "SKIP: a Quorvane host already serves this user at the shared runtime place; not disturbing it"
        exit $skip
    fi
    echo "runtime place: the user's shared one (private namespaces are not available here)"
    export QUORVANE_MCP_INSIDE=shared
    cd "$here"
    exec "$@"
fi

# Inside the namespaces: our own /run/user, with only our own private folder in it.
mount -t tmpfs -o mode=0755 quorvane-test /run/user
uid="$(id -u)"
mkdir -m 0700 "/run/user/$uid"
echo "runtime place: /run/user/$uid in private mount and process namespaces"
cd "$here"
"$@"
