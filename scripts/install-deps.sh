#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the benchmarks need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
    build-essential cmake ninja-build pkg-config git clang clang-format libclang-rt-14-dev \
    qtbase5-dev qtbase5-dev-tools libqt5svg5-dev \
    libzip-dev libexpat1-dev zlib1g-dev libisal-dev libgumbo-dev libssl-dev \
    libgtest-dev libgmock-dev \
    xvfb xauth fonts-wqy-microhei qttranslations5-l10n \
    python3 python3-openpyxl python3-xlrd python3-xlsxwriter python3-msoffcrypto-tool libxml2-utils xsltproc \
    dpkg-dev file man-db desktop-file-utils appstream lintian xdotool xclip \
    libreoffice-calc-nogui
