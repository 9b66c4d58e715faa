#!/usr/bin/env bash
# Installs everything the builds, tests and the simulated-head demo need on Debian (as root).
set -euo pipefail

packages=(
    build-essential cmake ninja-build
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
    # SHA-256 of the images in ptz-upgrade's fleet report (Windows uses its own bcrypt.dll).
    libgcrypt20-dev
    clang-format clang-tidy
    # The fuzz targets (scripts/fuzz.sh): clang and its libFuzzer and sanitizer runtimes.
    clang libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix
    wine wine64
    # The window program under Wine: a virtual display, Chinese fonts, Wine's own fonts and
    # screenshots (tests/wine/run-ui-tests.sh).
    xvfb fonts-wqy-microhei fonts-wqy-zenhei fonts-wine imagemagick
    help2man lintian unzip file
    # Network serial ports: a real serial server in front of ptz-headsim (rfc2217://, socket://).
    ser2net
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
        || missing+=("$package")
done
if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: these Debian packages are missing: ${missing[*]}" >&2
    echo "install-deps: run this script as root (or with sudo) to install them" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
