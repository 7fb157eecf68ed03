#!/usr/bin/env bash
# Renders each tab of the operator app's main window, populated with a made-up
# ledger, to PNG files for visual review (not a test). Offscreen: needs no
# display and no host.
# Usage: scripts/render-screenshots.sh [output folder] (default: build-screenshots/shots)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVANE_SCREENSHOT_BUILD:-$root/build-screenshots}"
out="${1:-$build/shots}"
cmake -S "$root" -B "$build" -G Ninja -DQUORVANE_BUILD_APP=ON >/dev/null
cmake --build "$build" --target quorvane_render_screenshots --parallel "$(nproc)"
QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" "$build/app/ui/quorvane_render_screenshots" "$out"
