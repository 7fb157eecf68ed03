#!/usr/bin/env bash
# Fails when a tracked C++ file differs from .clang-format.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
mapfile -t files < <(git ls-files '*.h' '*.cpp')
[ ${#files[@]} -eq 0 ] && exit 0
clang-format --dry-run --Werror "${files[@]}"
