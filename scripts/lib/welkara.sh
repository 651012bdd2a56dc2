# shellcheck shell=bash
# The harness's shared shell side, sourced by the demo, the benches, tests/release and the Wine scripts in
# cmake/: where things are (7za.exe, the store URL) and how a run is set up (display, Wine environment and
# prefix, a signed package). scripts/lib/installer_run.py runs Installer.exe and follows its install log.
# Sourcing this file starts nothing.
# POSIX sh but for "local", for the sh scripts in tests/support; welkara_root is set under bash only.

# shellcheck disable=SC3028,SC3054 # guarded: empty under sh
welkara_root=${BASH_SOURCE:+$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}

welkara_default() {  # NAME: the default that CMakeLists.txt gives the cache variable NAME
    local value
    value=$(sed -n "s|^set($1 \"\{0,1\}\([^\" ]*\).*|\1|p" "$welkara_root/CMakeLists.txt")
    [ -n "$value" ] || { echo "welkara.sh: CMakeLists.txt sets no default for $1" >&2; return 1; }
    # shellcheck disable=SC2016 # CMake's variable, not the shell's
    case $value in '${CMAKE_SOURCE_DIR}/'*) value=$welkara_root/${value#'${CMAKE_SOURCE_DIR}/'} ;; esac
    printf '%s\n' "$value"
}
welkara_cached() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }  # TREE NAME: NAME's value in TREE
welkara_7za_exe() {  # [TREE]: the pinned 7za.exe that scripts/build-7za builds, or TREE's
    if [ $# -gt 0 ]; then welkara_cached "$1" WELKARA_7ZA_EXE; else "$welkara_root/scripts/build-7za" --path; fi
}
welkara_store_url() { welkara_default WELKARA_PACKAGE_STORE_URL; }

# A display (the caller's when an X server answers on it, or an Xvfb of cmake/xvfb-display with its
# files in DIR) and a Wine prefix of cmake/wine-prefix; welkara_teardown ends both.
welkara_display_usable() { [ -n "${DISPLAY:-}" ] && timeout 5 xdpyinfo >/dev/null 2>&1; }
welkara_xvfb_up() {  # DIR: exports DISPLAY
    welkara_xvfb=$1
    "$welkara_root/cmake/xvfb-display" up "$1" >/dev/null && DISPLAY=$(cat "$1/display") && export DISPLAY
}
# Every Wine process of the harness: its own prefix, no debug output, no offer to install Mono or Gecko.
welkara_winedebug=-all welkara_dlloverrides="mscoree,mshtml="
welkara_wine_env() { export WINEPREFIX="$1" WINEDEBUG="$welkara_winedebug" WINEDLLOVERRIDES="$welkara_dlloverrides"; }
welkara_prefix_up() { welkara_prefix=$1; "$welkara_root/cmake/wine-prefix" up "$1" && welkara_wine_env "$1"; }
welkara_teardown() {  # never fails, so that it may end an EXIT trap
    [ ! -d "${welkara_prefix:-}" ] || "$welkara_root/cmake/wine-prefix" down "$welkara_prefix" || true
    [ -z "${welkara_xvfb:-}" ] || "$welkara_root/cmake/xvfb-display" down "$welkara_xvfb" || true
    welkara_prefix="" welkara_xvfb=""
}

welkara_pack() {  # DIR ARCHIVE [7Z-ARGUMENT...]: 7z a ARCHIVE with the arguments (default ".") in DIR
    local dir=$1 archive=$2
    shift 2
    [ $# -gt 0 ] || set -- .
    (cd "$dir" && 7z a -t7z -bd -y "$archive" "$@" >/dev/null)
}
welkara_sign() { "$1" sign --secret-key "$2" "$3"; }  # TOOL KEY FILE: prints FILE's Base64 signature
welkara_manifest() {  # TOOL DIR NAME SIGNATURE: DIR/manifest names the local package DIR/NAME
    "$1" manifest --out "$2/manifest" --local-update-filename "$3" --signature "$4"
}
