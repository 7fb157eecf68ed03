#!/usr/bin/env bash
# Installs what is missing and builds Quorvane.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
echo "Quorvane is built in $root/build. The host and bridge programs are not part of this build yet."
