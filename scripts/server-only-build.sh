#!/usr/bin/env bash
# Proves that the alert server builds, passes its tests and packages on a
# Debian 12 that has only the server's packages: a fresh Debian 12 is
# unpacked into a folder (debootstrap), given `scripts/setup.sh server` and
# nothing else, and the committed tree is configured there with
# -DTVX_SERVER_ONLY=ON, built, tested and packaged. Run by hand, as root, with
# a Debian mirror in reach; not part of the test command.
#
#   sudo bash scripts/server-only-build.sh [FOLDER]
#
# FOLDER (default: a new one in /tmp) is left behind for a look inside;
# remove it with `rm -rf --one-file-system FOLDER` once /proc is unmounted
# (the script unmounts it on exit).
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap and chroot)"; exit 1; }
root=${1:-$(mktemp -d /tmp/tvx-server-only.XXXXXX)}
mirror=${TVX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
log() { echo "server-only: $*"; }

command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
if [ ! -x "$root/usr/bin/apt-get" ]; then
    log "unpacking Debian 12 into $root"
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 \
        || { tail -20 "$root.debootstrap.log"; exit 1; }
fi
mounted=()
cleanup() { for m in "${mounted[@]}"; do umount -l "$m" || true; done; }
trap cleanup EXIT
for m in proc dev dev/pts; do
    mkdir -p "$root/$m"
    case $m in
        proc) mount -t proc proc "$root/proc" ;;
        *) mount --bind "/$m" "$root/$m" ;;
    esac
    mounted=("$root/$m" "${mounted[@]}")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The committed tree, nothing of this machine's build folders.
rm -rf "$root/src"
mkdir -p "$root/src"
git archive HEAD | tar -x -C "$root/src"
log "tree of $(git rev-parse --short HEAD)"

inside() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 bash -c "$*"; }
inside "apt-get update -q >/dev/null && cd /src && bash scripts/setup.sh server"
log "installed: $(inside "dpkg-query -W -f='\${Package}\n' | wc -l") packages"
# None of the programs' development packages is there, nor what their tests
# run under (qt6-base-dev itself pulls the X11 headers in).
for p in qt6-webengine-dev qt6-webchannel-dev qt6-multimedia-dev qt6-declarative-dev trayer xvfb clang; do
    if inside "dpkg-query -W -f='\${Status}' $p 2>/dev/null | grep -q 'install ok installed'"; then
        log "FAIL: $p is installed"
        exit 1
    fi
done

started=$SECONDS
inside "cd /src && cmake -S . -B build -G Ninja -DTVX_SERVER_ONLY=ON >/tmp/configure.log 2>&1 || { tail -30 /tmp/configure.log; exit 1; }"
inside "cd /src && cmake --build build -j \$(nproc) >/tmp/build.log 2>&1 || { grep -B2 -A10 FAILED /tmp/build.log | head -60; exit 1; }"
log "configured and built in $((SECONDS - started)) s"
inside "ldd /src/build/alertserver/alertserver | grep -o 'libQt6[A-Za-z]*' | sort -u | tr '\n' ' '; echo"

# The tests, the PostgreSQL twins on a cluster of the run's own.
started=$SECONDS
inside "cd /src && eval \"\$(bash scripts/pg-cluster.sh start)\" && trap 'bash /src/scripts/pg-cluster.sh stop \"\$TVX_PG_DIR\"' EXIT \
        && cd build && ctest --output-on-failure -j 4"
log "tests passed in $((SECONDS - started)) s"
inside "cd /src/build && dpkg-deb -f packages/alertserver_*.deb Depends"
log "the server alone configures, builds, passes its tests and packages with only the server's packages"
