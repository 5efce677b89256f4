#!/usr/bin/env bash
# The demo: the stand-in host drives the sandbox build of the plug-in against
# the local sandbox (auto-approved logins): the user's name, the profile
# picture, the albums, a photo upload and a shared post. The sandbox keeps
# its data, so the gallery can be looked at afterwards.
set -euo pipefail
build=${1:-build/default}
demo="$build/demo"
port=$(grep -m1 '^ORVELLE_SANDBOX_PORT:' "$build/CMakeCache.txt" | cut -d= -f2)

rm -rf "$demo/home" "$demo/xdg"
mkdir -p "$demo/home" "$demo/xdg/data" "$demo/xdg/cache" "$demo/xdg/config" "$demo/xdg/runtime" "$demo/sandbox"
chmod 700 "$demo/xdg/runtime"

"$build/bin/orvelle-sandbox" --port "$port" --data "$demo/sandbox" --auto-approve > "$demo/sandbox.log" 2>&1 &
sandbox=$!
trap 'kill $sandbox 2>/dev/null; wait $sandbox 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q listening "$demo/sandbox.log" && break; sleep 0.1; done
cat "$demo/sandbox.log"

# The host runs in a private home and XDG folders; without a display it runs
# offscreen, and as root the web engine needs its own sandbox turned off.
env HOME="$demo/home" XDG_DATA_HOME="$demo/xdg/data" XDG_CACHE_HOME="$demo/xdg/cache" \
    XDG_CONFIG_HOME="$demo/xdg/config" XDG_RUNTIME_DIR="$demo/xdg/runtime" \
    QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-$([ -n "${DISPLAY:-}" ] && echo xcb || echo offscreen)}" \
    QT_QUICK_BACKEND=software \
    $([ "$(id -u)" = 0 ] && echo QTWEBENGINE_DISABLE_SANDBOX=1) \
    "$build/bin/orvelle-host" demo

echo
echo "Stored by the sandbox:"
curl -s -H "X-Sandbox-Control: 1" "http://127.0.0.1:$port/__sandbox/counters"; echo
echo "See the gallery: $build/bin/orvelle-sandbox --data $demo/sandbox  then open http://127.0.0.1:$port/"
