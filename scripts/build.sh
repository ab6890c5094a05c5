#!/usr/bin/env bash
# Configures and builds one preset: default | asan | tsan | fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
bash scripts/install-deps.sh
# CI builds with warnings as errors.
werror=()
if [ -n "${CI:-}" ]; then
  werror=(-DDOCSCAN_WERROR=ON)
fi
cmake --preset "$preset" "${werror[@]}" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
