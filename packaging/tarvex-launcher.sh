#!/bin/sh
# /usr/bin/tarvex: starts the alert client from a program folder of the
# user's own.
#
# The client treats the folder that holds its program file as its own and
# writes html/images/background.bmp there at every start, while the installed
# folder (../lib/tarvex from this script, /usr/lib/tarvex once installed)
# belongs to root. So every user runs a private copy of that folder,
# ${XDG_DATA_HOME:-$HOME/.local/share}/tarvex:
#
#   - the program itself is a copy: the client follows a symbolic link back to
#     the installed folder, and a hard link to a file of root's is refused;
#   - every folder is a folder of the user's, so the client can write into it;
#   - every other installed file (login page, sound, system.xml, which leads
#     on to /etc/tarvex/system.xml) is a symbolic link to the installed one.
#
# At every start the copy is brought in step with the installed folder before
# the client runs: a changed program is copied again, new files are linked,
# links to files that an upgrade removed are dropped. What the client wrote
# itself is left alone. A lock keeps two starts from doing this at once.
set -eu

here=$(dirname "$(readlink -f "$0")")
installed=$(cd "$here/../lib/tarvex" && pwd -P)

data=${XDG_DATA_HOME:-}
case $data in
/*) ;;
*) data=${HOME:?HOME is not set}/.local/share ;; # a relative XDG path is ignored
esac
own=$data/tarvex
mkdir -p "$own"

exec 9>"$own/.lock"
flock 9

(cd "$installed" && find . -mindepth 1 -type d) | while IFS= read -r d; do
    mkdir -p "$own/$d"
done

(cd "$installed" && find . ! -type d ! -path ./tarvex) | while IFS= read -r f; do
    target=$installed/${f#./}
    if [ ! -L "$own/$f" ] || [ "$(readlink "$own/$f")" != "$target" ]; then
        rm -rf "$own/$f"
        ln -s "$target" "$own/$f"
    fi
done

# Links to installed files that an upgrade removed go; links elsewhere
# belong to the user.
find "$own" -type l | while IFS= read -r link; do
    target=$(readlink "$link")
    case $target in
    "$installed"/*) [ -e "$target" ] || [ -L "$target" ] || rm -f "$link" ;;
    esac
done

if ! cmp -s "$installed/tarvex" "$own/tarvex"; then
    cp "$installed/tarvex" "$own/.tarvex.new"
    mv -f "$own/.tarvex.new" "$own/tarvex"
fi

exec "$own/tarvex" "$@" 9>&-
