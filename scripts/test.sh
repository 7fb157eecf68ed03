#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
cd "$root/build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 300
