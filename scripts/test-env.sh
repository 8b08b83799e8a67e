#!/usr/bin/env bash
# The environment every test runs in: an Xvfb display, a throwaway 64-bit Wine prefix made
# for this run (plus a pristine template of it), a persistent wineserver, and what the
# tests/servers/start-*.sh hooks make: servers, and certificates and signed programs, whose test
# roots (RORA_TEST_ROOT, RORA_SECOND_TEST_ROOT) the template prefix, and so every prefix copied
# from it, trusts.
#   test-env.sh start DIR BOOTSTRAPPER_EXE FAKE_INSTALLER_EXE DLL TRUST_ROOT_EXE
#       writes DIR/env for the tests to source; FAKE_INSTALLER_EXE and DLL are what the signing
#       hook signs, TRUST_ROOT_EXE the program that trusts a root (tests/security/trust_root.cpp)
#   test-env.sh stop DIR                     ends every process the run started
set -uo pipefail

action=${1:?start or stop}
dir=${2:?test environment folder}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

wine_quiet() { WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" "$@" </dev/null >>"$dir/wine.log" 2>&1; }

stop() {
    [ -d "$dir" ] || return 0
    if [ -d "$dir/pids" ]; then
        for f in "$dir"/pids/*; do
            [ -f "$f" ] || continue
            pid=$(cat "$f")
            kill "$pid" 2>/dev/null
        done
    fi
    for prefix in "$dir"/prefix "$dir"/template "$dir"/prefixes/*; do
        [ -d "$prefix" ] && WINEPREFIX=$prefix timeout 20 wineserver -k >/dev/null 2>&1
    done
    sleep 0.5
    if [ -d "$dir/pids" ]; then
        for f in "$dir"/pids/*; do
            [ -f "$f" ] && kill -9 "$(cat "$f")" 2>/dev/null
            rm -f "$f"
        done
    fi
    return 0
}

start() {
    local bootstrapper=${1:?path of the bootstrapper executable}
    local fake_installer=${2:?path of the fake installer} library=${3:?path of a DLL to sign}
    local trust_root=${4:?path of trust_root.exe}
    stop
    rm -rf "$dir"
    mkdir -p "$dir/pids" "$dir/prefixes"

    # Always a private display of a known size, whatever the developer's own display is.
    local fifo="$dir/display.fifo"
    mkfifo "$fifo"
    setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -ac -noreset 3>"$fifo" </dev/null >"$dir/xvfb.log" 2>&1 &
    echo $! >"$dir/pids/xvfb"
    local display
    if ! read -r -t 20 display <"$fifo"; then
        echo "Xvfb did not start" >&2
        cat "$dir/xvfb.log" >&2
        return 1
    fi
    rm -f "$fifo"
    export DISPLAY=":$display"

    export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
    local template="$dir/template"
    WINEPREFIX=$template wine_quiet timeout 180 wineboot -i || { echo "wineboot failed" >&2; tail "$dir/wine.log" >&2; return 1; }
    # Wine draws the caption itself (no window manager under Xvfb), and a crash never waits
    # on a dialog.
    WINEPREFIX=$template wine_quiet timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f
    WINEPREFIX=$template wine_quiet timeout 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    # Wine draws the caption buttons with its symbol font (Marlett, from fonts-wine), which it
    # reads only from the prefix's Fonts folder; without it the close button shows the letter "r".
    # The symbol font alone, so the text of the windows keeps the font it had.
    if ! cp /usr/share/wine/fonts/marlett.ttf "$template/drive_c/windows/Fonts/"; then
        echo "no Marlett for the caption buttons (fonts-wine: scripts/install-deps.sh)" >&2
        return 1
    fi

    cat >"$dir/env" <<ENV
export RORA_TEST_ENV='$dir'
export RORA_SOURCE_DIR='$source_dir'
export RORA_BOOTSTRAPPER='$bootstrapper'
export RORA_TEMPLATE_PREFIX='$template'
export WINEPREFIX='$dir/prefix'
export WINEARCH=win64
export DISPLAY='$DISPLAY'
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree=;mshtml='
ENV
    # The product's names as the build derived them (product.cmake), for every test.
    sed 's/^/export /' "${RORA_PRODUCT_ENV:?RORA_PRODUCT_ENV names product.env of the build}" >>"$dir/env"
    export RORA_TEST_ENV="$dir" RORA_SOURCE_DIR="$source_dir"
    export RORA_FAKE_INSTALLER="$fake_installer" RORA_PLANTED_LIBRARY="$library" RORA_BOOTSTRAPPER="$bootstrapper"
    for hook in "$source_dir"/tests/servers/start-*.sh; do
        [ -f "$hook" ] || continue
        if ! bash "$hook" >>"$dir/env" 2>>"$dir/servers.log"; then
            echo "server hook $hook failed" >&2
            tail -20 "$dir/servers.log" >&2
            return 1
        fi
    done

    # The run's test roots are trusted in the template, before any prefix is copied from it.
    local roots=() root
    for root in $(. "$dir/env" && echo "${RORA_TEST_ROOT:-} ${RORA_SECOND_TEST_ROOT:-}"); do
        roots+=("Z:${root//\//\\}")
    done
    if [ ${#roots[@]} -gt 0 ] && ! WINEPREFIX=$template timeout 120 wine "$trust_root" "${roots[@]}" </dev/null >>"$dir/wine.log" 2>&1; then
        echo "trust_root could not add ${roots[*]} to the template prefix" >&2
        tail "$dir/wine.log" >&2
        return 1
    fi
    WINEPREFIX=$template wine_quiet timeout 60 wineserver -w
    cp -a "$template" "$dir/prefix"

    export WINEPREFIX="$dir/prefix"
    setsid wineserver -p </dev/null >/dev/null 2>&1
    # Start Wine's services now, so that no test inherits them on its pipes.
    wine_quiet timeout 120 wine cmd /c exit 0
    if [ ${#roots[@]} -gt 0 ] && ! timeout 60 wine "$trust_root" --check "${roots[@]}" </dev/null >>"$dir/wine.log" 2>&1; then
        echo "the shared prefix does not trust the test roots ${roots[*]}" >&2
        tail "$dir/wine.log" >&2
        return 1
    fi
    echo "test environment ready: DISPLAY=$DISPLAY WINEPREFIX=$WINEPREFIX"
}

case "$action" in
start) shift 2; start "$@" ;;
stop) stop ;;
*) echo "usage: $0 start DIR BOOTSTRAPPER FAKE_INSTALLER DLL TRUST_ROOT | stop DIR" >&2; exit 2 ;;
esac
