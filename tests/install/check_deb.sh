#!/bin/sh
# Builds the Debian package from BUILD_DIR, installs it with apt-get, runs
# both programs from it and removes it again. Needs root (CI runs as root).
#   check_deb.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/cinepane_*.deb)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
trap '$sudo env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq cinepane >/dev/null' EXIT
work=$(mktemp -d)
/usr/bin/cinepane --version
/usr/bin/komu demo -o "$work/demo.komu"
/usr/bin/komu info "$work/demo.komu" >/dev/null
for f in /usr/share/man/man1/cinepane.1 /usr/share/mime/packages/cinepane.xml \
         /usr/share/applications/cinepane.desktop /usr/share/thumbnailers/komu.thumbnailer; do
    dpkg -S "$f" >/dev/null
done
rm -rf "$work"
echo "package check passed: $(basename "$deb")"
