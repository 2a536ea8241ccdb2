#!/usr/bin/env bash
# Builds the Debian packages from the build folder ($1) and checks them (the
# three, or the alertserver package alone from a build of the server alone):
# lintian without errors, the desktop entries and the systemd unit valid,
# the file lists and relations as expected, the server's --help, and the
# client's launcher as an ordinary user (its private program folder, kept in
# step with the installed one across an upgrade). The packages stay in
# <build>/packages for the end-to-end test of the unpacked tree.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
packages=$build/packages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$packages"
started=$SECONDS
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
echo "cpack: $((SECONDS - started)) s"
made=()
for p in tarvex kestrup alertserver; do
    ls "$packages"/${p}_*.deb >/dev/null 2>&1 && made+=("$p")
done
has() { [[ " ${made[*]} " == *" $1 "* ]]; }
has alertserver || { echo "FAIL: no alertserver package"; exit 1; }
for p in "${made[@]}"; do
    deb=$(ls "$packages"/${p}_*.deb)
    echo "$p: $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
done

# lintian: errors fail; warnings are shown.
started=$SECONDS
lintian --fail-on error "$packages"/*.deb || fail "lintian reports errors"
echo "lintian: $((SECONDS - started)) s"

root=$work/root
for deb in "$packages"/*.deb; do dpkg-deb -x "$deb" "$root"; done

# File lists (directories left out), owners and relations.
for p in "${made[@]}"; do
    deb=$(ls "$packages"/${p}_*.deb)
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { l = $1 " " $6; if ($7 == "->") l = l " -> " $8; print l }' \
        | diff -u "$here/$p.files" - || fail "$p: file list differs"
    dpkg-deb -c "$deb" | awk '$2 != "root/root" { print }' | grep . && fail "$p: files not owned by root"
    # Every file in /etc is a conffile, so that an administrator's edit
    # survives upgrades.
    etc=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ && $6 ~ /^\.\/etc\// { print substr($6, 2) }' | sort)
    conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | sort)
    [ "$etc" = "$conffiles" ] || fail "$p: conffiles ($conffiles) are not its files in /etc ($etc)"
done
if has tarvex; then
    depends=$(dpkg-deb -f "$(ls "$packages"/tarvex_*.deb)" Depends)
    for d in libqt6webenginecore6-bin qt6-qpa-plugins 'pipewire-pulse | pulseaudio' libqt6webenginewidgets6 libqt6multimedia6; do
        grep -qF "$d" <<<"$depends" || fail "tarvex does not depend on $d"
    done
    dpkg-deb -f "$(ls "$packages"/kestrup_*.deb)" Depends | grep -q qt6-qpa-plugins || fail "kestrup lacks qt6-qpa-plugins"
    grep -q '<client>../../bin/tarvex</client>' "$root/etc/kestrup/setup.xml" \
        || fail "the wizard does not start the client through its launcher"
fi
# The server needs no display: Qt Core and the libraries of its store and
# TLS, nothing of Qt Gui or X11.
depends=$(dpkg-deb -f "$(ls "$packages"/alertserver_*.deb)" Depends)
echo "alertserver depends on: $depends"
for d in adduser libqt6core6 libssl3 libsqlite3-0 libpq5; do
    grep -qF "$d" <<<"$depends" || fail "alertserver lacks $d"
done
if grep -qE 'libqt6(gui|widgets|network|opengl|xml)|libx11|libxcb|libegl|libgl1|libfontconfig|libharfbuzz|qt6-qpa' <<<"$depends"; then
    fail "alertserver depends on display libraries: $depends"
fi

# The packaged settings: mail to the local relay, TLS ready to be switched on.
settings=$root/etc/default/alertserver
grep -qx 'MAIL="--mail smtp://127.0.0.1:25"' "$settings" || fail "the settings do not mail through the local relay"
grep -q '^#TLS="--tls-cert [^ ]* --tls-key [^ ]*"$' "$settings" || fail "the settings lack the commented TLS line"
grep -qx 'REGISTRATION="--registration approve"' "$settings" || fail "the settings do not ask the operator to approve registrations"
grep -q '^ExecStart=.* \$REGISTRATION ' "$root/lib/systemd/system/alertserver.service" || fail "the unit ignores REGISTRATION"

# Desktop entries: valid, and every one starts its program on X11.
for entry in $(has tarvex && ls "$root"/usr/share/applications/*.desktop "$root"/etc/xdg/autostart/*.desktop); do
    desktop-file-validate "$entry" || fail "$entry is not a valid desktop entry"
    grep -q '^Exec=env QT_QPA_PLATFORM=xcb ' "$entry" || fail "$entry does not start on X11"
done

# The unit: systemd-analyze verify reports problems as messages and still
# answers 0, so any output fails. It wants ExecStart's program to exist, so a
# copy of the unit names the unpacked one.
if command -v systemd-analyze >/dev/null; then
    mkdir -p "$work/unit"
    sed "s|/usr/bin/alertserver|$root/usr/bin/alertserver|" "$root/lib/systemd/system/alertserver.service" \
        >"$work/unit/alertserver.service"
    out=$(systemd-analyze verify "$work/unit/alertserver.service" 2>&1) || fail "systemd-analyze verify failed"
    [ -z "$out" ] || fail "systemd-analyze verify: $out"
    grep -q '^ExecStart=/usr/bin/alertserver serve ' "$root/lib/systemd/system/alertserver.service" \
        || fail "the unit does not start /usr/bin/alertserver serve"
else
    echo "skipped: systemd-analyze verify (no systemd here)"
fi

# alertserver --help and -h print the usage and succeed.
for h in --help -h; do
    out=$("$root/usr/bin/alertserver" $h) || fail "alertserver $h fails"
    grep -q '^usage:' <<<"$out" || fail "alertserver $h prints no usage"
done

if ! has tarvex; then
    [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
    echo "packages checked (the server alone)"
    exit 0
fi

# The launcher as an ordinary user, with a program that reports the folder it
# was started from, in a copy of the unpacked client whose files change as in
# an upgrade.
user=nobody
fake=$work/fake
mkdir -p "$fake/usr/bin" "$fake/usr/lib"
cp "$root/usr/bin/tarvex" "$fake/usr/bin/tarvex"
cp -a "$root/usr/lib/tarvex" "$fake/usr/lib/tarvex"
program() { printf '#!/bin/sh\n# %s\necho "$(dirname "$0")"\n' "$1" >"$fake/usr/lib/tarvex/tarvex"; }
program first
home=$work/home
mkdir -p "$home"
chmod 755 "$work"
chown -R "$user:" "$home"
launch() { setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups env -i HOME="$home" "$@" "$fake/usr/bin/tarvex"; }
own=$home/.local/share/tarvex
started=$SECONDS
[ "$(launch)" = "$own" ] || fail "the launcher does not run the program from $own"
[ -f "$own/tarvex" ] && [ ! -L "$own/tarvex" ] && cmp -s "$own/tarvex" "$fake/usr/lib/tarvex/tarvex" \
    || fail "the private program is not a copy of the installed one"
[ "$(readlink "$own/html/login.htm")" = "$fake/usr/lib/tarvex/html/login.htm" ] || fail "login.htm is not linked"
[ "$(readlink "$own/system.xml")" = "$fake/usr/lib/tarvex/system.xml" ] || fail "system.xml is not linked"
[ -d "$own/html/images" ] && [ ! -L "$own/html/images" ] && [ "$(stat -c %U "$own/html/images")" = "$user" ] \
    || fail "html/images is not a folder of the user's"
setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups touch "$own/html/images/background.bmp" \
    || fail "the user cannot write the page background"
# An upgrade: a new program, a new page, the sound gone.
program second
echo new >"$fake/usr/lib/tarvex/html/extra.css"
rm "$fake/usr/lib/tarvex/alert.wav"
# Two starts at once: both run, neither trips over the other.
launch >"$work/one" &
launch >"$work/two" || fail "a start beside another failed"
wait $! || fail "a start beside another failed"
[ "$(cat "$work/one")" = "$own" ] && [ "$(cat "$work/two")" = "$own" ] || fail "a start beside another failed"
grep -q second "$own/tarvex" || fail "the private program was not brought up to date"
[ "$(readlink "$own/html/extra.css")" = "$fake/usr/lib/tarvex/html/extra.css" ] || fail "a new file is not linked"
[ ! -e "$own/alert.wav" ] && [ ! -L "$own/alert.wav" ] || fail "the link to a removed file stays"
[ -f "$own/html/images/background.bmp" ] || fail "the launcher removed what the program wrote"
# XDG_DATA_HOME, when absolute, decides where the copy lives.
mkdir -p "$home/data" && chown "$user:" "$home/data"
[ "$(launch XDG_DATA_HOME="$home/data")" = "$home/data/tarvex" ] || fail "XDG_DATA_HOME is not followed"
echo "launcher checks: $((SECONDS - started)) s"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "packages checked"
