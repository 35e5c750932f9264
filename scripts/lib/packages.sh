# Sourced by the scripts: installs the Debian packages a script needs that are not installed yet.
#
#   sigma_install_packages PACKAGE...
#
# Only what is missing, without recommended packages, and only the apt part as root: directly
# when the script runs as root, through sudo otherwise (so that build/ stays the user's). Says
# first what it will install and how much (apt-get's own estimate). Returns 1, saying what to
# run, when it cannot install (no apt-get, or neither root nor sudo).

sigma_missing_packages() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            printf '%s\n' "$package"
        fi
    done
}

sigma_install_packages() {
    if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
        echo "This is not a Debian-like system (no apt-get): install these packages or their" >&2
        echo "equivalents by hand: $*" >&2
        return 1
    fi
    local missing
    missing=$(sigma_missing_packages "$@")
    [ -z "$missing" ] && return 0
    # shellcheck disable=SC2086 # one package a line
    set -- $missing

    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null; then
            as_root=(sudo)
        else
            echo "These Debian packages are missing: $*" >&2
            echo "Neither root nor sudo is at hand here: as root, run" >&2
            echo "  apt-get update && apt-get install --no-install-recommends $*" >&2
            echo "then run this script again as yourself." >&2
            return 1
        fi
    fi
    local run=(${as_root[@]+"${as_root[@]}"} env DEBIAN_FRONTEND=noninteractive)
    echo "== installing $# Debian packages, with what they depend on (no recommended ones):"
    echo "   $*"
    [ ${#as_root[@]} -gt 0 ] && echo "   (through sudo, which may ask for your password; the build stays yours)"
    "${run[@]}" apt-get update -q || return 1
    # apt-get's summary of what it would do (--print-uris installs nothing; --assume-no would
    # install at once when nothing beyond the named packages is needed), then the install.
    apt-get install --no-install-recommends --print-uris "$@" 2>&1 |
        grep -E 'newly installed|^Need to get|^After this operation' | sed 's/^/   /' || true
    "${run[@]}" apt-get install -y -q --no-install-recommends "$@"
}

# Fails, saying how to get it back, when a build directory is not writable by the one running
# this (for instance left by an earlier run through sudo).
sigma_check_build_dirs() {
    local dir
    for dir in "$@"; do
        [ -e "$dir" ] && ! [ -w "$dir" ] || continue
        echo "$dir belongs to $(ls -ld "$dir" | awk '{ print $3 }') and cannot be" >&2
        echo "written by $(id -un): remove it (sudo rm -rf $dir) and run this again." >&2
        return 1
    done
}
