#!/usr/bin/env bash
# check-packages.sh DEB...: lintian finds no error in the packages, and the
# programs of an unpacked copy (dpkg-deb -x, nothing installed system-wide)
# work as a user's would: --help of both, then the sandbox from the copy and
# the host from the copy logging in, listing albums and uploading a photo,
# with the installed plug-in it loads by default.
set -euo pipefail
cd "$(dirname "$0")/.."
lintian --fail-on error --tag-display-limit 0 "$@"

root=$(mktemp -d)
trap 'kill "${sandbox:-}" 2>/dev/null || true; rm -rf "$root"' EXIT
for deb in "$@"; do dpkg-deb -x "$deb" "$root/copy"; done
bin="$root/copy/usr/bin"
env -i PATH=/usr/bin:/bin "$bin/orvelle-host" --help > "$root/help.txt"
grep -q "Default: the sandbox build," "$root/help.txt"
tr -d ' \n' < "$root/help.txt" | grep -q "$root/copy/usr/lib/.*/orvelle/plugins/libFacebookPluginQt5Sandbox.so"
env -i PATH=/usr/bin:/bin "$bin/orvelle-sandbox" --help > /dev/null
env -i PATH=/usr/bin:/bin "$bin/orvelle-host" --version

mkdir -p "$root/data"
"$bin/orvelle-sandbox" --port 0 --data "$root/data" --auto-approve --exit-with-parent > "$root/sandbox.log" 2>&1 &
sandbox=$!
for _ in $(seq 100); do grep -q listening "$root/sandbox.log" && break; sleep 0.1; done
origin=$(grep -o 'http://127.0.0.1:[0-9]*' "$root/sandbox.log")
python3 tools/sample-photos.py "$root/photos" > /dev/null
source tools/headless.sh
host() { in_private_home "$root" offscreen env ORVELLE_SANDBOX_ORIGIN="$origin" "$bin/orvelle-host" "$@"; }
host whoami
host albums
host upload "$root/photos/harbour.png" --message "From the package"
curl -sf -H "X-Sandbox-Control: 1" "$origin/__sandbox/photos" | grep -q '"From the package"'
echo "packages checked: $*"
