#!/usr/bin/env bash
# The README's pictures, taken under Xvfb against the sandbox:
#   docs/login-window.png  the plug-in's login window (no token stored yet)
#   docs/host-window.png   orvelle-host's window, logged in, two photos added
#   docs/gallery.png       the sandbox's gallery after the demo
#   tools/screenshots.sh [build-dir]
set -euo pipefail
build=${1:-build/default}
work="$build/screenshots"
port=$(grep -m1 '^ORVELLE_SANDBOX_PORT:' "$build/CMakeCache.txt" | cut -d= -f2)

# One program at a time, each in a fresh home, on a virtual screen.
source tools/headless.sh
xrun() {
    rm -rf "$work/home" "$work/xdg"
    in_private_home "$work" xcb env ORVELLE_SANDBOX_ORIGIN="http://127.0.0.1:$port" \
        xvfb-run -a -s "-screen 0 1280x800x24" "$@"
}
sandbox() {
    "$build/bin/orvelle-sandbox" --port "$port" --data "$work/sandbox" "$@" > "$work/sandbox.log" 2>&1 &
    sandbox_pid=$!
    for _ in $(seq 50); do grep -q listening "$work/sandbox.log" && break; sleep 0.1; done
}
stop_sandbox() { kill "$sandbox_pid"; wait "$sandbox_pid" 2>/dev/null || true; }
trap 'kill ${sandbox_pid:-} 2>/dev/null || true' EXIT

rm -rf "$work"
mkdir -p "$work/sandbox" docs
python3 tools/sample-photos.py "$work/photos" > /dev/null

sandbox
xrun "$build/bin/orvelle-host" whoami --screenshot docs/login-window.png --screenshot-delay 6000 || true
stop_sandbox

sandbox --auto-approve
xrun "$build/bin/orvelle-host" gui "$work/photos/harbour.png" "$work/photos/panorama.tiff" \
    --screenshot docs/host-window.png --screenshot-delay 6000
stop_sandbox

tools/demo.sh "$build" > /dev/null
cp "$build/demo/gallery.png" docs/gallery.png
ls -l docs/*.png
