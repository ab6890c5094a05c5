#!/usr/bin/env bash
# Builds docscan and scans the built-in test chart from the virtual scanner.
#   scripts/scan-demo.sh [output file] [extra docscan scan options...]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-scan.png}"
shift || true
bash scripts/build.sh default
./build/tools/docscan scan --virtual --mode Color --resolution 150 -o "$out" "$@"
echo "wrote $out"
