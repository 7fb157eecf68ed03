#!/usr/bin/env bash
# Installs the Debian packages that building and testing Quorvane needs.
# Idempotent and non-interactive; installs only what is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    nlohmann-json3-dev libsqlite3-dev sqlite3 libssl-dev uuid-dev libutf8proc-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libgl-dev fonts-dejavu-core
    clang-format
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
