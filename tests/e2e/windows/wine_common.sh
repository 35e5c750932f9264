# What the Wine scripts share: the prefix's environment, how a failure ends a script, and how
# Wine is run. Sourced by wine_e2e.sh and wine_burst.sh, which check their own variables first.

export WINEPREFIX="$SIGMA_WINE_DIR/prefix"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko: they would be offered for download on the first boot.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
PORTS="$SIGMA_WINE_DIR/ports"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Root bypasses the exclusive hold of a terminal (TIOCEXCL) through CAP_SYS_ADMIN. Wine runs
# without it, as a user's Wine would, so that a port held by another program stays held. The
# wineserver is the process that opens the devices, so it must lack it too.
without_admin() {
    if [ "$(id -u)" = 0 ]; then
        setpriv --bounding-set=-sys_admin --inh-caps=-sys_admin -- "$@"
    else
        "$@"
    fi
}
