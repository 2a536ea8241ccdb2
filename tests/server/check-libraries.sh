#!/usr/bin/env bash
# The alert server runs where there is no display: the built program ($1)
# must load Qt Core at most, and nothing of Qt Gui, X11, OpenGL or fonts.
set -euo pipefail
program=$1
libraries=$(ldd "$program")
echo "$libraries"
if found=$(grep -E 'libQt6(Gui|Widgets|Network|OpenGL|Xml|Quick|Qml|WebEngine|Multimedia)|libX11|libxcb|libEGL|libGLX|libGL\.|libOpenGL|libfontconfig|libfreetype|libharfbuzz' <<<"$libraries"); then
    echo "FAIL: $program loads display libraries:"
    echo "$found"
    exit 1
fi
grep -q 'libQt6Core' <<<"$libraries" || { echo "FAIL: $program does not load Qt Core (is this the server?)"; exit 1; }
echo "alertserver loads no display library"
