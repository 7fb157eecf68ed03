#!/usr/bin/env bash
# Installs the Debian packages that building and testing Quorvane needs.
# Idempotent and non-interactive; installs only what is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    nlohmann-json3-dev libsqlite3-dev sqlite3 libssl-dev uuid-dev libutf8proc-dev
    libcli11-dev scdoc # quorvanectl's argument parsing and its manual page
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libgl-dev fonts-dejavu-core fonts-noto-color-emoji
    clang clang-format
    libclang-rt-14-dev
    bubblewrap # quorvane-sandbox and its confinement tests
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

# Node.js and npm for the MCP client tests (tests/mcp). Debian 12's own
# nodejs (18) and npm (9) are enough for the SDK and inspector suites; the
# conformance suite needs Node 20 and is skipped on older ones. A node that
# is already there (for example from another repository, which brings its own
# npm) is kept: Debian's npm package would conflict with it.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo_cmd=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The pinned MCP client packages, installed again only when the lockfile changed.
mcp="$(cd "$(dirname "$0")/.." && pwd)/tests/mcp"
stamp="$mcp/node_modules/.quorvane-lock-sha256"
want="$(sha256sum "$mcp/package-lock.json" | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    echo "setup: installing the MCP client packages (npm ci in tests/mcp)"
    if (cd "$mcp" && npm ci --no-audit --no-fund --loglevel=error); then
        echo "$want" >"$stamp"
    elif [ "${CI:-}" = "true" ]; then
        echo "setup: npm ci failed" >&2
        exit 1
    else
        echo "setup: npm ci failed; the MCP client tests will be skipped" >&2
    fi
fi
