#!/usr/bin/env bash
# A screenshot of the plug-in's login window under Xvfb: the stand-in host
# asks for the user's name with no token stored, the plug-in opens its
# browser window on the sandbox's login page, and the screen is saved.
#   tools/login-screenshot.sh [build-dir] [output.png]
set -euo pipefail
build=${1:-build/default}
out=$(realpath -m "${2:-login-window.png}")
work="$build/screenshot"
port=$(grep -m1 '^ORVELLE_SANDBOX_PORT:' "$build/CMakeCache.txt" | cut -d= -f2)
rm -rf "$work"
mkdir -p "$work/home" "$work/xdg/data" "$work/xdg/cache" "$work/xdg/config" "$work/xdg/runtime"
chmod 700 "$work/xdg/runtime"

"$build/bin/orvelle-sandbox" --port "$port" --data "$work/sandbox" > "$work/sandbox.log" 2>&1 &
sandbox=$!
trap 'kill $sandbox 2>/dev/null; wait $sandbox 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q listening "$work/sandbox.log" && break; sleep 0.1; done

env HOME="$work/home" XDG_DATA_HOME="$work/xdg/data" XDG_CACHE_HOME="$work/xdg/cache" \
    XDG_CONFIG_HOME="$work/xdg/config" XDG_RUNTIME_DIR="$work/xdg/runtime" \
    QT_QPA_PLATFORM=xcb QT_QUICK_BACKEND=software \
    $([ "$(id -u)" = 0 ] && echo QTWEBENGINE_DISABLE_SANDBOX=1) \
    xvfb-run -a -s "-screen 0 1280x800x24" \
    "$build/bin/orvelle-host" --screenshot "$out" --screenshot-delay 6000 whoami
echo "$out"
