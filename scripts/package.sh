#!/usr/bin/env bash
# Builds the Debian package docscan_<version>_<arch>.deb (installed layout
# under /usr, configuration in /etc/sane.d) in build-package/ and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
werror=()
if [ -n "${CI:-}" ]; then
  werror=(-DDOCSCAN_WERROR=ON)
fi
cmake --preset package "${werror[@]}" >/dev/null
cmake --build --preset package -j "$(nproc)" >/dev/null
rm -f build-package/docscan_*.deb
(cd build-package && cpack -G DEB >/dev/null)
ls "$PWD"/build-package/docscan_*.deb
