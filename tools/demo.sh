#!/usr/bin/env bash
# The demo: the stand-in host drives the sandbox build of the plug-in against
# the local sandbox (auto-approved logins): who is logged in, the albums, a
# trip's camera photos uploaded into a new album only the user sees (each with
# its own caption and capture time, its location removed), two more photos
# (one a large TIFF the host scales down and turns into a JPEG), a shared
# post, and a picture of the sandbox's gallery page as the web engine renders
# it. The sandbox keeps its data for a look afterwards.
set -euo pipefail
build=${1:-build/default}
demo="$build/demo"

rm -rf "$demo"
mkdir -p "$demo/sandbox"

"$build/bin/orvelle-sandbox" --port 0 --data "$demo/sandbox" --auto-approve > "$demo/sandbox.log" 2>&1 &
sandbox=$!
trap 'kill $sandbox 2>/dev/null; wait $sandbox 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q listening "$demo/sandbox.log" && break; sleep 0.1; done
cat "$demo/sandbox.log"
# A free port each time; the sandbox build of the plug-in is pointed at it.
origin=$(grep -o 'http://127.0.0.1:[0-9]*' "$demo/sandbox.log")

# The programs run in a private home; without a display, offscreen.
source tools/headless.sh
run() {
    in_private_home "$demo" "${QT_QPA_PLATFORM:-$([ -n "${DISPLAY:-}" ] && echo xcb || echo offscreen)}" \
        env ORVELLE_SANDBOX_ORIGIN="$origin" "$@"
}
host() { echo; echo "\$ orvelle-host$(printf " %q" "$@")"; run "$build/bin/orvelle-host" "$@"; }

python3 tools/sample-photos.py "$demo/photos" > /dev/null
"$build/bin/orvelle-sample-trip" "$demo/photos/Porto" > /dev/null
host whoami
host albums
host upload --new-album "Porto 2026" --description "Three days by the river" --audience only-me "$demo/photos/Porto/"*.JPG
host upload "$demo/photos/harbour.png" "$demo/photos/panorama.tiff" --album "Лето на даче" --message "Sent from Orvelle"
host share --caption "Two photos from my desktop"

echo
echo "Stored by the sandbox:"
curl -s -H "X-Sandbox-Control: 1" "$origin/__sandbox/photos" | python3 -c '
import json, sys
photos = json.load(sys.stdin)
for p in photos:
    p["taken"] = ", taken " + p["backdated_time"] if p.get("backdated_time") else ""
    print("  {file_name} ({mime}, {size} bytes) in \"{album}\", seen by {privacy}{taken}: {message}".format(**p))
sys.exit(0 if len(photos) == 5 else 1)'
curl -s -H "X-Sandbox-Control: 1" "$origin/__sandbox/posts" | python3 -c '
import json, sys
posts = json.load(sys.stdin)
for p in posts:
    print("  post: {name}: {caption}".format(**p))
sys.exit(0 if len(posts) == 1 else 1)'
run "$build/bin/orvelle-pageshot" "$origin/" "$demo/gallery.png" > /dev/null
echo
echo "The gallery as the web engine shows it: $(realpath "$demo/gallery.png")"
echo "Look around: $build/bin/orvelle-sandbox --data $demo/sandbox  then open http://127.0.0.1:$(grep -m1 '^ORVELLE_SANDBOX_PORT:' "$build/CMakeCache.txt" | cut -d= -f2)/"
