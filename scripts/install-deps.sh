#!/usr/bin/env bash
# Installs, only when missing, the Debian packages that the build, the program and the tests need,
# and any further packages named as arguments.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    clang libfuzzer-14-dev libclang-rt-14-dev
    qt6-base-dev qt6-image-formats-plugins qt6-translations-l10n
    libexiv2-dev libheif-dev libheif-examples
    libjpeg62-turbo-dev libturbojpeg0-dev libjpeg-turbo-progs libssl-dev
    libgdal-dev libtiff-dev gdal-bin python3-matplotlib
    libcairo2-dev libminizip-dev poppler-utils
    libfontconfig-dev fonts-noto-core
    python3 help2man dpkg-dev file bash-completion
    xvfb xauth imagemagick
    libimage-exiftool-perl gpsbabel
    libgeographiclib-dev geographiclib-tools libproj-dev proj-bin
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Instalando paquetes: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
