#!/usr/bin/env bash
# Runs one command inside a private X display, with trayer as the tray host,
# so that tray icons and the X11 window look-up work as on a desktop.
set -u
if [ -z "${TVX_INSIDE_XVFB:-}" ]; then
  # xvfb-run -a looks for a free display from 99 upward; tests started at the
  # same moment under ctest -j would all pick the same one, and all but one
  # fail. Each run starts its search at its own number instead (-n before -a:
  # -a searches from the number given so far).
  exec xvfb-run -n $((100 + $$ % 20000)) -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
    env TVX_INSIDE_XVFB=1 QT_QPA_PLATFORM=xcb "$0" "$@"
fi
trayer --edge top --align right --widthtype request --height 24 --expand false >/dev/null 2>&1 &
tray=$!
for _ in $(seq 1 100); do
  if xwininfo -root -tree 2>/dev/null | grep -qi trayer; then break; fi
  sleep 0.05
done
"$@"
status=$?
kill "$tray" 2>/dev/null
wait "$tray" 2>/dev/null
exit $status
