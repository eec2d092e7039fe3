#!/bin/sh
# Entry of the real-window test (ctest label e2e): skips with status 77 when
# a tool it drives is missing, otherwise runs window_e2e.py.
#   window_e2e.sh CINEPANE KOMU
for tool in Xvfb xdotool xprop openbox convert python3; do
    command -v "$tool" >/dev/null 2>&1 && continue
    echo "SKIP: $tool is not installed (the e2e test needs xvfb, xdotool, x11-utils, openbox, imagemagick, python3)"
    # The test script installs them all: there, a missing tool is a failure.
    [ -n "${CINEPANE_E2E_REQUIRED:-}" ] && exit 1 || exit 77
done
exec python3 "$(dirname "$0")/window_e2e.py" "$@"
