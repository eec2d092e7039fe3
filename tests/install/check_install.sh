#!/bin/sh
# Installs the build into a temporary prefix and checks each piece with the
# tool made for it: the launcher, the file type (by name and by magic), the
# manual pages and the thumbnailer entry.   check_install.sh BUILD_DIR
set -eu
p=$(mktemp -d)
trap 'rm -rf "$p"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cmake --install "$1" --prefix "$p" >/dev/null
desktop-file-validate "$p/share/applications/cinepane.desktop"
grep -q '^MimeType=video/x-komu;$' "$p/share/applications/cinepane.desktop" || fail "launcher type"
xmllint --noout "$p/share/mime/packages/cinepane.xml"
XDG_DATA_DIRS="$p/share" update-mime-database "$p/share/mime"
for page in cinepane komu; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$p/share/man/man1/$page.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $page: $warnings"
done
"$p/bin/komu" demo -o "$p/clip"  # no extension: only the magic can name it
cp "$p/clip" "$p/clip.komu"
printf 'not a video' >"$p/other.komu"
for f in clip clip.komu other.komu; do
    type=$(XDG_CURRENT_DESKTOP=GNOME XDG_DATA_DIRS="$p/share:/usr/share" xdg-mime query filetype "$p/$f")
    [ "$type" = video/x-komu ] || fail "xdg-mime says $f is $type"
done
# The thumbnailer's command line, as a file manager fills it in.
exec_line=$(sed -n 's/^Exec=//p' "$p/share/thumbnailers/komu.thumbnailer")
command=$(echo "$exec_line" | sed "s|%s|128|; s|%i|$p/clip|; s|%o|$p/thumb.png|")
PATH="$p/bin:$PATH" sh -c "$command"
[ "$(head -c 8 "$p/thumb.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "no PNG"
echo "install check passed"
