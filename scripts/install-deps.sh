#!/usr/bin/env bash
# Installs the Debian packages docscan needs to build, test and run its
# virtual scanner. Installs only what is missing; needs root (or sudo).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libusb-1.0-0-dev
  umockdev libumockdev-dev
  libglib2.0-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libpng-dev libtiff-dev zlib1g-dev libjpeg62-turbo-dev libqpdf-dev
  poppler-utils qpdf
  libsane-dev sane-utils libsane1
  clang libclang-rt-14-dev
  dpkg-dev lintian man-db
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

echo "docscan: installing ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
