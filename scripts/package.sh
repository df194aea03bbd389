#!/usr/bin/env bash
# Builds the Debian package build/cartaluz_VERSION_amd64.deb from this checkout (installing what is
# missing, as scripts/build.sh does), then checks it: lintian must find no error, and the menu
# entry and the AppStream metadata, unpacked as installed, must pass their validators.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh lintian desktop-file-utils appstream
scripts/build.sh
rm -f build/cartaluz_*.deb
(cd build && cpack)
deb=$(ls build/cartaluz_*.deb)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
echo "== lintian"
lintian --fail-on error --display-info "$deb"
echo "== desktop-file-validate"
desktop-file-validate "$root"/usr/share/applications/*.desktop
echo "== appstreamcli validate"
appstreamcli validate-tree --no-net "$root"
echo "Paquete listo: $deb"
