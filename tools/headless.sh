# Sourced by the demo and screenshot scripts.
# in_private_home DIR PLATFORM COMMAND...: runs COMMAND with a home and XDG
# folders of its own under DIR, the Qt platform given, the software scene
# graph, and (as root) the web engine's own sandbox turned off.
in_private_home() {
    local dir=$1 platform=$2
    shift 2
    mkdir -p "$dir/home" "$dir/xdg/data" "$dir/xdg/cache" "$dir/xdg/config" "$dir/xdg/runtime"
    chmod 700 "$dir/xdg/runtime"
    env HOME="$dir/home" XDG_DATA_HOME="$dir/xdg/data" XDG_CACHE_HOME="$dir/xdg/cache" \
        XDG_CONFIG_HOME="$dir/xdg/config" XDG_RUNTIME_DIR="$dir/xdg/runtime" \
        QT_QPA_PLATFORM="$platform" QT_QUICK_BACKEND=software \
        $([ "$(id -u)" = 0 ] && echo QTWEBENGINE_DISABLE_SANDBOX=1) \
        "$@"
}
