#!/usr/bin/env bash
# check-install.sh BUILD PLUGIN_DIR PLUGIN: installs the build into a
# temporary DESTDIR and runs what it installed from there, with nothing of
# the caller's environment (no display either).
set -euo pipefail
build=$1 dir=$2 plugin=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --prefix /usr > /dev/null
test -f "$root/usr/$dir/lib$plugin.so"
test -f "$root/usr/$dir/lib${plugin}Sandbox.so"
[ -x "$root/usr/bin/orvelle-host" ] || exit 0 # a build of the plug-in alone
env -i PATH=/usr/bin:/bin "$root/usr/bin/orvelle-host" --help | tr -d ' \n' | grep -q "$root/usr/$dir/lib${plugin}Sandbox.so"
env -i PATH=/usr/bin:/bin "$root/usr/bin/orvelle-sandbox" --help > /dev/null
