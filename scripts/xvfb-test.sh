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
# The tray host gets three tries: one that dies, or shows no window within
# 5 s, would leave the test without a tray. What the last try printed is
# shown when none succeeded.
log=$(mktemp)
tray=""
for _ in 1 2 3; do
  trayer --edge top --align right --widthtype request --height 24 --expand false >"$log" 2>&1 &
  tray=$!
  for _ in $(seq 1 100); do
    if xwininfo -root -tree 2>/dev/null | grep -qi trayer; then break 2; fi
    kill -0 "$tray" 2>/dev/null || break
    sleep 0.05
  done
  kill "$tray" 2>/dev/null
  wait "$tray" 2>/dev/null
  tray=""
done
if [ -z "$tray" ]; then
  echo "xvfb-test: trayer did not start; it printed:" >&2
  cat "$log" >&2
fi
rm -f "$log"
"$@"
status=$?
if [ -n "$tray" ]; then
  kill "$tray" 2>/dev/null
  wait "$tray" 2>/dev/null
fi
exit $status
